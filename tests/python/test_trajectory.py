"""The trajectory layer, checked against rux.fl as the oracle."""

import logging
import pickle
import subprocess
import sys
import textwrap

import numpy
import pytest

from conftest import fl

import rux

T = 12


def frame_values(i):
    return {
        "particles/position": numpy.full((5, 3), i, dtype=numpy.float32),
        "log/energy": 0.5 * i,
        "step": 10 * i,
        "title": f"frame {i}",
    }


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "traj.rux")


@pytest.fixture
def written(path):
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        traj.extend(frame_values(i) for i in range(T))
    return path


@pytest.mark.parametrize(
    "value, stored",
    [
        (numpy.arange(6, dtype=numpy.int16).reshape(3, 2), numpy.arange(6, dtype=numpy.int16).reshape(3, 2)),
        (numpy.arange(8.0)[::2], numpy.arange(8.0)[::2]),  # strided: copied, no warning
        (numpy.asfortranarray(numpy.eye(3)), numpy.eye(3)),
        (numpy.arange(4, dtype=">i4"), numpy.arange(4, dtype=numpy.int32)),
        (1.5, numpy.array([1.5])),
        (7, numpy.array([7])),
        (True, numpy.array([1], dtype=numpy.uint8)),
        (numpy.array([True, False, True]), numpy.array([1, 0, 1], dtype=numpy.uint8)),
        ([1.0, 2.0], numpy.array([1.0, 2.0])),
        ("text", "text"),
    ],
)
def test_append_round_trips_and_fl_reads_the_same_chunk(path, value, stored, caplog):
    with caplog.at_level(logging.WARNING, logger="rux.fl"):
        with rux.open(path, "w", "test", "md", (1, 0)) as traj:
            traj.append({"x": value})
    assert not caplog.records
    with fl.open(path, "r") as f:
        raw = f.read_chunk(0, "x")
    if isinstance(stored, str):
        assert raw == stored
    else:
        assert raw.dtype == stored.dtype and numpy.array_equal(raw, stored)
    with rux.open(path) as traj:
        back = traj[0]["x"]
        series = traj.series("x")
    expected = numpy.asarray(value).astype(numpy.asarray(value).dtype.newbyteorder("="))
    if isinstance(value, str):
        assert back == value and series == [value]
    else:
        assert numpy.shape(back) == expected.shape and numpy.array_equal(back, expected)
        assert numpy.asarray(back).dtype == expected.dtype
        assert series.shape == (1,) + expected.shape and numpy.array_equal(series[0], expected)


def test_frames_and_series_match_fl(written):
    with rux.open(written) as traj, fl.open(written, "r") as f:
        assert len(traj) == f.nframes == T
        assert traj.names == ["particles/position", "log/energy", "step", "title"]
        assert "step" in traj and "nothing" not in traj
        for frame in traj:
            for name in traj.names:
                expected = f.read_chunk(frame.index, name)
                assert numpy.array_equal(numpy.atleast_1d(frame[name]), numpy.atleast_1d(expected))
        assert numpy.array_equal(traj.series("particles/position"), numpy.stack(
            [f.read_chunk(i, "particles/position") for i in range(T)]))
        assert traj.series("log/energy").shape == (T,)
        assert traj.series("title") == [f"frame {i}" for i in range(T)]
        assert "particles/position float32 (5, 3)" in repr(traj).replace(":", "")


@pytest.mark.parametrize(
    "key",
    [slice(None), slice(2, 9, 3), slice(None, None, -1), slice(-4, None), slice(5, 5),
     [0, -1, 3, 3], numpy.array([11, 0]), numpy.arange(T) % 3 == 0],
)
def test_views_select_the_frames_numpy_would(written, key):
    expected = numpy.arange(T)[key]
    with rux.open(written) as traj:
        view = traj[key]
        assert len(view) == len(expected)
        assert [frame.index for frame in view] == expected.tolist()
        if len(expected):
            assert numpy.array_equal(view.series("step"), 10 * expected)
            assert view[-1].index == expected[-1]
            assert [f.index for f in view[::2]] == expected[::2].tolist()


