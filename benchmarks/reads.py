"""Read workloads: random small chunks, large chunks, and a writable handle.

They read the files that the write workloads left behind. The bare contender
reads the same bytes of the rux file with os.preadv into one array allocated
beforehand; rux and h5py hand back a new array per read, as their users get.
"""

import os
import random

import numpy

from common import SMALL_NAMES, Row, Timer, h5py, interleave
from ruxindex import ChunkLocations


def drop_page_cache():
    """Empties the page cache (needs root); False where that is impossible."""
    try:
        os.sync()
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
        return True
    except OSError:
        return False


def random_pairs(count, frames, seed=12345):
    rng = random.Random(seed)
    return [(rng.randrange(frames), rng.choice(SMALL_NAMES)) for _ in range(count)]


# ---- one timed pass per contender; each returns microseconds per read ----


def rux_reads(fl, path, pairs, mode="r"):
    f = fl.open(path, mode)
    read = f.read_chunk
    with Timer() as t:
        for frame, name in pairs:
            read(frame, name)
    f.close()
    return t.seconds / len(pairs) * 1e6


def h5py_reads(path, pairs, mode="r"):
    with h5py.File(path, mode) as f:
        datasets = {name: f[name] for name in SMALL_NAMES}
        with Timer() as t:
            for frame, name in pairs:
                datasets[name][frame]
    return t.seconds / len(pairs) * 1e6


def bare_reads(path, offsets, shape, flags=os.O_RDONLY):
    buffers = [numpy.empty(shape, dtype=numpy.float32)]
    preadv = os.preadv
    fd = os.open(path, flags)
    with Timer() as t:
        for offset in offsets:
            preadv(fd, buffers, offset)
    os.close(fd)
    return t.seconds / len(offsets) * 1e6


def check_same_bytes(fl, paths, pairs, offsets, shape):
    """The three contenders must read identical data, or the race is void."""
    buffer = numpy.empty(shape, dtype=numpy.float32)
    sample = list(zip(pairs, offsets))[:50]
    fd = os.open(paths["rux"], os.O_RDONLY)
    try:
        with fl.open(paths["rux"], "r") as f:
            expected = [f.read_chunk(frame, name) for (frame, name), _ in sample]
        for ((frame, name), offset), chunk in zip(sample, expected):
            os.preadv(fd, [buffer], offset)
            assert numpy.array_equal(chunk, buffer), (frame, name)
    finally:
        os.close(fd)
    if h5py:
        with h5py.File(paths["h5py"], "r") as g:
            for ((frame, name), _), chunk in zip(sample, expected):
                assert numpy.array_equal(g[name][frame], chunk), (frame, name)


def small_read_runs(fl, paths, pairs, offsets, shape, mode):
    bare_flags = os.O_RDONLY if mode == "r" else os.O_RDWR
    return {
        "rux": lambda: rux_reads(fl, paths["rux"], pairs, mode),
        "h5py": (lambda: h5py_reads(paths["h5py"], pairs, mode)) if h5py else None,
        "bare": lambda: bare_reads(paths["bare_source"], offsets, shape, bare_flags),
    }


def random_small_reads(fl, config, paths):
    """Random (frame, name) reads on the small-writes files, read-only and "r+"."""
    shape = (config.small_rows, 3)
    pairs = random_pairs(config.reads, config.small_frames)
    offsets, _ = ChunkLocations(paths["rux"]).locate_many(*zip(*pairs))
    paths = dict(paths, bare_source=paths["rux"])
    check_same_bytes(fl, paths, pairs, offsets, shape)
    read_only = interleave(small_read_runs(fl, paths, pairs, offsets, shape, "r"), config.repeat)
    writable_pairs = pairs[: config.writable_reads]
    writable_offsets = offsets[: config.writable_reads]
    writable = interleave(
        small_read_runs(fl, paths, writable_pairs, writable_offsets, shape, "r+"),
        config.repeat_writable,
    )
    h5_note = "h5py: dataset[frame] of the name's dataset"
    return [
        Row("random_small_reads", "random small reads", "us/read", False, read_only,
            f"{len(pairs)} reads of random (frame, name), {shape[0]}x3 float32; {h5_note}; "
            f"bare: os.preadv into a preallocated array"),
        Row("writable_reads", 'random small reads, "r+"', "us/read", False, writable,
            f'the first {len(writable_pairs)} of the reads above, files opened "r+" '
            f"(bare: O_RDWR)"),
    ]


# ---- large reads ----


def rux_large_reads(fl, path, frames, nbytes, cold):
    if cold:
        drop_page_cache()
    f = fl.open(path, "r")
    with Timer() as t:
        for frame in range(frames):
            f.read_chunk(frame, "data")
    f.close()
    return frames * nbytes / t.seconds / 1e9


def h5py_large_reads(path, frames, nbytes, cold):
    if cold:
        drop_page_cache()
    with h5py.File(path, "r") as f:
        dataset = f["data"]
        with Timer() as t:
            for frame in range(frames):
                dataset[frame]
    return frames * nbytes / t.seconds / 1e9


def bare_large_reads(path, offsets, nbytes, cold):
    buffer = numpy.empty(nbytes, dtype=numpy.uint8)
    buffer.fill(0)  # the pages are in place before timing, as for a reused array
    if cold:
        drop_page_cache()
    fd = os.open(path, os.O_RDONLY)
    with Timer() as t:
        for offset in offsets:
            view = memoryview(buffer)
            done = 0
            while done < nbytes:
                done += os.preadv(fd, [view[done:]], offset + done)
    os.close(fd)
    return len(offsets) * nbytes / t.seconds / 1e9


def large_reads(fl, config, paths, cold=False):
    frames = config.large_frames
    nbytes = config.large_mib * 2**20
    locations = ChunkLocations(paths["rux"])
    offsets = [locations.locate(frame, "data")[0] for frame in range(frames)]
    rates = interleave(
        {
            "rux": lambda: rux_large_reads(fl, paths["rux"], frames, nbytes, cold),
            "h5py": (lambda: h5py_large_reads(paths["h5py"], frames, nbytes, cold))
            if h5py else None,
            "bare": lambda: bare_large_reads(paths["rux"], offsets, nbytes, cold),
        },
        config.repeat_large,
    )
    label = "large reads, cold cache" if cold else "large reads"
    return [
        Row("large_reads_cold" if cold else "large_reads", label, "GB/s", True, rates,
            f"read_chunk of the {frames} chunks of {config.large_mib} MiB in order; "
            f"bare: os.preadv of the same bytes into a preallocated array"
            + ("; page cache dropped before each pass" if cold else "")),
    ]
