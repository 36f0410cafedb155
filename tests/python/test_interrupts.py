"""KeyboardInterrupt (SIGINT) during appends and series reads.

An interrupt can strike at any bytecode of the trajectory layer, and inside a
rux.fl method wherever it runs Python code (its log records). Each test
interrupts at every such point in turn: the object must stay usable, and a
frame is in the file whole or not at all.
"""

import logging
import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import rux
import rux.fl as fl

TRAJECTORY_SOURCE = os.path.abspath(sys.modules["rux.trajectory"].__file__)
PACKAGE_PARENT = str(Path(os.path.abspath(fl.__file__)).parents[1])


def frame(k):
    """Frame k of the appended trajectory; frame 3 brings two new names."""
    values = {"a": np.full(4, k, dtype=np.int64), "e": float(k)}
    if k >= 3:
        values["late"] = np.full((2, 2), k, dtype=np.float32)
        values["flag"] = bool(k % 2)
    return values


class LineInterrupt:
    """Raises KeyboardInterrupt at the n-th line run in rux/trajectory.py."""

    def __init__(self, n):
        self.n = n
        self.seen = 0

    def __call__(self, code_frame, event, arg):
        if code_frame.f_code.co_filename != TRAJECTORY_SOURCE:
            return None
        if event == "line":
            self.seen += 1
            if self.seen == self.n:
                raise KeyboardInterrupt
        return self

    def __enter__(self):
        sys.settrace(self)
        return self

    def __exit__(self, *exc_info):
        sys.settrace(None)


class RecordInterrupt(logging.Handler):
    """Raises KeyboardInterrupt from the n-th log record of rux.fl."""

    def __init__(self, n):
        super().__init__(logging.DEBUG)
        self.n = n
        self.seen = 0

    def emit(self, record):
        self.seen += 1
        if self.seen == self.n:
            raise KeyboardInterrupt

    def handleError(self, record):  # emit's exception must reach the caller
        raise

    def __enter__(self):
        logger = logging.getLogger("rux.fl")
        self._level = logger.level
        logger.setLevel(logging.DEBUG)
        logger.addHandler(self)
        return self

    def __exit__(self, *exc_info):
        logger = logging.getLogger("rux.fl")
        logger.removeHandler(self)
        logger.setLevel(self._level)


def check_whole_frames(traj, expected):
    assert len(traj) == len(expected)
    for got, k in zip(traj, expected):
        want = frame(k)
        assert sorted(name for name in got if name in want) == sorted(want)
        for name, value in want.items():
            assert np.array_equal(got[name], value), (k, name)
    assert np.array_equal(traj.series("e"), np.array(expected, dtype=float))


def interrupt_each_point(tmp_path, injector, operation):
    """Runs `operation` on a fresh trajectory of frames 0 to 2, interrupted at
    its 1st, 2nd, ... point, until it runs through; checks every outcome."""
    for n in range(1, 10000):
        path = str(tmp_path / f"t{n}.rux")
        traj = rux.open(path, "w", "test", "interrupts", (1, 0))
        traj.extend(frame(k) for k in range(3))
        interrupted = False
        with injector(n) as injected:
            try:
                operation(traj)
            except KeyboardInterrupt:
                interrupted = True
        # The object goes on appending; what the interrupted call ended stays
        # (the file tells which), and the object sees what the file holds.
        traj.append(frame(5))
        seen = traj.series("e").tolist()
        traj.close()
        with rux.open(path) as reread:
            expected = [0, 1, 2] + [3, 4][: len(reread) - 4] + [5]
            check_whole_frames(reread, expected)
        assert seen == expected
        if not interrupted:
            assert injected.seen < n
            return n
    raise AssertionError("the operation never ran through")


OPERATIONS = {
    "append": lambda traj: traj.append(frame(3)),
    "extend": lambda traj: traj.extend(frame(k) for k in (3, 4)),
}


@pytest.mark.parametrize("injector", [LineInterrupt, RecordInterrupt], ids=["line", "log_record"])
@pytest.mark.parametrize("operation", OPERATIONS.values(), ids=OPERATIONS.keys())
def test_interrupted_appends_leave_whole_frames_and_a_usable_trajectory(tmp_path, injector, operation):
    points = interrupt_each_point(tmp_path, injector, operation)
    assert points > 3  # interrupted at several points before running through


SERIES_UNDER_SIGINT = textwrap.dedent(
    """
    import os, signal, threading, time
    import numpy as np
    import rux.fl as fl
    path = {path!r}
    with fl.open(path, "w", "app", "schema", (1, 0)) as f:
        for t in range(20000):
            f.write_chunk("e", np.array([t], dtype=np.int64))
            f.write_chunk("pad", np.zeros(64, dtype=np.uint8))
            f.end_frame()
    expected = np.arange(20000, dtype=np.int64).reshape(-1, 1)
    f = fl.open(path, "r")
    interrupts = 0
    go = threading.Event()
    done = threading.Event()
    def interrupter():
        go.wait()
        while not done.is_set():
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.0007)
    thread = threading.Thread(target=interrupter)
    thread.start()
    try:
        go.set()
        for _ in range(300):
            try:
                assert np.array_equal(f.read_series("e"), expected)
                assert sorted(f.read_frame(7)) == ["e", "pad"]
            except KeyboardInterrupt:
                interrupts += 1
    finally:
        done.set()
    # Handlers of signals sent until the thread stops may still be pending.
    while True:
        try:
            thread.join()
            time.sleep(0.01)
            break
        except KeyboardInterrupt:
            interrupts += 1
    assert np.array_equal(f.read_series("e"), expected)
    assert np.array_equal(f.read_series("e", range(5, 20000, 7)), expected[5::7])
    f.close()
    print("interrupts", interrupts)
    """
)


def test_series_reads_under_repeated_sigint_stay_correct(tmp_path):
    code = SERIES_UNDER_SIGINT.format(path=str(tmp_path / "series.rux"))
    result = subprocess.run(
        [sys.executable, "-c", code],
        env=dict(os.environ, PYTHONPATH=PACKAGE_PARENT),
        cwd="/",
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert int(result.stdout.split()[-1]) > 0  # the reads were interrupted