@pytest.mark.parametrize("key", [T, -T - 1, [0, T], [-T - 1], numpy.ones(T - 1, dtype=bool)])
def test_out_of_range_is_an_index_error(written, key):
    with rux.open(written) as traj, pytest.raises(IndexError):
        traj[key]


def test_negative_index_counts_from_the_end(written):
    with rux.open(written) as traj:
        assert traj[-1].index == T - 1 and traj[-T].index == 0
        assert traj[-1]["step"] == 10 * (T - 1)


def test_once_written_names_read_from_the_latest_earlier_frame(path):
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        for i in range(8):
            frame = {"x": numpy.full(2, float(i))}
            if i == 0:
                frame["topology"] = "ABC"
            if i in (0, 5):
                frame["box"] = numpy.full(3, float(i))
            if i == 3:
                frame["late"] = 1
            traj.append(frame)
    with rux.open(path) as traj:
        assert traj[7]["topology"] == "ABC" and traj[7]["box"][0] == 5.0
        assert traj[4]["box"][0] == 0.0
        assert traj[7].written == ["x"]
        assert set(traj[2]) == {"x", "topology", "box"} and "late" not in traj[2]
        assert set(traj[6]) == {"x", "topology", "box", "late"}
        with pytest.raises(KeyError, match="late"):
            traj[2]["late"]
        assert traj.series("box")[:, 0].tolist() == [0, 0, 0, 0, 0, 5, 5, 5]
        assert traj[6:].series("topology") == ["ABC", "ABC"]
        assert traj[4:].series("late").tolist() == [1, 1, 1, 1]
        with pytest.raises(KeyError, match="late"):
            traj.series("late")
        only = list(traj[4:7].frames(["box", "x"]))
        assert [f["box"][0] for f in only] == [0.0, 5.0, 5.0]
        assert [f.written for f in only] == [["x"], ["box", "x"], ["x"]]


@pytest.mark.parametrize(
    "view, name, expected",
    [
        (slice(None), "box", [0, 3, 6]),
        (slice(None), "x", [0, 1, 2, 3, 4, 5, 6, 7]),
        (slice(2, None), "box", [1, 4]),  # indices of the view
        ([7, 6, 3, 0], "box", [1, 2, 3]),
        (slice(4, 6), "box", []),
    ],
)
def test_written_in_names_the_frames_holding_a_name_themselves(path, view, name, expected):
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        for i in range(8):
            traj.append({"x": float(i), **({"box": numpy.full(3, float(i))} if i % 3 == 0 else {})})
            if i == 4:
                traj.flush()
                traj.attrs["note"] = "between frames"  # a frame of its own, not of the trajectory
                traj.flush()
    with rux.open(path) as traj:
        assert traj.file.nframes == 9
        assert traj[view].written_in(name).tolist() == expected
        with pytest.raises(KeyError, match="nothing"):
            traj.written_in("nothing")


def test_attributes_round_trip_in_reserved_chunks(path):
    units = {"length": "Å", "energy": "kJ/mol", "note": "\u6c34 \U0001f30a"}
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        traj.attrs["units"] = units
        traj.attrs.update(timestep=0.002, parameters=[1, None, True])
        traj.append({"x": 1.0})
        traj.attrs["timestep"] = 0.004  # after the last frame: stored in a frame of its own
    with rux.open(path) as traj:
        assert len(traj) == 1 and traj.names == ["x"]
        assert dict(traj.attrs) == {"units": units, "timestep": 0.004, "parameters": [1, None, True]}
    with fl.open(path, "r") as f:
        assert f.nframes == 2
        assert "rux:attrs/units" in f.find_matching_chunk_names("rux:attrs/")
    with rux.open(path, "a") as traj:
        traj.append({"x": 2.0})
        assert len(traj) == 2 and traj.series("x").tolist() == [1.0, 2.0]
        assert traj[1].index == 1 and traj.attrs["timestep"] == 0.004


