"""Benchmark suite: rux against HDF5 (h5py) and the bare system calls.

    python benchmarks/run.py [--quick] [--json results.json] [--data-dir DIR]

Prints one table, each workload's figure for rux, h5py and the bare system
calls from this same Python with the ratios, then whether each target holds,
then the library's own per-call costs (C++ micro-benchmark) next to the
binding's. Every figure is the median of interleaved repetitions, measured in
this run on the same data. --quick uses tiny sizes and only checks that the
suite works; its figures mean nothing.
"""

import argparse
import importlib.metadata
import json
import os
import platform
import shutil
import sys
import tempfile
import time
from dataclasses import asdict, dataclass, field
from typing import List

import numpy

import ase_io
import common
import cpp_library
import frames
import index
import md_formats
import memory
import openmm_reporter
import reads
import series
import trajectory_layer
import writes
from common import Target, entries_text, h5py

FAMILIES = (
    "small_writes",
    "random_small_reads",  # with the "r+" row; needs the small-writes files
    "large_writes",
    "large_reads",  # needs the large-writes files
    "open_first_read",
    "lookup",
    "memory",
    "series_reads",
    "series_rows",
    "frame_iteration",
    "open_read_close",
    "trajectory",  # reads the files of the first series and of frame iteration
    "openmm_reporter",  # left out, with a note, without OpenMM
    "ase_io",  # ase.io.read and an MD run's writes against ase.io.Trajectory
    "md",  # MD formats through MDAnalysis (skipped without it)
)
NEEDS = {"random_small_reads": "small_writes", "large_reads": "large_writes"}


@dataclass
class Config:
    small_frames: int = 20000
    small_rows: int = 256
    large_frames: int = 8
    large_mib: int = 256
    reads: int = 100000
    writable_reads: int = 10000
    open_entries: List[int] = field(default_factory=lambda: [10**3, 10**4, 10**5, 10**6])
    open_cycles: int = 100
    lookups: int = 100000
    memory_bytes: int = 2**30
    repeat: int = 5
    repeat_large: int = 5
    repeat_writable: int = 3
    repeat_memory: int = 3
    series_frames: int = 20000
    series_rows: int = 256
    series_many_frames: int = 100000
    series_many_rows: int = 16
    scalar_frames: int = 200000
    scalar_companion_rows: int = 500
    frame_frames: int = 10000
    frame_rows: int = 256
    frame_lookups: int = 2000
    close_entries: List[int] = field(default_factory=lambda: [10**3, 10**6])
    repeat_series: int = 5
    rows_frames: int = 200
    rows_atoms: int = 47681
    rows_selected: int = 477
    openmm_atoms: int = 8000
    openmm_reports: int = 100
    ase_frames: int = 10000
    ase_md_steps: int = 300
    ase_repeat: int = 3
    md_frames: int = 1000
    md_repeat: int = 5


QUICK = Config(
    small_frames=200, small_rows=256, large_frames=2, large_mib=4, reads=2000,
    writable_reads=200, open_entries=[10**2, 10**3, 10**4], open_cycles=3, lookups=2000,
    memory_bytes=8 * 2**20, repeat=3, repeat_large=2, repeat_writable=2, repeat_memory=1,
    series_frames=200, series_many_frames=1000, scalar_frames=2000, scalar_companion_rows=50,
    frame_frames=200, frame_lookups=200, close_entries=[10**2, 10**4], repeat_series=2,
    rows_frames=20, rows_atoms=4768, rows_selected=48,
    openmm_atoms=500, openmm_reports=3,
    ase_frames=100, ase_md_steps=10, ase_repeat=2,
    md_frames=3, md_repeat=1,
)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny sizes, for CI")
    parser.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    parser.add_argument("--data-dir", metavar="DIR",
                        help="where the files go (default: a new temporary directory)")
    parser.add_argument("--repeat", type=int, help="repetitions of the fast workloads")
    parser.add_argument("--only", metavar="LIST",
                        help="comma-separated workloads, of: " + ", ".join(FAMILIES))
    parser.add_argument("--cold", action="store_true",
                        help="add a large-reads row with the page cache dropped (root)")
    parser.add_argument("--cpp", choices=("auto", "skip"), default=None,
                        help="build and run the C++ library benchmark (default: auto, "
                             "skip with --quick)")
    parser.add_argument("--cpp-build-dir", metavar="DIR",
                        help="build directory of the C++ benchmark "
                             "(default: build/benchmarks-cpp in the source tree)")
    return parser.parse_args(argv)


