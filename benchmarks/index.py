"""Index workloads: opening files of growing index size, and name lookups.

Each file holds `entries` index entries: entries / 4 frames of the four small
names, each chunk one row of 3 float32, so that the index, not the data,
dominates. The h5py twin has the layout of the small-writes workload (one
dataset per name, one frame per HDF5 chunk), written in one go.

The open + first read + close rows also race a twin with automatic HDF5
chunks and one .npy per name, opened with numpy.load(mmap_mode="r").
"""

import os
import random

import numpy

from common import (
    APPLICATION,
    SCHEMA,
    SCHEMA_VERSION,
    SMALL_NAMES,
    Row,
    Timer,
    entries_text,
    h5py,
    interleave,
    remove,
    write_h5py_frames,
)
from ruxindex import ChunkLocations

ABSENT_NAME = "no/such/chunk"


def make_rux_file(fl, path, frames):
    remove(path)
    row = numpy.zeros((1, 3), dtype=numpy.float32)
    with fl.open(path, "w", APPLICATION, SCHEMA, SCHEMA_VERSION) as f:
        write = f.write_chunk
        for frame in range(frames):
            row[0, 0] = frame
            for name in SMALL_NAMES:
                write(name, row)
            f.end_frame()


def small_rows(frames):
    """Each small name's (frames, 1, 3) array, as make_rux_file writes it."""
    data = numpy.zeros((frames, 1, 3), dtype=numpy.float32)
    data[:, 0, 0] = numpy.arange(frames)
    return data


def make_h5py_file(path, frames):
    remove(path)
    data = small_rows(frames)
    with h5py.File(path, "w") as f:
        for name in SMALL_NAMES:
            f.create_dataset(name, data=data, chunks=(1, 1, 3), maxshape=(None, 1, 3))


def index_files(fl, config, data_dir, sizes, more_for=()):
    """Writes the rux and h5py files of every index size; {entries: paths}.

    Sizes in `more_for` also get an automatic-chunks h5py twin ("h5py_auto")
    and one .npy per name ("npy", a {name: path} dict).
    """
    files = {}
    for entries in sorted(sizes):
        frames = entries // len(SMALL_NAMES)
        paths = {
            "rux": os.path.join(data_dir, f"index-{entries}.rux"),
            "h5py": os.path.join(data_dir, f"index-{entries}.h5"),
        }
        make_rux_file(fl, paths["rux"], frames)
        if h5py:
            make_h5py_file(paths["h5py"], frames)
        if entries in more_for:
            data = small_rows(frames)
            paths["npy"] = {name: os.path.join(data_dir, f"index-{entries}.{i}.npy")
                            for i, name in enumerate(SMALL_NAMES)}
            for path in paths["npy"].values():
                numpy.save(path, data)
            if h5py:
                paths["h5py_auto"] = os.path.join(data_dir, f"index-{entries}.auto.h5")
                write_h5py_frames(paths["h5py_auto"], dict.fromkeys(SMALL_NAMES, data), "auto")
        files[entries] = paths
    return files


# ---- open and first read; each returns microseconds per open + read ----


def rux_open_first_read(fl, path, targets):
    total = 0.0
    for frame, name in targets:
        with Timer() as t:
            f = fl.open(path, "r")
            f.read_chunk(frame, name)
        total += t.seconds
        f.close()
    return total / len(targets) * 1e6


def h5py_open_first_read(path, targets):
    total = 0.0
    for frame, name in targets:
        with Timer() as t:
            f = h5py.File(path, "r")
            f[name][frame]
        total += t.seconds
        f.close()
    return total / len(targets) * 1e6


def bare_open_first_read(path, offsets):
    buffers = [numpy.empty((1, 3), dtype=numpy.float32)]
    total = 0.0
    for offset in offsets:
        with Timer() as t:
            fd = os.open(path, os.O_RDONLY)
            os.preadv(fd, buffers, offset)
        total += t.seconds
        os.close(fd)
    return total / len(offsets) * 1e6


def open_and_first_read(fl, config, files):
    rows = []
    for entries, paths in files.items():
        frames = entries // len(SMALL_NAMES)
        rng = random.Random(entries)
        targets = [(rng.randrange(frames), rng.choice(SMALL_NAMES))
                   for _ in range(config.open_cycles)]
        offsets, _ = ChunkLocations(paths["rux"]).locate_many(*zip(*targets))
        micros = interleave(
            {
                "rux": lambda: rux_open_first_read(fl, paths["rux"], targets),
                "h5py": (lambda: h5py_open_first_read(paths["h5py"], targets))
                if h5py else None,
                "bare": lambda: bare_open_first_read(paths["rux"], offsets),
            },
            config.repeat,
        )
        rows.append(
            Row("open_first_read", f"open + first read, {entries_text(entries)} entries", "us",
                False, micros,
                f"open the file and read one random small chunk; mean of "
                f"{config.open_cycles} per repetition; bare: os.open + os.preadv",
                extra={"entries": entries}))
    return rows


