"""Shared pieces of the benchmark suite: contenders, timing, rows and targets.

Every workload measures three contenders on the same data in the same run:
rux (through rux.fl), HDF5 (through h5py) and the bare system calls issued
from the same Python. Repetitions are interleaved (rux, h5py, bare, then the
next repetition in a rotated order) so that a burst of load from other
processes on the machine hits all three alike; each figure is the median.
"""

import gc
import os
import statistics
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, Optional

import numpy

try:
    import h5py
except ImportError:  # the suite still runs; the h5py column becomes n/a
    h5py = None

CONTENDERS = ("rux", "h5py", "bare")
# Further contenders of the analysis-read rows, in the order they print:
# today's per-chunk loop (rux_loop), one read_frame (read_frame), h5py with
# one frame per HDF5 chunk (h5py_frame; "h5py" is then automatic chunks) and
# the copy limit, numpy.load(mmap_mode="r") of a .npy, copied (npy); rux
# reading every row where rux reads some (rux_all).
# The OpenMM reporter row races OpenMM's own reporters instead: rux
# publishing every frame (rux_published), XTCReporter (xtc), DCDReporter (dcd);
# the ASE rows ASE's own trajectory format, ase.io.Trajectory (ase_traj).
MORE_CONTENDERS = ("rux_loop", "read_frame", "h5py_frame", "npy", "rux_all", "rux_published", "xtc",
                   "dcd", "ase_traj")
# The MD-format rows race MDAnalysis's formats instead (with rux_all where
# rux reads a selection): dcd and xtc above, trr and h5md.
MD_CONTENDERS = ("trr", "h5md")

# The schema and chunk names every rux file of the suite uses.
APPLICATION = "rux-benchmarks"
SCHEMA = "benchmark"
SCHEMA_VERSION = (1, 0)
SMALL_NAMES = ("positions", "velocities", "forces", "charges")


def import_fl():
    """Imports the installed rux.fl, not the source tree's rux package."""
    import importlib
    import sys

    source_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != source_root]
    return importlib.import_module("rux.fl")


class Timer:
    """Wall-clock time of a block, with the cyclic collector paused."""

    def __enter__(self):
        self._gc_was_enabled = gc.isenabled()
        gc.disable()
        self.start = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.seconds = time.perf_counter() - self.start
        if self._gc_was_enabled:
            gc.enable()
        return False


def interleave(runs: Dict[str, Optional[Callable[[], float]]], repeat: int) -> Dict[str, list]:
    """Calls each available contender `repeat` times, rotating the order.

    Each callable does its own untimed setup and returns the measured value
    of one repetition. A contender given as None (h5py not installed) gets
    no values.
    """
    names = [name for name in runs if runs[name] is not None]
    values = {name: [] for name in runs}
    for rep in range(repeat):
        shift = rep % len(names) if names else 0
        for name in names[shift:] + names[:shift]:
            values[name].append(runs[name]())
    return values


def median(values):
    return statistics.median(values) if values else None


@dataclass
class Row:
    """One line of the table: a figure per contender and how they compare.

    `higher_is_better` says whether the unit is a rate (chunks/s, GB/s) or a
    cost (microseconds, MiB); the ratio columns are always speed ratios, >1
    meaning rux is ahead, so they read the same way on every line.
    """

    workload: str
    label: str
    unit: str
    higher_is_better: bool
    values: Dict[str, list]
    note: str = ""
    extra: Dict[str, object] = field(default_factory=dict)
    # False where a ratio means nothing (memory above a baseline near zero).
    ratios: bool = True
    # The contender that bounds what rux can reach on this row.
    limit: str = "bare"

    def figure(self, contender: str) -> Optional[float]:
        return median(self.values.get(contender, []))

    def ratio(self, other: str) -> Optional[float]:
        """How many times better rux is than `other` (None when unknown).

        The median of the ratios within each repetition, where rux and the
        other ran one right after the other: load from elsewhere that drifts
        between repetitions (disk-bound rows swing by 3x here) cancels out.
        """
        mine, theirs = self.values.get("rux", []), self.values.get(other, [])
        if not self.ratios or not mine or not theirs or len(mine) != len(theirs):
            return None
        if any(value <= 0 for value in mine + theirs):
            return None
        if self.higher_is_better:
            return median([m / t for m, t in zip(mine, theirs)])
        return median([t / m for m, t in zip(mine, theirs)])

    def contenders(self):
        more = [c for c in MORE_CONTENDERS + MD_CONTENDERS if c in self.values]
        return list(CONTENDERS) + more

    def as_json(self) -> dict:
        return {
            "workload": self.workload,
            "label": self.label,
            "unit": self.unit,
            "higher_is_better": self.higher_is_better,
            "median": {c: self.figure(c) for c in self.contenders()},
            "repetitions": {c: self.values.get(c, []) for c in self.contenders()},
            "rux_vs_h5py": self.ratio("h5py"),
            "rux_vs_bare": self.ratio("bare"),
            "limit": self.limit,
            "rux_vs_limit": self.ratio(self.limit),
            "note": self.note,
            **({"extra": self.extra} if self.extra else {}),
        }


