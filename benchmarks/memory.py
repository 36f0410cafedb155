"""Memory workload: peak resident memory while writing many small chunks.

Each repetition is a fresh interpreter (memory_worker.py), so that the peak
belongs to one write; the figure is the peak minus the interpreter's size
with numpy loaded.
"""

import json
import os
import subprocess
import sys

from common import Row, h5py, interleave, remove

WORKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "memory_worker.py")
MIB = 2**20


def measure(store, path, config):
    completed = subprocess.run(
        [sys.executable, WORKER, store, path, "--bytes", str(config.memory_bytes),
         "--rows", str(config.small_rows)],
        check=True, capture_output=True, text=True,
    )
    remove(path)
    report = json.loads(completed.stdout)
    return (report["peak"] - report["baseline"]) / MIB


def memory(config, data_dir):
    path = {c: os.path.join(data_dir, f"memory.{c}") for c in ("rux", "h5py", "bare")}
    mib = interleave(
        {
            "rux": lambda: measure("rux", path["rux"], config),
            "h5py": (lambda: measure("h5py", path["h5py"], config)) if h5py else None,
            "bare": lambda: measure("bare", path["bare"], config),
        },
        config.repeat_memory,
    )
    return [
        Row("memory", "memory while writing", "MiB", False, mib,
            f"peak resident memory writing {config.memory_bytes / MIB:.0f} MiB in "
            f"{config.small_rows}x3 float32 chunks, minus the interpreter with numpy "
            f"loaded (the store's module counts); bare: os.pwrite per chunk",
            ratios=False),
    ]
