"""Write workloads: many small chunks, and a few large ones.

Every contender ends with its bytes on disk (rux syncs when it closes and
when a frame holds a chunk that went straight to the file; h5py and the bare
writes get the same syncs from here), so the figures compare equal
durability.
"""

import os

from common import (
    APPLICATION,
    SCHEMA,
    SCHEMA_VERSION,
    SMALL_NAMES,
    Row,
    Timer,
    float32_chunk,
    fsync_path,
    h5py,
    h5py_fsync,
    interleave,
    median,
    remove,
)

H5PY_SMALL_LAYOUT = (
    "h5py: one resizable dataset per name, chunked one frame per HDF5 chunk, "
    "capacity doubled as frames arrive and trimmed at the end"
)


# ---- small writes ----


def rux_small_write(fl, path, frames, chunk):
    remove(path)
    with Timer() as t:
        f = fl.open(path, "w", APPLICATION, SCHEMA, SCHEMA_VERSION)
        write = f.write_chunk
        for _ in range(frames):
            for name in SMALL_NAMES:
                write(name, chunk)
            f.end_frame()
        f.close()
    return t.seconds


def h5py_small_write(path, frames, chunk):
    remove(path)
    shape = chunk.shape
    with Timer() as t:
        with h5py.File(path, "w") as f:
            datasets = [
                f.create_dataset(
                    name, shape=(0,) + shape, maxshape=(None,) + shape, chunks=(1,) + shape,
                    dtype=chunk.dtype,
                )
                for name in SMALL_NAMES
            ]
            capacity = 0
            for frame in range(frames):
                if frame == capacity:
                    capacity = max(16, 2 * capacity)
                    for dataset in datasets:
                        dataset.resize(capacity, axis=0)
                for dataset in datasets:
                    dataset[frame] = chunk
            for dataset in datasets:
                dataset.resize(frames, axis=0)
        fsync_path(path)
    return t.seconds


def bare_small_write(path, frames, chunk):
    remove(path)
    pwrite = os.pwrite
    size = chunk.nbytes
    with Timer() as t:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        offset = 0
        for _ in range(frames):
            for _name in SMALL_NAMES:
                pwrite(fd, chunk, offset)
                offset += size
        os.fsync(fd)
        os.close(fd)
    return t.seconds


def small_writes(fl, config, paths):
    """Writes the small-writes files; the read workloads use them afterwards."""
    frames = config.small_frames
    chunk = float32_chunk(config.small_rows, 3)
    chunks = frames * len(SMALL_NAMES)
    seconds = interleave(
        {
            "rux": lambda: rux_small_write(fl, paths["rux"], frames, chunk),
            "h5py": (lambda: h5py_small_write(paths["h5py"], frames, chunk)) if h5py else None,
            "bare": lambda: bare_small_write(paths["bare"], frames, chunk),
        },
        config.repeat,
    )
    detail = f"{frames} frames x {len(SMALL_NAMES)} chunks of {chunk.shape[0]}x3 float32"
    rate = {c: [chunks / s for s in v] for c, v in seconds.items()}
    megabytes = {c: [chunks * chunk.nbytes / s / 1e6 for s in v] for c, v in seconds.items()}
    return [
        Row("small_writes", "small writes", "chunks/s", True, rate,
            f"{detail}; bare: one os.pwrite per chunk + fsync; {H5PY_SMALL_LAYOUT}"),
        Row("small_writes", "small writes", "MB/s", True, megabytes, "same runs as above"),
    ]


# ---- large writes ----


def pwrite_all(fd, view, offset):
    while len(view):
        written = os.pwrite(fd, view, offset)
        view = view[written:]
        offset += written


def rux_large_write(fl, path, frames, chunk):
    remove(path)
    with Timer() as t:
        f = fl.open(path, "w", APPLICATION, SCHEMA, SCHEMA_VERSION)
        # With the full-size chunk this changes nothing (it is above the
        # default threshold); the small chunks of --quick take the same
        # straight-to-the-file path this way.
        if chunk.nbytes < f.maximum_write_buffer_size:
            f.maximum_write_buffer_size = chunk.nbytes
        for _ in range(frames):
            f.write_chunk("data", chunk)
            f.end_frame()
        f.close()
    return t.seconds


def h5py_large_write(path, frames, chunk):
    remove(path)
    with Timer() as t:
        with h5py.File(path, "w") as f:
            dataset = f.create_dataset(
                "data", shape=(0,) + chunk.shape, maxshape=(None,) + chunk.shape,
                chunks=(1,) + chunk.shape, dtype=chunk.dtype,
            )
            for frame in range(frames):
                dataset.resize(frame + 1, axis=0)
                dataset[frame] = chunk
                h5py_fsync(f)
        fsync_path(path)
    return t.seconds


def bare_large_write(path, frames, chunk, sync=True):
    remove(path)
    view = memoryview(chunk).cast("B")
    with Timer() as t:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        for frame in range(frames):
            pwrite_all(fd, view, frame * chunk.nbytes)
            if sync:
                os.fsync(fd)
        os.close(fd)
    return t.seconds


def large_writes(fl, config, paths):
    frames = config.large_frames
    chunk = float32_chunk(config.large_mib * 2**20 // 4, 1, seed=1).reshape(-1)
    total = frames * chunk.nbytes
    seconds = interleave(
        {
            "rux": lambda: rux_large_write(fl, paths["rux"], frames, chunk),
            "h5py": (lambda: h5py_large_write(paths["h5py"], frames, chunk)) if h5py else None,
            "bare": lambda: bare_large_write(paths["bare"], frames, chunk),
        },
        config.repeat_large,
    )
    unsynced = [bare_large_write(paths["bare"], frames, chunk, sync=False)
                for _ in range(config.repeat_large)]
    rate = {c: [total / s / 1e9 for s in v] for c, v in seconds.items()}
    unsynced_rate = median([total / s / 1e9 for s in unsynced])
    return [
        Row("large_writes", "large writes", "GB/s", True, rate,
            f"{frames} frames x one {config.large_mib} MiB float32 chunk; every contender "
            f"syncs after each frame, as rux does; bare pwrite without fsync: "
            f"{unsynced_rate:.2f} GB/s",
            extra={"bare_without_fsync_GBps": unsynced_rate}),
    ]