@pytest.mark.parametrize("value", [object(), {1, 2}, float("nan"), b"bytes"])
def test_attributes_that_do_not_serialise_name_the_key(path, value):
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        with pytest.raises(TypeError, match="'bad'"):
            traj.attrs["bad"] = value
        assert "bad" not in traj.attrs


@pytest.mark.parametrize(
    "frame, error",
    [({1: 1.0}, TypeError), ({"rux:x": 1.0}, ValueError), ([("x", 1.0)], TypeError),
     ({"x": numpy.zeros((2, 2, 2))}, ValueError), ({"x": "caf\u00e9"}, ValueError),
     ({"a": 1, "a\x00b": 2}, ValueError), ({"a": 1, "x": {1, 2}}, TypeError),
     ({"a": 1, "x": numpy.array([None, 1])}, TypeError),
     ({"a": 1, "x": numpy.zeros(2, dtype=numpy.complex64)}, TypeError)],
)
def test_bad_frames_are_refused_before_anything_is_written(path, frame, error):
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        with pytest.raises(error) as raised:
            traj.append(frame)
        assert len(traj) == 0 and traj.file.find_matching_chunk_names("") == []
    if error is TypeError and "x" in frame:
        value = frame["x"]
        culprit = str(value.dtype) if isinstance(value, numpy.ndarray) else type(value).__name__
        assert "'x'" in str(raised.value) and culprit in str(raised.value)


@pytest.mark.parametrize(
    "first, later",
    [(numpy.array([True, False]), numpy.array([200, 3], dtype=numpy.uint8)),
     (1.5, numpy.array([1.5])), (numpy.array([1.5]), 1.5), (True, 1),
     (numpy.array(["a"]), "a"), ("a", numpy.array(["a"]))],
)
def test_a_name_keeps_the_kind_of_its_first_value(path, first, later):
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        traj.append({"x": first})
        with pytest.raises(TypeError, match="'x' holds .*, as first written; this value is "):
            traj.append({"x": later})
        assert len(traj) == 1


def test_nul_in_attribute_names_is_refused(path):
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        with pytest.raises(ValueError, match="NUL"):
            traj.attrs["a\x00b"] = 1
        assert list(traj.attrs) == []


def test_a_frame_failing_part_way_is_never_ended(path):
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        traj.append({"a": 1.0, "b": numpy.zeros((3, 1))})
        with pytest.raises(RuntimeError, match="Invalid rux argument"):
            traj.append({"a": 3.0, "z": numpy.zeros(4), "b": numpy.zeros((3, 0))})
        assert len(traj) == 1
        traj.append({"b": numpy.ones((3, 1))})
    with fl.open(path, "r") as f:
        assert f.nframes == 2
        assert not f.chunk_exists(1, "a") and not f.chunk_exists(1, "z")
        assert f.read_chunk(1, "b").tolist() == [1.0, 1.0, 1.0]


def test_writing_to_a_read_only_trajectory_is_refused_as_by_fl(written):
    with rux.open(written) as traj:
        with pytest.raises(RuntimeError, match="File must be writable: "):
            traj.append({"step": 1})
        with pytest.raises(RuntimeError, match="File must be writable: "):
            traj.attrs["x"] = 1
        assert len(traj) == T


def test_missing_names_are_key_errors_naming_them(written):
    with rux.open(written) as traj:
        for read in (lambda: traj[0]["nope"], lambda: traj.series("nope"), lambda: next(traj.frames(["nope"]))):
            with pytest.raises(KeyError, match="nope"):
                read()


def test_read_only_trajectories_and_views_pickle(written, path):
    with rux.open(written) as traj:
        view = pickle.loads(pickle.dumps(traj[3:6]))
        assert [f.index for f in view] == [3, 4, 5]
        assert len(pickle.loads(pickle.dumps(traj))) == T
    with rux.open(written, "a") as traj, pytest.raises(pickle.PickleError):
        pickle.dumps(traj)


