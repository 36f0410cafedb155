"""The trajectory layer (rux.open) against what it is built on and around.

Two workloads:

- the mean-squared displacement of the (256, 3) float32 positions of the
  series workload (20,000 frames), end to end: open the file, read the
  positions, compute the displacement from the first frame averaged over
  the particles, for every frame. The layer (`traj.series`) against the
  same analysis after `numpy.load` of a .npy (the array in memory), h5py
  (`dataset[()]`, automatic chunks and one frame per chunk) and the rux
  per-chunk loop. The note also gives the analysis alone on an array
  already in memory.
- `traj[i]` of a frame of 5 chunks (the frame-iteration files), every value
  looked up, at random frames, against one `read_frame(i)` with its values
  looked up the same way, the per-chunk loop and h5py's `dataset[i]` per
  name.
"""

import random

import numpy

from common import Row, Timer, h5py, has_methods, interleave, median
from frames import NAMES


def import_rux():
    """The installed rux package (import_fl has put it first on the path)."""
    import rux

    return rux


def mean_squared_displacement(positions):
    """<|x(t) - x(0)|^2> over the particles, for every frame t."""
    displacement = positions - positions[0]
    return numpy.einsum("tij,tij->t", displacement, displacement) / positions.shape[1]


# ---- mean-squared displacement; each returns milliseconds ----


def rux_layer_msd(rux, path, name):
    with Timer() as t:
        with rux.open(path, mode="r") as traj:
            mean_squared_displacement(traj.series(name))
    return t.seconds * 1e3


def rux_loop_msd(fl, path, name):
    with Timer() as t:
        with fl.open(path, "r") as f:
            read = f.read_chunk
            positions = numpy.stack([read(frame, name) for frame in range(f.nframes)])
        mean_squared_displacement(positions)
    return t.seconds * 1e3


def h5py_msd(path, name):
    with Timer() as t:
        with h5py.File(path, "r") as f:
            positions = f[name][()]
        mean_squared_displacement(positions)
    return t.seconds * 1e3


def npy_msd(path):
    with Timer() as t:
        mean_squared_displacement(numpy.load(path))
    return t.seconds * 1e3


def in_memory_msd(positions):
    with Timer() as t:
        mean_squared_displacement(positions)
    return t.seconds * 1e3


def msd(fl, config, paths, name="positions"):
    """paths: the files of the (256, 3) series workload."""
    rux = import_rux()
    with_layer = hasattr(rux, "open")
    in_memory = numpy.load(paths["npy"][name])
    expected = mean_squared_displacement(in_memory)
    if with_layer:
        with rux.open(paths["rux"], mode="r") as traj:
            assert len(traj) == len(in_memory)
            assert numpy.array_equal(mean_squared_displacement(traj.series(name)), expected)
    values = interleave(
        {
            "rux": (lambda: rux_layer_msd(rux, paths["rux"], name)) if with_layer else None,
            "rux_loop": lambda: rux_loop_msd(fl, paths["rux"], name),
            "h5py": (lambda: h5py_msd(paths["h5py"], name)) if h5py else None,
            "h5py_frame": (lambda: h5py_msd(paths["h5py_frame"], name)) if h5py else None,
            "npy": lambda: npy_msd(paths["npy"][name]),
            "in_memory": lambda: in_memory_msd(in_memory),
        },
        config.repeat_series,
    )
    analysis_alone = median(values.pop("in_memory"))
    frames, rows = in_memory.shape[:2]
    note = (f"{frames:,} frames of ({rows}, 3) float32, end to end from opening the file; "
            f"rux: rux.open + traj.series; h5py: dataset[()]; limit: numpy.load of a .npy "
            f"+ the same analysis (the analysis alone, array in memory: "
            f"{analysis_alone:.3g} ms)")
    if not with_layer:
        note += "; rux has no open (trajectory layer) here: rux n/a"
    return [Row("trajectory_msd", "mean-squared displacement, end to end", "ms", False, values,
                note, limit="npy", extra={"frames": frames, "analysis_alone_ms": analysis_alone})]


# ---- one frame of 5 chunks; each returns microseconds per frame ----


def rux_layer_frames(rux, path, sample):
    with rux.open(path, mode="r") as traj:
        with Timer() as t:
            for i in sample:
                frame = traj[i]
                for name in NAMES:
                    frame[name]
    return t.seconds / len(sample) * 1e6


def read_frame_frames(fl, path, sample):
    with fl.open(path, "r") as f:
        read = f.read_frame
        with Timer() as t:
            for i in sample:
                frame = read(i)
                for name in NAMES:
                    frame[name]
    return t.seconds / len(sample) * 1e6


def rux_loop_frames(fl, path, sample):
    with fl.open(path, "r") as f:
        read = f.read_chunk
        with Timer() as t:
            for i in sample:
                for name in NAMES:
                    read(i, name)
    return t.seconds / len(sample) * 1e6


def h5py_frames(path, sample):
    with h5py.File(path, "r") as f:
        datasets = [f[name] for name in NAMES]
        with Timer() as t:
            for i in sample:
                for dataset in datasets:
                    dataset[i]
    return t.seconds / len(sample) * 1e6


def frame_access(fl, config, paths):
    """paths: the files of the frame-iteration workload."""
    rux = import_rux()
    with_layer = hasattr(rux, "open")
    with_frame = has_methods(fl, "read_frame")
    rng = random.Random(11)
    sample = [rng.randrange(config.frame_frames) for _ in range(config.frame_lookups)]
    if with_layer:
        with rux.open(paths["rux"], mode="r") as traj, fl.open(paths["rux"], "r") as f:
            frame = traj[sample[0]]
            for name in NAMES:
                # The layer may hand a one-element chunk back as a scalar.
                expected = f.read_chunk(sample[0], name)
                assert numpy.array_equal(numpy.ravel(frame[name]), numpy.ravel(expected)), name
    values = interleave(
        {
            "rux": (lambda: rux_layer_frames(rux, paths["rux"], sample)) if with_layer else None,
            "read_frame": (lambda: read_frame_frames(fl, paths["rux"], sample))
            if with_frame else None,
            "rux_loop": lambda: rux_loop_frames(fl, paths["rux"], sample),
            "h5py": (lambda: h5py_frames(paths["h5py"], sample)) if h5py else None,
            "h5py_frame": (lambda: h5py_frames(paths["h5py_frame"], sample)) if h5py else None,
        },
        config.repeat,
    )
    note = (f"{len(sample):,} random frames of 5 chunks on an open file, every value looked "
            f"up; rux: traj[i]; limit: one read_frame(i); h5py: dataset[i] per name")
    missing = [what for what, present in (("the trajectory layer", with_layer),
                                          ("read_frame", with_frame)) if not present]
    if missing:
        note += "; not here: " + ", ".join(missing) + " (n/a)"
    return [Row("trajectory_frame", "traj[i], a frame of 5 chunks", "us/frame", False, values,
                note, limit="read_frame", extra={"frames": len(sample)})]
