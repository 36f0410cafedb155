"""Frame iteration: every chunk of every frame, one frame after another.

Each frame holds 5 names: three (256, 3) float32 arrays (positions,
velocities, forces), a float64 energy and an int64 step. Each contender
opens the file, builds a {name: array} per frame for every frame, and
closes; the figure is per frame:

- rux: `read_frame(t)`;
- rux per-chunk loop: `read_chunk(t, name)` for each name;
- h5py: `dataset[t]` of each name's resizable dataset, automatic chunks and
  one frame per chunk;
- the copy limit: `mapped[t]` of each name's .npy opened with
  `numpy.load(mmap_mode="r")`, copied.
"""

import numpy

from common import Row, Timer, analysis_files, h5py, has_methods, interleave, random_walk

NAMES = ("positions", "velocities", "forces", "energy", "step")


def frame_arrays(frames, rows):
    return {
        "positions": random_walk(frames, rows, seed=5),
        "velocities": random_walk(frames, rows, seed=6),
        "forces": random_walk(frames, rows, seed=7),
        "energy": numpy.random.default_rng(8).standard_normal(frames),
        "step": numpy.arange(frames, dtype=numpy.int64) * 100,
    }


def make_files(fl, config, data_dir):
    """Writes the frames for every contender; checks they all read the same."""
    arrays = frame_arrays(config.frame_frames, config.frame_rows)
    paths = analysis_files(fl, "frames", arrays, data_dir)
    sample = sorted({0, config.frame_frames // 2, config.frame_frames - 1})
    with fl.open(paths["rux"], "r") as f:
        assert f.nframes == config.frame_frames
        for t in sample:
            loop = {name: f.read_chunk(t, name) for name in NAMES}
            for name in NAMES:
                assert numpy.array_equal(loop[name].reshape(arrays[name][t].shape),
                                         arrays[name][t]), (t, name)
            if has_methods(fl, "read_frame"):
                whole = f.read_frame(t)
                assert set(whole) == set(NAMES), sorted(whole)
                for name in NAMES:
                    assert numpy.array_equal(whole[name], loop[name]), (t, name)
    for contender in ("h5py", "h5py_frame"):
        if contender in paths:
            with h5py.File(paths[contender], "r") as g:
                for t in sample:
                    for name in NAMES:
                        assert numpy.array_equal(g[name][t], arrays[name][t]), (contender, t)
    return paths


# ---- one timed pass per contender; each returns microseconds per frame ----


def rux_read_frame(fl, path):
    with Timer() as t:
        f = fl.open(path, "r")
        read = f.read_frame
        frames = f.nframes
        for frame in range(frames):
            read(frame)
        f.close()
    return t.seconds / frames * 1e6


def rux_loop(fl, path):
    with Timer() as t:
        f = fl.open(path, "r")
        read = f.read_chunk
        frames = f.nframes
        for frame in range(frames):
            {name: read(frame, name) for name in NAMES}
        f.close()
    return t.seconds / frames * 1e6


def h5py_frames(path):
    with Timer() as t:
        with h5py.File(path, "r") as f:
            datasets = [(name, f[name]) for name in NAMES]
            frames = datasets[0][1].shape[0]
            for frame in range(frames):
                {name: dataset[frame] for name, dataset in datasets}
    return t.seconds / frames * 1e6


def npy_frames(paths):
    with Timer() as t:
        mapped = [(name, numpy.load(paths[name], mmap_mode="r")) for name in NAMES]
        frames = len(mapped[0][1])
        for frame in range(frames):
            {name: numpy.array(array[frame]) for name, array in mapped}
        del mapped
    return t.seconds / frames * 1e6


def frame_iteration(fl, config, paths):
    with_frame = has_methods(fl, "read_frame")
    values = interleave(
        {
            "rux": (lambda: rux_read_frame(fl, paths["rux"])) if with_frame else None,
            "rux_loop": lambda: rux_loop(fl, paths["rux"]),
            "h5py": (lambda: h5py_frames(paths["h5py"])) if h5py else None,
            "h5py_frame": (lambda: h5py_frames(paths["h5py_frame"])) if h5py else None,
            "npy": lambda: npy_frames(paths["npy"]),
        },
        config.repeat_series,
    )
    note = (f"{config.frame_frames:,} frames of 5 names, three ({config.frame_rows}, 3) "
            f"float32, a float64, an int64; open, a dict per frame, close; h5py: dataset[t] "
            f"per name; copy limit: the .npy files mapped, each frame's rows copied")
    if not with_frame:
        note += "; rux.fl has no read_frame here: rux n/a"
    return [Row("frame_iteration", "frame iteration, 5 names per frame", "us/frame", False,
                values, note, limit="npy", extra={"frames": config.frame_frames})]
