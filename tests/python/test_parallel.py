"""Per-frame analysis across processes: the parallel result equals the serial one."""

import multiprocessing
import os
import pickle
import subprocess
import sys
from concurrent.futures import Future, ProcessPoolExecutor
from pathlib import Path

import numpy
import pytest
import rux.fl as fl
from rux.parallel import map_frames, split_frames

FRAMES = 48
PARTICLES = 300
EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "parallel_analysis.py"


def frame_summary(reader, frame):
    """Per-frame values that depend on every byte of the frame's chunks."""
    positions = reader.read_chunk(frame, "position").astype(numpy.float64)
    step = int(reader.read_chunk(frame, "step")[0])
    centred = positions - positions.mean(axis=0)
    return step, float(numpy.sqrt(numpy.mean(numpy.sum(centred**2, axis=1)))), positions.sum()


def where_computed(reader, frame):
    return os.getpid(), reader.mode, reader.nframes


def read_missing_chunk(reader, frame):
    return reader.read_chunk(frame, "no such chunk")


@pytest.fixture(scope="module")
def trajectory(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("parallel") / "walk.rux")
    rng = numpy.random.default_rng(5)
    positions = rng.normal(size=(PARTICLES, 3)).astype(numpy.float32)
    with fl.open(path, "w", "test", "walk", (1, 0)) as f:
        for frame in range(FRAMES):
            f.write_chunk("position", positions)
            f.write_chunk("step", numpy.array([frame * 10], dtype=numpy.int64))
            f.end_frame()
            positions = positions + rng.normal(0, 0.1, positions.shape).astype(numpy.float32)
    return path


@pytest.fixture(scope="module")
def serial(trajectory):
    with fl.open(trajectory, "r") as reader:
        return [frame_summary(reader, frame) for frame in range(FRAMES)]


@pytest.fixture(scope="module")
def process_pool():
    # spawn: the workers inherit nothing from this process, so every read
    # they make goes through the file they reopened when unpickling it.
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        yield pool


@pytest.fixture(params=["processes", "dask", "dask executor"])
def executor(request):
    if request.param == "processes":
        return request.getfixturevalue("process_pool")
    client = request.getfixturevalue("dask_client")
    return client if request.param == "dask" else client.get_executor()


class InlineExecutor:
    """Runs each task at submission, in this process, and records the batches."""

    def __init__(self):
        self.batches = []

    def submit(self, function, *args):
        self.batches.append(list(args[-1]))
        future = Future()
        future.set_result(function(*args))
        return future


def test_parallel_result_equals_the_serial_one(trajectory, serial, executor):
    with fl.open(trajectory, "r") as reader:
        assert map_frames(reader, frame_summary, executor=executor, batches=5) == serial


def test_tasks_run_in_other_processes_on_read_only_copies(trajectory, executor):
    seen = map_frames(trajectory, where_computed, executor=executor, batches=8)
    assert len(seen) == FRAMES
    assert {(mode, nframes) for _, mode, nframes in seen} == {("r", FRAMES)}
    assert os.getpid() not in {pid for pid, _, _ in seen}


@pytest.mark.parametrize("frames", [[7, 0, 3, 3, 47], [], range(FRAMES - 1, -1, -2)])
def test_results_come_in_the_order_of_the_frames_asked_for(
    trajectory, serial, process_pool, frames
):
    expected = [serial[frame] for frame in frames]
    assert map_frames(trajectory, frame_summary, frames, process_pool, batches=3) == expected


@pytest.mark.parametrize("batches", [1, 2, 5, FRAMES, FRAMES + 9])
def test_batches_are_contiguous_and_cover_every_frame(trajectory, serial, batches):
    inline = InlineExecutor()
    assert map_frames(trajectory, frame_summary, executor=inline, batches=batches) == serial
    assert len(inline.batches) == min(batches, FRAMES)
    assert sum(inline.batches, []) == list(range(FRAMES))
    lengths = {len(batch) for batch in inline.batches}
    assert max(lengths) - min(lengths) <= 1


def test_without_an_executor_the_callers_file_is_used(trajectory, serial):
    with fl.open(trajectory, "r") as reader:
        assert map_frames(reader, frame_summary) == serial
        assert map_frames(reader, where_computed, [0])[0][0] == os.getpid()
        assert reader.nframes == FRAMES  # still open


def test_a_writable_file_is_refused_before_anything_is_submitted(tmp_path):
    inline = InlineExecutor()
    with fl.open(str(tmp_path / "w.rux"), "w", "test", "walk", (1, 0)) as writer:
        writer.write_chunk("step", numpy.zeros(1))
        writer.end_frame()
        with pytest.raises(pickle.PickleError, match="Only read only RUXFiles can be pickled."):
            map_frames(writer, frame_summary, executor=inline)
    assert inline.batches == []


def test_an_error_in_a_worker_reaches_the_caller(trajectory, process_pool):
    with pytest.raises(KeyError, match="frame 0 / chunk no such chunk not found in: "):
        map_frames(trajectory, read_missing_chunk, executor=process_pool, batches=2)


def test_split_frames_refuses_zero_batches():
    with pytest.raises(ValueError, match="batches must be at least 1"):
        split_frames([1, 2], 0)


@pytest.mark.parametrize("backend", ["processes", "dask"])
def test_example_agrees_with_its_serial_pass(tmp_path, backend):
    if backend == "dask":
        pytest.importorskip("distributed")
    command = [sys.executable, str(EXAMPLE), "--backend", backend, "--workers", "2"]
    command += ["--frames", "30", "--particles", "40"]
    done = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "30 frames)" in done.stdout
    assert "parallel result equals the serial one: yes" in done.stdout
