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

Rows of every frame: (47,681, 3) float32 positions over 200 frames, of which
1% of the rows are read (477, as an analysis reads the C-alpha atoms of a
solvated protein): once as a sorted index array spread over the system,
once as a contiguous slice. Each contender opens, reads those rows of every
frame into one new (T, 477, 3) array and closes: rux `read_series(name,
rows=...)` beside rux reading every row (`read_series(name)`, the figure the
target compares with), the per-chunk loop (`read_chunk(t, name)[rows]`),
h5py `dataset[:, rows, :]`, and the .npy mapping indexed the same way.
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


# ---- rows of every frame ----


def row_selections(config):
    """(workload, label, rows): 1% of the atoms as sorted spread indices and as a slice."""
    atoms, chosen = config.rows_atoms, config.rows_selected
    spread = numpy.sort(numpy.random.default_rng(11).choice(atoms, chosen, replace=False))
    start = atoms // 2
    what = f"{chosen} of ({atoms:,}, 3) float32 rows, {config.rows_frames} frames"
    return [
        ("series_rows_index", f"series of {what}, an index array", spread),
        ("series_rows_slice", f"series of {what}, a slice", slice(start, start + chosen)),
    ]


def rux_rows(fl, path, name, rows):
    with Timer() as t:
        f = fl.open(path, "r")
        f.read_series(name, rows=rows)
        f.close()
    return t.seconds * 1e3


def rux_rows_loop(fl, path, name, rows):
    with Timer() as t:
        f = fl.open(path, "r")
        read = f.read_chunk
        numpy.stack([read(frame, name)[rows] for frame in range(f.nframes)])
        f.close()
    return t.seconds * 1e3


def h5py_rows(path, name, rows):
    with Timer() as t:
        with h5py.File(path, "r") as f:
            f[name][:, rows, :]
    return t.seconds * 1e3


def npy_rows(path, rows):
    with Timer() as t:
        # An index array copies the rows already; a slice is a view, copied here.
        numpy.ascontiguousarray(numpy.load(path, mmap_mode="r")[:, rows])
    return t.seconds * 1e3


def reads_rows(fl):
    """Whether rux.fl's read_series selects rows (its signature line names them)."""
    return has_methods(fl, "read_series") and "rows=" in (
        fl.RUXFile.read_series.__doc__ or "").split("\n")[0]


def rows_reads(fl, config, data_dir):
    """Rows of every frame: 1% of the rows against all of them, on one file."""
    positions = random_walk(config.rows_frames, config.rows_atoms, seed=12)
    paths = analysis_files(fl, "series_rows", {"positions": positions}, data_dir)
    with_rows = reads_rows(fl)
    result = []
    try:
        for workload, label, rows in row_selections(config):
            expected = positions[:, rows]
            with fl.open(paths["rux"], "r") as f:
                if with_rows:
                    assert numpy.array_equal(f.read_series("positions", rows=rows), expected)
            assert numpy.array_equal(numpy.load(paths["npy"]["positions"], mmap_mode="r")[:, rows],
                                     expected)
            if h5py:
                for contender in ("h5py", "h5py_frame"):
                    with h5py.File(paths[contender], "r") as g:
                        assert numpy.array_equal(g["positions"][:, rows, :], expected), contender
            values = interleave(
                {
                    "rux": (lambda: rux_rows(fl, paths["rux"], "positions", rows))
                    if with_rows else None,
                    "rux_all": (lambda: rux_series(fl, paths["rux"], "positions"))
                    if has_methods(fl, "read_series") else None,
                    "rux_loop": lambda: rux_rows_loop(fl, paths["rux"], "positions", rows),
                    "h5py": (lambda: h5py_rows(paths["h5py"], "positions", rows))
                    if h5py else None,
                    "h5py_frame": (lambda: h5py_rows(paths["h5py_frame"], "positions", rows))
                    if h5py else None,
                    "npy": lambda: npy_rows(paths["npy"]["positions"], rows),
                },
                config.repeat_series,
            )
            note = ("open, read the selected rows of every frame into a new array, close; "
                    "rux all rows: read_series(name) of every row; h5py: dataset[:, rows, :]; "
                    "copy limit: the .npy mapping indexed the same way")
            if not with_rows:
                note += "; rux.fl has no read_series here: rux n/a"
            result.append(Row(workload, label, "ms", False, values, note, limit="npy",
                              extra={"frames": config.rows_frames, "rows": config.rows_atoms}))
    finally:
        remove_files(paths)
    return result


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
