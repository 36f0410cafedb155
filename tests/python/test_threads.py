"""The interpreter lock is released during library calls; distinct files are independent."""

import os
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import numpy
import pytest
import rux.fl as fl

PACKAGE_PARENT = str(Path(os.path.abspath(fl.__file__)).parents[1])
LARGE = 16 << 20  # float64 elements: 128 MiB


def test_open_that_blocks_lets_other_threads_run(tmp_path):
    # Opening a FIFO for reading blocks until a writer opens it. The writer is
    # another Python thread, so it only gets to run if the blocked open
    # released the interpreter lock; otherwise the process hangs.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    code = textwrap.dedent(
        f"""
        import os, threading
        import rux.fl as fl
        outcome = []
        def opener():
            try:
                fl.open({str(fifo)!r}, "r")
            except OSError as error:
                outcome.append(type(error).__name__)
        thread = threading.Thread(target=opener)
        thread.start()
        writer = os.open({str(fifo)!r}, os.O_WRONLY)
        os.close(writer)
        thread.join()
        print("opener finished:", outcome)
        """
    )
    environment = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)
    result = subprocess.run(
        [sys.executable, "-c", code],
        env=environment,
        cwd="/",
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert "opener finished:" in result.stdout


class Ticker:
    """A thread that notes the time about every millisecond while it can run."""

    def __init__(self):
        self.ticks = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self.ticks.append(time.perf_counter())
            time.sleep(0.001)

    def __enter__(self):
        self._thread.start()
        while not self.ticks:
            time.sleep(0.001)
        return self

    def __exit__(self, *exc_info):
        self._stop.set()
        self._thread.join()

    def largest_gap(self, start, end):
        inside = [tick for tick in self.ticks if start < tick < end]
        bounds = [start, *inside, end]
        return len(inside), max(b - a for a, b in zip(bounds, bounds[1:]))


def assert_other_thread_ran(operation):
    with Ticker() as ticker:
        start = time.perf_counter()
        operation()
        end = time.perf_counter()
    duration = end - start
    if duration < 0.02:
        pytest.skip(f"the call took only {duration * 1000:.1f} ms: too short to observe")
    count, gap = ticker.largest_gap(start, end)
    # Holding the lock throughout would leave one gap as long as the call.
    assert count >= 5 and gap < duration / 2, (count, gap, duration)


@pytest.fixture
def large_chunk():
    return numpy.ones(LARGE, dtype=numpy.float64)


def test_large_write_lets_other_threads_run(new_file, large_chunk):
    f = new_file()
    assert_other_thread_ran(lambda: f.write_chunk("large", large_chunk))


def test_flush_of_a_large_buffer_lets_other_threads_run(new_file, large_chunk):
    f = new_file()
    f.maximum_write_buffer_size = 1 << 30
    f.write_chunk("large", large_chunk)
    f.end_frame()
    assert_other_thread_ran(f.flush)


def test_large_read_lets_other_threads_run(new_file, path, large_chunk):
    with new_file() as f:
        f.write_chunk("large", large_chunk)
        f.end_frame()
    with fl.open(path, "r") as f:
        result = []
        assert_other_thread_ran(lambda: result.append(f.read_chunk(0, "large")))
    assert result[0].shape == (LARGE,) and (result[0] == 1).all()


def test_distinct_files_in_parallel_threads(tmp_path):
    errors = []

    def write_and_check(index):
        try:
            path = str(tmp_path / f"thread{index}.rux")
            with fl.open(path, "w", "app", "schema", (1, index)) as f:
                for frame in range(50):
                    f.write_chunk("values", numpy.full((100, 3), frame * 10 + index, numpy.int32))
                    f.write_chunk("label", f"t{index}f{frame}")
                    f.end_frame()
            with fl.open(path, "r") as f:
                assert f.schema_version == (1, index)
                for frame in range(50):
                    assert (f.read_chunk(frame, "values") == frame * 10 + index).all()
                    assert f.read_chunk(frame, "label") == f"t{index}f{frame}"
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=write_and_check, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


REFRESH_BESIDE_READS = textwrap.dedent(
    """
    import random, sys, threading
    import numpy as np
    import rux.fl as fl
    path = sys.argv[1]
    writer = fl.open(path, "w", "app", "schema", (1, 0))

    def write_frames(count):
        for _ in range(count):
            t = writer.nframes
            writer.write_chunk("e", np.array([t], dtype=np.int64))
            writer.write_chunk("pad", np.zeros(16, dtype=np.uint8))
            writer.end_frame()
        writer.flush()

    write_frames(20)
    reader = fl.open(path, "r")
    stop = threading.Event()
    failures, counts = [], {"series": 0, "frame": 0, "chunk": 0, "refresh": 0, "gone": 0}

    def check(what, ok):
        counts[what] += 1
        if not ok:
            failures.append(what)

    def refresher():
        while not stop.is_set():
            reader.refresh()
            counts["refresh"] += 1

    def reads(kind):
        rng = random.Random(kind)
        while not stop.is_set():
            n = reader.nframes
            t = rng.randrange(n) if n else 0
            try:
                if kind == "series":
                    series = reader.read_series("e")
                    check(kind, np.array_equal(series[:, 0], np.arange(len(series))))
                elif kind == "frame":
                    check(kind, reader.read_frame(t)["e"][0] == t)
                else:
                    reader.chunk_exists(t, "e")  # true, or false after a cut: either way no crash
                    check(kind, reader.read_chunk(t, "e")[0] == t)
            except KeyError:
                counts["gone"] += 1  # a cut since the frame count was taken

    threads = [threading.Thread(target=refresher)]
    threads += [threading.Thread(target=reads, args=(kind,)) for kind in ("series", "frame", "chunk")]
    for thread in threads:
        thread.start()
    # The writer appends, and now and then cuts back (a new index block, the
    # file not shortened); every frame t holds e = t whatever the cuts.
    for round in range(300):
        write_frames(5)
        if round % 10 == 9:
            writer.truncate_frames(writer.nframes - 12)
    stop.set()
    for thread in threads:
        thread.join()
    writer.close()
    reader.close()
    assert not failures, failures
    assert min(counts[k] for k in ("series", "frame", "chunk", "refresh")) > 0, counts
    print("ok", counts)
    """
)


def test_refresh_beside_reads_of_one_object_in_other_threads(tmp_path):
    # Each call sees one view: a series is frames 0..T-1 of some refresh, and
    # a frame or chunk is the one asked for, or a KeyError when a cut took it.
    path = str(tmp_path / "shared.rux")
    result = subprocess.run(
        [sys.executable, "-c", REFRESH_BESIDE_READS, path],
        env=dict(os.environ, PYTHONPATH=PACKAGE_PARENT),
        cwd="/",
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.startswith("ok"), result.stdout
