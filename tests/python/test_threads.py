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