def selected_families(only):
    if not only:
        return list(FAMILIES)
    wanted = [name.strip() for name in only.split(",") if name.strip()]
    unknown = [name for name in wanted if name not in FAMILIES]
    if unknown:
        sys.exit("unknown workload: " + ", ".join(unknown))
    for name in list(wanted):
        if name in NEEDS and NEEDS[name] not in wanted:
            wanted.append(NEEDS[name])
    return [name for name in FAMILIES if name in wanted]


def progress(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


# ---- running ----


def run_workloads(fl, config, families, data_dir, cold, skipped=None):
    """Every selected workload's rows; a family that cannot run here goes in `skipped`."""
    def paths(stem):
        return {c: os.path.join(data_dir, f"{stem}.{c}") for c in ("rux", "h5py", "bare")}

    small, large = paths("small"), paths("large")
    rows = []
    if "small_writes" in families:
        progress("small writes")
        rows += writes.small_writes(fl, config, small)
    if "random_small_reads" in families:
        progress('random small reads, read-only and "r+"')
        rows += reads.random_small_reads(fl, config, small)
    for path in small.values():
        common.remove(path)
    if "large_writes" in families:
        progress("large writes")
        rows += writes.large_writes(fl, config, large)
    if "large_reads" in families:
        progress("large reads")
        rows += reads.large_reads(fl, config, large)
        if cold:
            if reads.drop_page_cache():
                progress("large reads, cold cache")
                rows += reads.large_reads(fl, config, large, cold=True)
            else:
                progress("cannot drop the page cache (not root?): no cold row")
    for path in large.values():
        common.remove(path)
    index_families = {"open_first_read", "lookup", "open_read_close"} & set(families)
    if index_families:
        sizes = set(config.open_entries if index_families - {"open_read_close"} else [])
        if "open_read_close" in families:
            sizes |= set(config.close_entries)
        progress(f"index files of {', '.join(entries_text(n) for n in sorted(sizes))} entries")
        more = config.close_entries if "open_read_close" in families else ()
        files = index.index_files(fl, config, data_dir, sizes, more_for=more)
        try:
            if "open_first_read" in families:
                progress("open and first read")
                rows += index.open_and_first_read(fl, config, files)
            if "lookup" in families:
                progress("lookups")
                rows += index.lookups(fl, config, files)
            if "open_read_close" in families:
                progress("open, first read and close")
                rows += index.open_read_close(fl, config, files)
        finally:
            for paths in files.values():
                common.remove_files(paths)
    if "memory" in families:
        progress("memory")
        rows += memory.memory(config, data_dir)
    rows += analysis_workloads(fl, config, families, data_dir)
    if "openmm_reporter" in families:
        if openmm_reporter.openmm is None:
            progress("OpenMM is not installed: no reporter row")
        else:
            progress("OpenMM reporters")
            rows += openmm_reporter.reporter_times(config, data_dir)
    if "ase_io" in families:
        if ase_io.available():
            progress("ASE: ase.io.read and MD writes against ase.io.Trajectory")
            rows += ase_io.ase_io(config, data_dir)
        else:
            progress("ASE, or rux's ase.io format, is not installed: no ASE rows")
    if "md" in families:
        reason = md_formats.unavailable()
        if reason:
            progress(f"MD formats skipped: {reason}")
            if skipped is not None:
                skipped["md"] = reason
        else:
            rows += md_formats.md_formats(fl, config, data_dir, progress)
    return rows


def analysis_workloads(fl, config, families, data_dir):
    """Series, frame iteration and the trajectory layer, which share files."""
    rows = []
    positions = None
    try:
        if "series_reads" in families:
            progress("series reads")
            found, positions = series.series_reads(
                fl, config, data_dir, keep="series_positions" if "trajectory" in families else None)
            rows += found
        if "series_rows" in families:
            progress("series reads of selected rows")
            rows += series.rows_reads(fl, config, data_dir)
        if "frame_iteration" in families or "trajectory" in families:
            progress("frame files")
            frame_files = frames.make_files(fl, config, data_dir)
            try:
                if "frame_iteration" in families:
                    progress("frame iteration")
                    rows += frames.frame_iteration(fl, config, frame_files)
                if "trajectory" in families:
                    progress("trajectory layer: one frame")
                    rows += trajectory_layer.frame_access(fl, config, frame_files)
            finally:
                common.remove_files(frame_files)
        if "trajectory" in families:
            if positions is None:
                positions = series.make_files(fl, series.cases(config)[0], data_dir)
            progress("trajectory layer: mean-squared displacement")
            rows += trajectory_layer.msd(fl, config, positions)
    finally:
        if positions is not None:
            common.remove_files(positions)
    return rows


# ---- targets ----


def find(rows, workload, label=None, unit=None):
    for row in rows:
        if row.workload == workload and (label is None or row.label == label) and (
                unit is None or row.unit == unit):
            return row
    return None


def targets(rows):
    """The goals, each measured from this run's rows (skipped when absent)."""
    result = []

    def add(name, measured, limit, at_most, text):
        result.append(Target(name, measured, limit, at_most, text))

    small = find(rows, "small_writes", unit="chunks/s")
    if small:
        add("small writes vs h5py", small.ratio("h5py"), 10, False,
            "small writes: rux rate / h5py rate >= 10")
    random_reads = find(rows, "random_small_reads")
    if random_reads:
        add("random small reads vs h5py", random_reads.ratio("h5py"), 10, False,
            "random small reads: rux rate / h5py rate >= 10")
        bare_ratio = random_reads.ratio("bare")
        add("random small reads vs bare preadv", 1 / bare_ratio if bare_ratio else None, 2.5,
            True, "random small reads: rux time / bare preadv time <= 2.5")
    for workload, label in (("large_writes", "large writes"), ("large_reads", "large reads")):
        row = find(rows, workload)
        if row:
            add(f"{label} vs bare", row.ratio("bare"), 0.9, False,
                f"{label}: rux GB/s / bare GB/s >= 0.9")
    opens = [row for row in rows if row.workload == "open_first_read"]
    if len(opens) >= 2:
        smallest = min(opens, key=lambda r: r.extra["entries"])
        largest = max(opens, key=lambda r: r.extra["entries"])
        add("open growth", largest.figure("rux") / smallest.figure("rux"), 3, True,
            f"open + first read: rux time at {entries_text(largest.extra['entries'])} entries / "
            f"at {entries_text(smallest.extra['entries'])} <= 3")
    writable = find(rows, "writable_reads")
    if writable and random_reads:
        add('reads on "r+" vs "r"', writable.figure("rux") / random_reads.figure("rux"), 2, True,
            'random small reads: rux time on "r+" / on "r" <= 2')
    mem = find(rows, "memory")
    if mem:
        add("memory", mem.figure("rux"), 100, True,
            "peak memory writing small chunks: rux MiB above baseline <= 100")
    result += analysis_targets(rows)
    result += md_targets(rows)
    return result


def slower(row, other):
    """rux time / the other's time, per repetition (None when unknown)."""
    speed = row.ratio(other)
    return 1 / speed if speed else None


def analysis_targets(rows):
    result = []

    def add(name, measured, limit, at_most, text):
        result.append(Target(name, measured, limit, at_most, text))

    for workload, what in (("series_positions", "(256, 3)"), ("series_many_frames", "(16, 3)")):
        row = find(rows, workload)
        if row:
            add(f"series {what} vs copy limit", slower(row, "npy"), 2.5, True,
                f"series of {what}: rux read_series time / .npy copy time <= 2.5")
            add(f"series {what} vs h5py", row.ratio("h5py"), 3, False,
                f"series of {what}: h5py (automatic chunks) time / rux time >= 3")
    scalar = find(rows, "series_scalar")
    if scalar:
        add("scalar series vs h5py", slower(scalar, "h5py"), 10, True,
            "scalar series: rux read_series time / h5py (T,) dataset time <= 10")
    for workload, what in (("series_rows_index", "an index array"), ("series_rows_slice", "a slice")):
        row = find(rows, workload)
        if row:
            add(f"1% of rows ({what}) vs all rows", row.ratio("rux_all"), 10, False,
                f"series of 1% of the rows as {what}: rux all-rows time / "
                "read_series(rows=) time >= 10")
    iteration = find(rows, "frame_iteration")
    if iteration:
        add("read_frame vs per-chunk loop", iteration.ratio("rux_loop"), 3, False,
            "frame iteration: per-chunk loop time / read_frame time >= 3")
    closes = [row for row in rows if row.workload == "open_read_close"]
    for row in closes:
        size = entries_text(row.extra["entries"])
        add(f"open + read + close vs bare, {size}", slower(row, "bare"), 3, True,
            f"open + first read + close at {size} entries: rux time / bare time <= 3")
    if len(closes) >= 2:
        smallest = min(closes, key=lambda r: r.extra["entries"])
        largest = max(closes, key=lambda r: r.extra["entries"])
        growth = None
        if smallest.figure("rux") and largest.figure("rux"):
            growth = largest.figure("rux") / smallest.figure("rux")
        # "Flat": no more growth than repetitions on a shared machine scatter.
        add("open + read + close growth", growth, 1.5, True,
            f"open + first read + close: rux time at {entries_text(largest.extra['entries'])} "
            f"entries / at {entries_text(smallest.extra['entries'])} <= 1.5")
    msd = find(rows, "trajectory_msd")
    if msd:
        add("msd vs in-memory", slower(msd, "npy"), 1.5, True,
            "mean-squared displacement end to end: rux.open + series time / "
            "(numpy.load + analysis) time <= 1.5")
        add("msd vs h5py", msd.ratio("h5py"), 3, False,
            "mean-squared displacement end to end: h5py (automatic chunks) time / rux time >= 3")
    frame = find(rows, "trajectory_frame")
    if frame:
        add("traj[i] vs read_frame", slower(frame, "read_frame"), 1.5, True,
            "a frame of 5 chunks: traj[i] time / read_frame time <= 1.5")
    reporter = find(rows, "openmm_reporter")
    if reporter:
        add("OpenMM reporter vs XTC", slower(reporter, "xtc"), 1, True,
            "OpenMM report(): RUXReporter time / XTCReporter time <= 1")
        add("OpenMM reporter vs DCD", slower(reporter, "dcd"), 0.1, True,
            "OpenMM report(): RUXReporter time / DCDReporter time <= 0.1")
    ase_read = find(rows, "ase_read")
    if ase_read:
        add("ase.io.read vs Trajectory", ase_read.ratio("ase_traj"), 5, False,
            "ase.io.read(':'): ase.io.Trajectory file time / rux file time >= 5")
    ase_write = find(rows, "ase_write")
    if ase_write:
        add("MD writes vs Trajectory", slower(ase_write, "ase_traj"), 0.25, True,
            "writes of an ASE MD run: rux time per frame / ase.io.Trajectory time <= 0.25")
    return result


def md_targets(rows):
    result = []

    def add(name, measured, limit, at_most, text):
        result.append(Target(name, measured, limit, at_most, text))

    def of(workload, system):
        for row in rows:
            if row.workload == workload and row.extra.get("system") == system:
                return row
        return None

    for system, native, pair in (("psf_dcd", "dcd", "PSF + DCD"), ("tpr_xtc", "xtc", "TPR + XTC")):
        row = of("md_universe", system)
        if row:
            add(f"md Universe vs {pair}", row.ratio(native), 3, False,
                f"Universe(): {pair} time / rux time >= 3")
        row = of("md_rmsd", system)
        if row:
            add(f"md RMSD vs DCD, {pair}", row.ratio("dcd"), 1, False,
                f"RMSD over every frame, {pair} system: DCD time / rux time >= 1")
            add(f"md RMSD vs XTC, {pair}", row.ratio("xtc"), 2, False,
                f"RMSD over every frame, {pair} system: XTC time / rux time >= 2")
        row = of("md_timeseries", system)
        if row:
            add(f"md timeseries vs DCD, {pair}", row.ratio("dcd"), 5, False,
                f"timeseries of all atoms, {pair} system: DCD time / rux time >= 5")
            add(f"md timeseries vs XTC, {pair}", row.ratio("xtc"), 20, False,
                f"timeseries of all atoms, {pair} system: XTC time / rux time >= 20")
        row = of("md_read_series_rows", system)
        if row:
            add(f"md read_series 1% rows, {pair}", slower(row, "rux_all"), 0.1, True,
                f"read_series of 1% of the rows, {pair} system: time / all rows time <= 0.1")
    row = of("md_timeseries_ca", "tpr_xtc")
    if row:
        add("md timeseries C-alpha vs all atoms", row.ratio("rux_all"), 10, False,
            "timeseries of the C-alpha atoms, TPR + XTC system: rux all-atom time / "
            "C-alpha time >= 10")
    return result


# ---- printing ----


def number(value):
    if value is None:
        return "n/a"
    if value == 0:
        return "0"
    magnitude = abs(value)
    if magnitude >= 1000:
        return f"{value:,.0f}"
    if magnitude >= 10:
        return f"{value:.1f}"
    if magnitude >= 0.01:
        return f"{value:.2f}"
    return f"{value:.2g}"


def ratio(value):
    return "n/a" if value is None else f"{value:.2f}x"


def table(rows):
    header = ("workload", "unit", "rux", "h5py", "bare", "rux vs h5py", "rux vs bare")
    lines = [header] + [
        (row.label, row.unit, number(row.figure("rux")), number(row.figure("h5py")),
         number(row.figure("bare")), ratio(row.ratio("h5py")), ratio(row.ratio("bare")))
        for row in rows
    ]
    return format_lines(lines)


ANALYSIS_WORKLOADS = ("series_positions", "series_many_frames", "series_scalar",
                      "series_rows_index", "series_rows_slice", "frame_iteration",
                      "open_read_close", "trajectory_msd", "trajectory_frame")
ANALYSIS_COLUMNS = (
    ("rux", "rux"),
    ("rux_all", "rux all rows"),
    ("read_frame", "read_frame"),
    ("rux_loop", "rux per-chunk loop"),
    ("h5py", "h5py auto chunks"),
    ("h5py_frame", "h5py frame/chunk"),
    ("npy", ".npy copy"),
    ("bare", "bare calls"),
)


def analysis_table(rows):
    """The analysis-read rows: every contender, and rux against h5py and the limit."""
    header = (("workload", "unit") + tuple(title for _, title in ANALYSIS_COLUMNS)
              + ("rux vs h5py", "rux vs limit"))
    lines = [header] + [
        (row.label, row.unit)
        + tuple(number(row.figure(key)) if key in row.values else "-"
                for key, _ in ANALYSIS_COLUMNS)
        + (ratio(row.ratio("h5py")), f"{ratio(row.ratio(row.limit))} ({row.limit})")
        for row in rows
    ]
    return format_lines(lines)


ASE_WORKLOADS = ("ase_read", "ase_write")


def ase_table(rows):
    """The ASE rows: rux files through ase.io against ase.io.Trajectory."""
    lines = [("workload", "unit", "rux", "ase.io.Trajectory", "rux vs Trajectory")] + [
        (row.label, row.unit, number(row.figure("rux")), number(row.figure("ase_traj")),
         ratio(row.ratio("ase_traj")))
        for row in rows
    ]
    return format_lines(lines)


MD_COLUMNS = (
    ("rux", "rux"),
    ("rux_all", "rux all atoms/rows"),
    ("dcd", "DCD"),
    ("xtc", "XTC"),
    ("trr", "TRR"),
    ("h5md", "H5MD"),
)


def md_table(rows):
    """The MD-format rows: rux and each MDAnalysis format, the speed ratios against two."""
    header = (("workload", "unit") + tuple(title for _, title in MD_COLUMNS)
              + ("rux vs DCD", "rux vs XTC", "rux vs all"))
    lines = [header] + [
        (row.label, row.unit)
        + tuple(number(row.figure(key)) if key in row.values else "-" for key, _ in MD_COLUMNS)
        + tuple(ratio(row.ratio(key)) if key in row.values else "-"
                for key in ("dcd", "xtc", "rux_all"))
        for row in rows
    ]
    return format_lines(lines)


def sizes_table(rows):
    """File sizes of each format, and how many times smaller rux's is (>1) or larger."""
    formats = [key for key, _ in MD_COLUMNS if key != "rux_all"]
    header = (("file size", "unit") + tuple(title for key, title in MD_COLUMNS if key in formats)
              + ("rux vs DCD", "rux vs XTC"))
    lines = [header] + [
        (row.label.replace("file size, ", ""), row.unit)
        + tuple(number(row.figure(key)) if key in row.values else "-" for key in formats)
        + (ratio(row.ratio("dcd")), ratio(row.ratio("xtc")))
        for row in rows
    ]
    return format_lines(lines)


def format_lines(lines):
    widths = [max(len(line[i]) for line in lines) for i in range(len(lines[0]))]

    def fmt(line):
        cells = [line[0].ljust(widths[0]), line[1].ljust(widths[1])]
        cells += [cell.rjust(width) for cell, width in zip(line[2:], widths[2:])]
        return "| " + " | ".join(cells) + " |"

    separator = "|" + "|".join("-" * (w + 2) for w in widths) + "|"
    return "\n".join([fmt(lines[0]), separator] + [fmt(line) for line in lines[1:]])


def notes(rows):
    lines = []
    for row in rows:
        if row.note:
            lines.append(f"- {row.label} ({row.unit}): {row.note}")
    return "\n".join(lines)


def target_lines(found):
    lines = []
    for t in found:
        verdict = {True: "holds", False: "FAILS", None: "n/a"}[t.holds]
        measured = "n/a" if t.measured is None else f"{t.measured:.2f}"
        lines.append(f"- {verdict:5}  {t.text}: measured {measured}")
    return "\n".join(lines)


# Python per-call figure (row workload, label, unit, to microseconds) for each
# library benchmark.
PER_CALL = {
    "BM_WriteSmallChunk/iterations:80000": ("small_writes", None, "chunks/s"),
    "BM_SmallWritesWorkload/iterations:1/real_time": ("small_writes", None, "chunks/s"),
    "BM_RandomSmallRead": ("random_small_reads", None, None),
    "BM_RandomSmallReadWritable/real_time": ("writable_reads", None, None),
    "BM_FindChunkPresent/1000000": ("lookup", "chunk_exists, present name", None),
    "BM_FindChunkAbsent/1000000": ("lookup", "chunk_exists, absent name", None),
}


def binding_microseconds(rows, benchmark):
    if benchmark.startswith("BM_OpenFirstRead/"):
        entries = int(benchmark.split("/")[1])
        for row in rows:
            if row.workload == "open_first_read" and row.extra.get("entries") == entries:
                return row.figure("rux")
        return None
    workload, label, unit = PER_CALL.get(benchmark, (None, None, None))
    row = find(rows, workload, label, unit) if workload else None
    if row is None or row.figure("rux") is None:
        return None
    return 1e6 / row.figure("rux") if row.unit == "chunks/s" else row.figure("rux")


def library_table(section, rows):
    if section.get("skipped"):
        return "skipped: " + section["skipped"]
    lines = [("library call (C++, median)", "library us", "through rux.fl us", "binding share")]
    for entry in section["rows"]:
        library = None if entry["ns_per_call"] is None else entry["ns_per_call"] / 1e3
        python = binding_microseconds(rows, entry["benchmark"])
        share = (f"{(python - library) / python:.0%}" if library is not None and python else "n/a")
        lines.append((entry["label"], number(library), number(python), share))
    widths = [max(len(line[i]) for line in lines) for i in range(4)]
    out = []
    for i, line in enumerate(lines):
        cells = [line[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(line[1:], widths[1:])]
        out.append("| " + " | ".join(cells) + " |")
        if i == 0:
            out.append("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    return "\n".join(out)


# ---- main ----


def machine():
    try:
        rux_version = importlib.metadata.version("rux")
    except importlib.metadata.PackageNotFoundError:
        rux_version = None
    return {
        "platform": platform.platform(),
        "cpus": os.cpu_count(),
        "python": platform.python_version(),
        "numpy": numpy.__version__,
        "h5py": h5py.__version__ if h5py else None,
        "hdf5": h5py.version.hdf5_version if h5py else None,
        "rux": rux_version,
        "load_average_start": os.getloadavg() if hasattr(os, "getloadavg") else None,
    }


def main(argv=None):
    args = parse_arguments(sys.argv[1:] if argv is None else argv)
    config = Config(**asdict(QUICK)) if args.quick else Config()
    if args.repeat:
        config.repeat = args.repeat
    families = selected_families(args.only)
    fl = common.import_fl()
    if h5py is None:
        progress("h5py is not installed: its column is n/a")
    made_data_dir = args.data_dir is None
    data_dir = args.data_dir or tempfile.mkdtemp(prefix="rux-bench-")
    os.makedirs(data_dir, exist_ok=True)
    info = machine()
    started = time.time()
    skipped = {}
    try:
        rows = run_workloads(fl, config, families, data_dir, args.cold, skipped)
        use_cpp = (args.cpp or ("skip" if args.quick else "auto")) == "auto"
        library = {"skipped": "not requested", "rows": []}
        if use_cpp:
            progress("C++ library benchmark")
            build_dir = args.cpp_build_dir or os.path.join(
                os.path.dirname(cpp_library.HERE), "build", "benchmarks-cpp")
            library = cpp_library.library_section(build_dir, data_dir, config.repeat)
    finally:
        if made_data_dir:
            shutil.rmtree(data_dir, ignore_errors=True)
    found = targets(rows)
    info["load_average_end"] = os.getloadavg() if hasattr(os, "getloadavg") else None
    info["seconds"] = round(time.time() - started, 1)

    command = "python benchmarks/run.py " + " ".join(sys.argv[1:] if argv is None else argv)
    print(f"rux benchmarks: {command.strip()}")
    print(f"{info['platform']}, {info['cpus']} CPUs, Python {info['python']}, numpy "
          f"{info['numpy']}, h5py {info['h5py']} (HDF5 {info['hdf5']}), rux {info['rux']}; "
          f"load average {info['load_average_start']} -> {info['load_average_end']}; "
          f"{info['seconds']} s")
    print("Figures are medians of repetitions; ratios are speed ratios (>1: rux is faster or "
          "leaner), the median of the ratios within each repetition.\n")
    reporters = [row for row in rows if row.workload == "openmm_reporter"]
    ase_rows = [row for row in rows if row.workload in ASE_WORKLOADS]
    md = [row for row in rows if row.workload.startswith("md_") and row.workload != "md_sizes"]
    sizes = [row for row in rows if row.workload == "md_sizes"]
    plain = [row for row in rows
             if row.workload not in ANALYSIS_WORKLOADS + ASE_WORKLOADS + ("openmm_reporter",)
             and not row.workload.startswith("md_")]
    analysis = [row for row in rows if row.workload in ANALYSIS_WORKLOADS]
    if plain:
        print(table(plain))
    if analysis:
        print("\nAnalysis reads: one name across frames, whole frames, cheap opens and the "
              "trajectory layer (- : not a contender on that row; the limit is named):")
        print(analysis_table(analysis))
    if reporters:
        print("\nOpenMM reporters: time inside report(), each reporter writing its own file:")
        print(openmm_reporter.table(reporters, number, ratio, format_lines))
    if ase_rows:
        print("\nASE: ase.io on rux files against ase.io.Trajectory (.traj):")
        print(ase_table(ase_rows))
    if md:
        print("\nMD formats through MDAnalysis (- : not a contender on that row):")
        print(md_table(md))
    if sizes:
        print("\nFile sizes of the MD-format rows:")
        print(sizes_table(sizes))
    for family, reason in skipped.items():
        print(f"\n{family}: skipped: {reason}")
    print("\n" + notes(rows))
    caveat = " (--quick: tiny sizes, the verdicts mean nothing)" if args.quick else ""
    print(f"\nTargets{caveat}:\n" + target_lines(found))
    print("\nLibrary alone (C++, Google Benchmark) against the same call through rux.fl:")
    print(library_table(library, rows))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({
                "command": command.strip(),
                "quick": args.quick,
                "machine": info,
                "config": asdict(config),
                "rows": [row.as_json() for row in rows],
                "targets": [t.as_json() for t in found],
                "skipped": skipped,
                "library": library,
            }, f, indent=2)
            f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
