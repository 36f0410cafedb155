"""Builds and runs the C++ micro-benchmark of the library alone (cpp/).

Its per-call figures sit next to the per-call figures through rux.fl, so
that what the binding adds can be read off. When CMake, a compiler or
Google Benchmark is missing, the section is reported as skipped.
"""

import json
import os
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "cpp")
EXECUTABLE = "rux_library_bench"

# Google Benchmark name -> (label, how the Python table names the same figure)
BENCHMARKS = {
    "BM_WriteSmallChunk/iterations:80000": "rux_write_chunk, 256x3 float (+ end_frame per 4)",
    "BM_SmallWritesWorkload/iterations:1/real_time": "small-writes workload, per chunk",
    "BM_RandomSmallRead": "find + read, random small chunk",
    "BM_RandomSmallReadWritable/real_time": 'find + read, random small chunk, "r+"',
    "BM_FindChunkPresent/1000000": "rux_find_chunk, present name, 10^6 entries",
    "BM_FindChunkAbsent/1000000": "rux_find_chunk, absent name, 10^6 entries",
    "BM_OpenFirstRead/1000/real_time": "open + first read, 10^3 entries",
    "BM_OpenFirstRead/10000/real_time": "open + first read, 10^4 entries",
    "BM_OpenFirstRead/100000/real_time": "open + first read, 10^5 entries",
    "BM_OpenFirstRead/1000000/real_time": "open + first read, 10^6 entries",
}

WORKLOAD_CHUNKS = 20000 * 4
NANOSECONDS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def build(build_dir):
    """Configures and builds the benchmark; returns the executable or None."""
    if shutil.which("cmake") is None:
        return None, "cmake not found"
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    configure = ["cmake", "-S", SOURCE, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", *generator]
    for command in (configure, ["cmake", "--build", build_dir, "-j", "2"]):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            tail = (done.stdout + done.stderr).strip().splitlines()[-3:]
            return None, "build failed: " + " | ".join(tail)
    return os.path.join(build_dir, EXECUTABLE), ""


def run(executable, data_dir, repeat):
    out = os.path.join(data_dir, "library_bench.json")
    subprocess.run(
        [executable, f"--data-dir={data_dir}", f"--benchmark_repetitions={repeat}",
         "--benchmark_report_aggregates_only=true", "--benchmark_out_format=json",
         f"--benchmark_out={out}", "--benchmark_format=console"],
        check=True, capture_output=True, text=True,
    )
    with open(out) as f:
        report = json.load(f)
    os.unlink(out)
    return report


def per_call_nanoseconds(report):
    """{run name: median real time per call in ns} from a benchmark report."""
    figures = {}
    for entry in report["benchmarks"]:
        if entry.get("aggregate_name", "median") != "median":
            continue
        name = entry.get("run_name", entry["name"])
        per_iteration = entry["real_time"] * NANOSECONDS[entry.get("time_unit", "ns")]
        # One iteration of the workload writes 20000 frames of 4 chunks.
        if name.startswith("BM_SmallWritesWorkload"):
            per_iteration /= WORKLOAD_CHUNKS
        figures[name] = per_iteration
    return figures


def library_section(build_dir, data_dir, repeat):
    """Rows of (label, ns per call) for the table, or a reason for skipping."""
    executable, why = build(build_dir)
    if executable is None:
        return {"skipped": why, "rows": []}
    try:
        report = run(executable, data_dir, repeat)
    except subprocess.CalledProcessError as error:
        return {"skipped": "run failed: " + (error.stderr or "").strip()[-200:], "rows": []}
    figures = per_call_nanoseconds(report)
    rows = [
        {"benchmark": name, "label": label, "ns_per_call": figures.get(name)}
        for name, label in BENCHMARKS.items()
    ]
    return {"skipped": "", "rows": rows, "context": report.get("context", {})}