WRITER = textwrap.dedent(
    """
    import sys, time, numpy, rux
    with rux.open(sys.argv[1], "a", publish_every=0) as traj:
        for i in range(int(sys.argv[2])):
            traj.append({"step": i, "x": numpy.full(3, i, dtype=numpy.float32)})
            time.sleep(0.02)
    """
)


def test_follow_yields_frames_as_another_process_writes_them(path):
    frames = 25
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        traj.append({"step": -1, "x": numpy.zeros(3, dtype=numpy.float32)})
    with rux.open(path) as reader:
        writer = subprocess.Popen([sys.executable, "-c", WRITER, path, str(frames)])
        try:
            seen = [int(frame["step"]) for frame in reader.follow(poll=0.01, timeout=5)]
        finally:
            writer.wait(30)
        assert writer.returncode == 0
        assert seen == [-1] + list(range(frames))
        assert reader.refresh() == frames + 1


def test_publish_every_flushes_for_readers(path):
    with rux.open(path, "w", "test", "md", (1, 0), publish_every=0) as traj:
        traj.append({"step": 1})
        with rux.open(path) as reader:
            assert len(reader) == 1
        traj._store.publish_every = 3600
        traj.append({"step": 2})
        with rux.open(path) as reader:
            assert len(reader) == 1
        traj.flush()
        with rux.open(path) as reader:
            assert len(reader) == 2


def test_to_dask_computes_the_series_on_a_local_cluster(written, dask_client):
    with rux.open(written) as traj:
        array = traj[1:].to_dask("particles/position", frames_per_chunk=5)
        assert array.shape == (T - 1, 5, 3) and array.chunks[0] == (5, 5, 1)
        assert numpy.array_equal(array.compute(), traj[1:].series("particles/position"))
        assert float(traj.to_dask("log/energy").sum().compute()) == sum(0.5 * i for i in range(T))


def test_dask_never_answers_from_an_earlier_file_of_the_same_name(path, dask_client):
    from rux.parallel import map_frames

    def summary(reader, frame):
        return float(reader.read_chunk(frame, "v")[0])

    for run in range(50):
        with rux.open(path, "w", "test", "md", (1, 0)) as traj:
            traj.extend({"v": float(run)} for _ in range(3))
        assert map_frames(path, summary, executor=dask_client, batches=1) == [float(run)] * 3
        with rux.open(path) as traj:
            assert traj.to_dask("v").compute().tolist() == [float(run)] * 3


def test_a_dask_array_of_a_replaced_file_refuses_to_compute(path, tmp_path, dask_client):
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        traj.append({"v": 1.0})
    with rux.open(path) as traj:
        array = traj.to_dask("v")
    other = str(tmp_path / "other.rux")
    with rux.open(other, "w", "test", "md", (1, 0)) as traj:
        traj.append({"v": 2.0})
    import os

    os.replace(other, path)
    with pytest.raises(RuntimeError, match="replaced"):
        array.compute()


def test_the_readme_example_runs(tmp_path):
    import os
    from pathlib import Path

    example = Path(__file__).resolve().parents[2] / "examples" / "trajectory.py"
    env = dict(os.environ, PYTHONPATH=str(Path(os.path.abspath(fl.__file__)).parents[1]))
    target = tmp_path / "example.rux"
    result = subprocess.run(
        [sys.executable, str(example), str(target), "--frames", "120", "--particles", "16"],
        env=env, cwd="/", capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert "read back matches written data: yes" in result.stdout
    with rux.open(target) as traj:
        assert len(traj) == 120 and traj[-1]["particles/position"].shape == (16, 3)


def test_the_trajectory_layer_type_checks():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "-p", "rux.trajectory"],
        cwd="/", capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout
