"""Writes `--bytes` in small chunks with one store and prints its memory use.

Runs in a process of its own so that the peak resident size belongs to this
write alone. It imports only numpy before taking the baseline; the store's
module is imported afterwards, so its cost counts against the store.

Prints one JSON object: baseline and peak resident bytes, and the bytes
resident right after the store's module was imported.
"""

import argparse
import json
import os
import resource
import sys

import numpy

NAMES = ("positions", "velocities", "forces", "charges")


def status_bytes(field):
    """A VmXXX field of /proc/self/status in bytes, or None off Linux."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def reset_peak():
    """Restarts the peak count at the current size (Linux); False elsewhere."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_bytes():
    hwm = status_bytes("VmHWM")
    if hwm is not None:
        return hwm
    scale = 1 if sys.platform == "darwin" else 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * scale


def current_bytes():
    rss = status_bytes("VmRSS")
    return rss if rss is not None else peak_bytes()


def write_rux(path, frames, chunk):
    source_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != source_root]
    from rux import fl

    imported = current_bytes()
    with fl.open(path, "w", "rux-benchmarks", "benchmark", (1, 0)) as f:
        for _ in range(frames):
            for name in NAMES:
                f.write_chunk(name, chunk)
            f.end_frame()
    return imported


def write_h5py(path, frames, chunk):
    import h5py

    imported = current_bytes()
    shape = chunk.shape
    with h5py.File(path, "w") as f:
        datasets = [
            f.create_dataset(n, shape=(0,) + shape, maxshape=(None,) + shape,
                             chunks=(1,) + shape, dtype=chunk.dtype)
            for n in NAMES
        ]
        capacity = 0
        for frame in range(frames):
            if frame == capacity:
                capacity = max(16, 2 * capacity)
                for d in datasets:
                    d.resize(capacity, axis=0)
            for d in datasets:
                d[frame] = chunk
        for d in datasets:
            d.resize(frames, axis=0)
    return imported


def write_bare(path, frames, chunk):
    imported = current_bytes()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    offset = 0
    for _ in range(frames * len(NAMES)):
        os.pwrite(fd, chunk, offset)
        offset += chunk.nbytes
    os.fsync(fd)
    os.close(fd)
    return imported


WRITERS = {"rux": write_rux, "h5py": write_h5py, "bare": write_bare}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("store", choices=sorted(WRITERS))
    parser.add_argument("path")
    parser.add_argument("--bytes", type=int, required=True)
    parser.add_argument("--rows", type=int, default=256)
    args = parser.parse_args()
    chunk = numpy.random.default_rng(0).random((args.rows, 3), dtype=numpy.float32)
    frames = max(1, args.bytes // (chunk.nbytes * len(NAMES)))
    baseline = current_bytes()
    exact = reset_peak()
    imported = WRITERS[args.store](args.path, frames, chunk)
    print(json.dumps({
        "baseline": baseline,
        "after_import": imported,
        "peak": peak_bytes(),
        "peak_is_exact": exact,
        "written": frames * len(NAMES) * chunk.nbytes,
    }))


if __name__ == "__main__":
    main()
