"""Series reads: one name across every frame, as analysis reads it.

Three workloads: (256, 3) float32 positions over 20,000 frames, (16, 3) over
100,000 frames, and a float64 scalar over 200,000 frames whose frames also
hold a (500, 3) float32 array (so that the scalars lie far apart in the
rux file; h5py and .npy keep each name apart anyway, so their files hold the
scalars alone). Each contender opens the file, reads the whole series into one new
array and closes:

- rux: `read_series(name)`;
- rux per-chunk loop: `numpy.stack` of `read_chunk(t, name)` over the frames;
- h5py: `dataset[()]` of a resizable (T, N, M) dataset, automatic chunks and
  one frame per chunk;
- the copy limit: `numpy.load(path, mmap_mode="r")` of a .npy of the same
  array, copied into a new array.
"""

from dataclasses import dataclass
from typing import Optional, Tuple

import numpy

from common import (
    Row,
    Timer,
    analysis_files,
    h5py,
    has_methods,
    interleave,
    random_walk,
    remove_files,
)


@dataclass
class Case:
    workload: str
    name: str
    frames: int
    shape: Optional[Tuple[int, int]]  # None: a scalar per frame
    companion_rows: int = 0  # rows of the (rows, 3) array beside a scalar

    @property
    def label(self):
        if self.shape is None:
            return (f"series of a scalar, {self.frames:,} frames "
                    f"(+ a ({self.companion_rows}, 3) array each)")
        return f"series of ({self.shape[0]}, 3) float32, {self.frames:,} frames"

    def arrays(self):
        if self.shape is None:
            rng = numpy.random.default_rng(3)
            return {
                self.name: rng.standard_normal(self.frames),
                "positions": random_walk(self.frames, self.companion_rows, seed=4),
            }
        return {self.name: random_walk(self.frames, self.shape[0])}


def cases(config):
    return [
        Case("series_positions", "positions", config.series_frames, (config.series_rows, 3)),
        Case("series_many_frames", "positions", config.series_many_frames,
             (config.series_many_rows, 3)),
        Case("series_scalar", "energy", config.scalar_frames, None, config.scalar_companion_rows),
    ]


# ---- one timed pass per contender; each returns milliseconds ----


def rux_series(fl, path, name):
    with Timer() as t:
        f = fl.open(path, "r")
        f.read_series(name)
        f.close()
    return t.seconds * 1e3


def rux_loop(fl, path, name):
    with Timer() as t:
        f = fl.open(path, "r")
        read = f.read_chunk
        numpy.stack([read(frame, name) for frame in range(f.nframes)])
        f.close()
    return t.seconds * 1e3


def h5py_series(path, name):
    with Timer() as t:
        with h5py.File(path, "r") as f:
            f[name][()]
    return t.seconds * 1e3


def npy_copy(path):
    with Timer() as t:
        numpy.array(numpy.load(path, mmap_mode="r"))
    return t.seconds * 1e3


def check_same_data(fl, paths, name, expected, with_series):
    """Every contender must read the array the files were written from."""
    def same(actual):
        return numpy.array_equal(numpy.asarray(actual).reshape(expected.shape), expected)

    with fl.open(paths["rux"], "r") as f:
        assert f.nframes == len(expected)
        assert same(numpy.stack([f.read_chunk(t, name) for t in range(f.nframes)]))
        if with_series:
            assert same(f.read_series(name)), "read_series differs from read_chunk"
    assert same(numpy.load(paths["npy"][name], mmap_mode="r"))
    for contender in ("h5py", "h5py_frame"):
        if contender in paths:
            with h5py.File(paths[contender], "r") as g:
                assert same(g[name][()]), contender


def make_files(fl, case, data_dir):
    """Writes the case's files and checks that every contender reads the same."""
    arrays = case.arrays()
    paths = analysis_files(fl, case.workload, arrays, data_dir,
                           rux_only=() if case.shape else ("positions",))
    check_same_data(fl, paths, case.name, arrays[case.name], has_methods(fl, "read_series"))
    return paths


def series_case(fl, config, case, paths):
    with_series = has_methods(fl, "read_series")
    values = interleave(
        {
            "rux": (lambda: rux_series(fl, paths["rux"], case.name)) if with_series else None,
            "rux_loop": lambda: rux_loop(fl, paths["rux"], case.name),
            "h5py": (lambda: h5py_series(paths["h5py"], case.name)) if h5py else None,
            "h5py_frame": (lambda: h5py_series(paths["h5py_frame"], case.name))
            if h5py else None,
            "npy": lambda: npy_copy(paths["npy"][case.name]),
        },
        config.repeat_series,
    )
    if h5py:
        with_h5py = "; h5py: dataset[()], automatic chunks (h5py column) and one frame per chunk"
    else:
        with_h5py = ""
    note = ("open, read the whole series into a new array, close" + with_h5py
            + "; copy limit: numpy.load(mmap_mode='r') of a .npy, copied")
    if not with_series:
        note += "; rux.fl has no read_series here: rux n/a"
    return Row(case.workload, case.label, "ms", False, values, note, limit="npy",
               extra={"frames": case.frames})


def series_reads(fl, config, data_dir, keep=None):
    """The rows of every case; the files of the case named `keep` are returned too."""
    rows, kept = [], None
    for case in cases(config):
        paths = make_files(fl, case, data_dir)
        try:
            rows.append(series_case(fl, config, case, paths))
        finally:
            if case.workload == keep:
                kept = paths
            else:
                remove_files(paths)
    return rows, kept