@dataclass
class Target:
    """A goal stated as `measured <= limit` or `measured >= limit`."""

    name: str
    measured: Optional[float]
    limit: float
    at_most: bool
    text: str

    @property
    def holds(self) -> Optional[bool]:
        if self.measured is None:
            return None
        return self.measured <= self.limit if self.at_most else self.measured >= self.limit

    def as_json(self) -> dict:
        return {
            "name": self.name,
            "measured": self.measured,
            "limit": self.limit,
            "comparison": "<=" if self.at_most else ">=",
            "holds": self.holds,
            "text": self.text,
        }


def entries_text(count: int) -> str:
    """10^6 for a power of ten, the plain number otherwise."""
    power = len(str(count)) - 1
    return f"10^{power}" if count == 10**power else str(count)


def float32_chunk(rows: int, columns: int, seed: int = 0) -> numpy.ndarray:
    return numpy.random.default_rng(seed).random((rows, columns), dtype=numpy.float32)


def remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def fsync_path(path: str) -> None:
    """Syncs a file that another library wrote and closed."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def h5py_fsync(h5file) -> None:
    """Flushes an open h5py file and syncs its descriptor (sec2 driver)."""
    h5file.flush()
    os.fsync(h5file.id.get_vfd_handle())


# ---- the files of the analysis-read workloads ----


def write_rux_frames(fl, path, arrays):
    """A rux file with frame t holding arrays[name][t] for every name.

    A (T,) array gives one-element chunks (N = M = 1), as a scalar per frame.
    """
    remove(path)
    frames = len(next(iter(arrays.values())))
    with fl.open(path, "w", APPLICATION, SCHEMA, SCHEMA_VERSION) as f:
        write = f.write_chunk
        items = [(name, data.reshape(frames, 1) if data.ndim == 1 else data)
                 for name, data in arrays.items()]
        for frame in range(frames):
            for name, data in items:
                write(name, data[frame])
            f.end_frame()


def write_h5py_frames(path, arrays, layout):
    """One resizable (T, ...) dataset per name, the layout h5py users write.

    layout "auto" lets h5py choose the chunk shape, as it does for a dataset
    created empty with an unlimited first axis and appended to; "frame" puts
    one frame in each HDF5 chunk. The data go in with one write per dataset:
    the chunks land as a frame-by-frame append would place them, in order.
    """
    remove(path)
    with h5py.File(path, "w") as f:
        for name, data in arrays.items():
            frame_shape = data.shape[1:]
            chunks = True if layout == "auto" else (1,) + frame_shape
            dataset = f.create_dataset(name, shape=(0,) + frame_shape,
                                       maxshape=(None,) + frame_shape, chunks=chunks,
                                       dtype=data.dtype)
            dataset.resize(len(data), axis=0)
            dataset[...] = data


def analysis_files(fl, stem, arrays, data_dir, rux_only=()):
    """Writes the same frames as rux, h5py (both layouts) and one .npy per name.

    Names in `rux_only` go into the rux file alone: there they sit between
    the chunks read, while h5py and .npy keep each name apart anyway.
    Returns {contender: path}, the .npy entry a {name: path} dict.
    """
    shared = {name: data for name, data in arrays.items() if name not in rux_only}
    paths = {
        "rux": os.path.join(data_dir, f"{stem}.rux"),
        "npy": {name: os.path.join(data_dir, f"{stem}.{i}.npy") for i, name in enumerate(shared)},
    }
    write_rux_frames(fl, paths["rux"], arrays)
    for name, data in shared.items():
        numpy.save(paths["npy"][name], data)
    if h5py:
        for contender, layout in (("h5py", "auto"), ("h5py_frame", "frame")):
            paths[contender] = os.path.join(data_dir, f"{stem}.{layout}.h5")
            write_h5py_frames(paths[contender], shared, layout)
    return paths


def remove_files(paths):
    for path in paths.values():
        if isinstance(path, dict):
            remove_files(path)
        else:
            remove(path)


def random_walk(frames, rows, seed=0):
    """float32 positions (frames, rows, 3) that drift like particles do."""
    rng = numpy.random.default_rng(seed)
    steps = rng.standard_normal((frames, rows, 3), dtype=numpy.float32) * numpy.float32(0.01)
    return numpy.cumsum(steps, axis=0, dtype=numpy.float32)


def has_methods(fl, *names):
    """Whether rux.fl's file object has every method named (the new reads)."""
    return all(hasattr(fl.RUXFile, name) for name in names)
