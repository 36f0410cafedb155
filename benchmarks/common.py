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

    def as_json(self) -> dict:
        return {
            "workload": self.workload,
            "label": self.label,
            "unit": self.unit,
            "higher_is_better": self.higher_is_better,
            "median": {c: self.figure(c) for c in CONTENDERS},
            "repetitions": {c: self.values.get(c, []) for c in CONTENDERS},
            "rux_vs_h5py": self.ratio("h5py"),
            "rux_vs_bare": self.ratio("bare"),
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