# ---- open, first read and close; each returns microseconds per cycle ----


def rux_open_read_close(fl, path, targets):
    with Timer() as t:
        for frame, name in targets:
            f = fl.open(path, "r")
            f.read_chunk(frame, name)
            f.close()
    return t.seconds / len(targets) * 1e6


def h5py_open_read_close(path, targets):
    with Timer() as t:
        for frame, name in targets:
            f = h5py.File(path, "r")
            f[name][frame]
            f.close()
    return t.seconds / len(targets) * 1e6


def npy_open_read_close(paths, targets):
    with Timer() as t:
        for frame, name in targets:
            mapped = numpy.load(paths[name], mmap_mode="r")
            numpy.array(mapped[frame])
            del mapped  # unmaps: numpy keeps no other reference
    return t.seconds / len(targets) * 1e6


def bare_open_read_close(path, offsets):
    buffers = [numpy.empty((1, 3), dtype=numpy.float32)]
    with Timer() as t:
        for offset in offsets:
            fd = os.open(path, os.O_RDONLY)
            os.preadv(fd, buffers, offset)
            os.close(fd)
    return t.seconds / len(offsets) * 1e6


def open_read_close(fl, config, files):
    rows = []
    for entries in config.close_entries:
        paths = files[entries]
        frames = entries // len(SMALL_NAMES)
        rng = random.Random(entries + 1)
        targets = [(rng.randrange(frames), rng.choice(SMALL_NAMES))
                   for _ in range(config.open_cycles)]
        offsets, _ = ChunkLocations(paths["rux"]).locate_many(*zip(*targets))
        micros = interleave(
            {
                "rux": lambda: rux_open_read_close(fl, paths["rux"], targets),
                "h5py": (lambda: h5py_open_read_close(paths["h5py_auto"], targets))
                if h5py else None,
                "h5py_frame": (lambda: h5py_open_read_close(paths["h5py"], targets))
                if h5py else None,
                "npy": lambda: npy_open_read_close(paths["npy"], targets),
                "bare": lambda: bare_open_read_close(paths["rux"], offsets),
            },
            config.repeat,
        )
        rows.append(
            Row("open_read_close", f"open + first read + close, {entries_text(entries)} entries",
                "us", False, micros,
                f"open, read one random (1, 3) float32 chunk, close; all timed; mean of "
                f"{config.open_cycles} per repetition; bare: os.open + os.preadv + os.close; "
                f"npy: numpy.load(mmap_mode='r') of the name's .npy, the row copied",
                extra={"entries": entries}))
    return rows


# ---- lookup; each returns microseconds per call ----


def rux_lookups(fl, path, frames, name):
    with fl.open(path, "r") as f:
        exists = f.chunk_exists
        with Timer() as t:
            for frame in frames:
                exists(frame, name)
    return t.seconds / len(frames) * 1e6


def h5py_lookups(path, frames, name):
    # The same question as chunk_exists(frame, name): is there such a
    # dataset, and does it reach that frame?
    with h5py.File(path, "r") as f:
        with Timer() as t:
            for frame in frames:
                name in f and f[name].shape[0] > frame
    return t.seconds / len(frames) * 1e6


def lookups(fl, config, files):
    entries = max(files)
    path = files[entries]
    frames = entries // len(SMALL_NAMES)
    rng = random.Random(7)
    sample = [rng.randrange(frames) for _ in range(config.lookups)]
    rows = []
    for name, kind in ((SMALL_NAMES[1], "present"), (ABSENT_NAME, "absent")):
        with fl.open(path["rux"], "r") as f:
            assert f.chunk_exists(sample[0], name) == (kind == "present")
        micros = interleave(
            {
                "rux": lambda: rux_lookups(fl, path["rux"], sample, name),
                "h5py": (lambda: h5py_lookups(path["h5py"], sample, name)) if h5py else None,
                "bare": None,
            },
            config.repeat,
        )
        rows.append(
            Row("lookup", f"chunk_exists, {kind} name", "us", False, micros,
                f"{len(sample)} calls at random frames on the {entries_text(entries)}-entry file; "
                f"h5py: name in file and dataset.shape[0] > frame; bare: no system call "
                f"involved"))
    return rows
