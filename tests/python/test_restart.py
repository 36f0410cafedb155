"""Restarts: cutting a file back to a checkpoint, and re-creating a file under its readers."""

import json
import logging
import os
import subprocess
import sys
import textwrap

import numpy
import pytest

from conftest import fl

import rux
from rux import cli
from rux.recover import recover

FRAMES = 10


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "traj.rux")


@pytest.fixture
def checkpointed(path):
    """Ten frames; attributes set with frame 0, with frame 5, in a hidden frame
    between frames 2 and 3, with frame 7, and after the last frame."""
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        traj.attrs["a"] = 1
        for step in range(FRAMES):
            traj.append({"step": step, "x": numpy.full(4, step, dtype=numpy.float32)})
            if step == 2:
                traj.attrs["c"] = [1, 2]
                traj.flush()
            if step == 4:
                traj.attrs["b"] = "x"
            if step == 6:
                traj.attrs["a"] = 2
        traj.attrs["a"] = 3
    return path


LATEST = {"a": 3, "b": "x", "c": [1, 2]}


@pytest.mark.parametrize("keep", [0, 2, 3, 5, 9, FRAMES])
def test_truncate_keeps_the_first_frames_and_the_latest_attributes(checkpointed, keep):
    before = open(checkpointed, "rb").read()
    with rux.open(checkpointed, "r+") as traj:
        traj.truncate(keep)
        assert len(traj) == keep
        assert list(traj.series("step")) == list(range(keep))
        assert dict(traj.attrs) == LATEST
        if keep == FRAMES:
            assert open(checkpointed, "rb").read()[256:] == before[256:]
        traj.append({"step": 100, "x": numpy.zeros(4, dtype=numpy.float32)})
    with rux.open(checkpointed) as traj:
        assert list(traj.series("step")) == list(range(keep)) + [100]
        assert dict(traj.attrs) == LATEST
        assert traj[keep].written == ["step", "x"]


@pytest.mark.parametrize(
    "cut, error, match",
    [
        (lambda traj: traj.truncate(FRAMES + 1), ValueError, "cannot keep 11 frames: .* has 10 frames"),
        (lambda traj: traj.truncate(-1), ValueError, "cannot keep -1 frames"),
        (lambda traj: traj.truncate(2.0), TypeError, "integer"),
        (lambda traj: traj[3:].truncate(1), TypeError, "view"),
    ],
    ids=["past_the_end", "negative", "float", "view"],
)
def test_truncate_refuses_what_it_cannot_do(checkpointed, cut, error, match):
    with rux.open(checkpointed, "r+") as traj:
        with pytest.raises(error, match=match):
            cut(traj)
        assert len(traj) == FRAMES
    with rux.open(checkpointed) as traj:
        with pytest.raises(RuntimeError, match="File must be writable"):
            traj.truncate(1)


def test_truncate_frames_names_both_counts_and_drops_the_frame_in_progress(path, caplog):
    with fl.open(path, "w", "app", "schema", (1, 0)) as handle:
        for frame in range(10):
            handle.write_chunk("v", numpy.array([frame], dtype=numpy.int64))
            handle.end_frame()
        for n, error, match in [(11, ValueError, "cannot keep 11 frames: the file has 10 frames: "),
                                (-1, ValueError, "cannot keep -1 frames: the file has 10 frames: "),
                                ("2", TypeError, "integer")]:
            with pytest.raises(error, match=match):
                handle.truncate_frames(n)
        handle.write_chunk("v", numpy.array([99], dtype=numpy.int64))  # the frame in progress
        with caplog.at_level(logging.INFO, logger="rux.fl"):
            handle.truncate_frames(3)
        assert caplog.messages[-1] == f"truncating file: {path} to 3 frames"
        handle.write_chunk("w", numpy.array([7], dtype=numpy.int64))
        handle.end_frame()
    with fl.open(path, "r") as handle:
        assert handle.nframes == 4 and not handle.chunk_exists(3, "v")
        assert handle.find_matching_chunk_names("") == ["v", "w"]
        with pytest.raises(RuntimeError, match="File must be writable"):
            handle.truncate_frames(99)  # refused before n is looked at


def test_a_reader_keeps_its_frames_across_a_cut(checkpointed):
    with rux.open(checkpointed) as reader, rux.open(checkpointed, "r+") as writer:
        writer.truncate(3)
        writer.extend({"step": 100 + i, "x": numpy.ones(4, dtype=numpy.float32)} for i in range(2))
        writer.flush()
        assert list(reader.series("step")) == list(range(FRAMES))
        assert reader[9]["x"].tolist() == [9.0] * 4
        assert reader.refresh() == 5
        assert list(reader.series("step")) == [0, 1, 2, 100, 101]
        assert dict(reader.attrs) == LATEST


KILLED_AFTER_CUT = textwrap.dedent(
    """
    import os, sys, rux
    traj = rux.open(sys.argv[1], "r+")
    traj.truncate(int(sys.argv[2]))
    os._exit(0)
    """
)


def test_a_writer_killed_right_after_the_cut_leaves_it_whole(checkpointed):
    subprocess.run([sys.executable, "-c", KILLED_AFTER_CUT, checkpointed, "4"], check=True)
    with rux.open(checkpointed) as traj:
        assert list(traj.series("step")) == [0, 1, 2, 3]
        assert dict(traj.attrs) == LATEST


def _info(capsys, path):
    assert cli.main(["info", "--json", path]) == 0
    return json.loads(capsys.readouterr().out)


def test_info_counts_what_a_cut_leaves_behind_and_recover_keeps_the_cut(path, tmp_path, capsys):
    row = numpy.zeros((10, 3), dtype=numpy.float32)
    with fl.open(path, "w", "app", "schema", (1, 0)) as handle:
        for _ in range(200):
            handle.write_chunk("x", row)
            handle.end_frame()
    before = _info(capsys, path)
    assert before["index_entries_capacity"] == 256
    with fl.open(path, "r+") as handle:
        handle.truncate_frames(50)
    after = _info(capsys, path)
    padding = -before["file_size"] % 32
    assert after["file_size"] == before["file_size"] + padding + 128 * 32
    assert after["unreferenced_bytes"] == (
        before["unreferenced_bytes"] + padding + 256 * 32 + 150 * row.nbytes
    )
    assert (after["frames"], after["index_entries_used"]) == (50, 50)
    assert cli.main(["check", path]) == 0
    capsys.readouterr()
    # The old block, found by its first entry, holds all 200 frames.
    report = recover(path, tmp_path / "out.rux")
    assert report.index_is_current
    with fl.open(str(tmp_path / "out.rux"), "r") as handle:
        assert handle.nframes == 50


# -- re-creating a file ----------------------------------------------------------

READER = textwrap.dedent(
    """
    import json, sys, rux
    with rux.open(sys.argv[1]) as traj:
        before = traj.series("x").sum(axis=1).tolist()
        print("ready", flush=True)
        sys.stdin.readline()
        after = [float(traj[i]["x"].sum()) for i in range(len(traj))]
        print(json.dumps({"before": before, "after": after}))
    """
)


def _write(path, frames, value):
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        traj.extend({"x": numpy.full(100, value + i, dtype=numpy.float32)} for i in range(frames))


def test_rerunning_w_never_kills_a_reader(path):
    # 200 frames: the index block has grown to the end of the file, where an
    # in-place re-creation would cut it off under the reader's mapping.
    _write(path, 200, 0)
    reader = subprocess.Popen(
        [sys.executable, "-c", READER, path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    try:
        assert reader.stdout.readline() == "ready\n"
        _write(path, 1, 1000)
        out, _ = reader.communicate("\n", timeout=60)
    finally:
        if reader.poll() is None:
            reader.kill()
    assert reader.returncode == 0
    seen = json.loads(out)
    assert seen["before"] == seen["after"] == [100.0 * i for i in range(200)]
    with rux.open(path) as traj:
        assert len(traj) == 1 and float(traj[0]["x"][0]) == 1000.0


@pytest.mark.parametrize("through_link", [False, True], ids=["file", "link"])
def test_w_replaces_the_file_and_keeps_the_callers_name(tmp_path, through_link):
    target = str(tmp_path / "data" / "traj.rux")
    os.mkdir(os.path.dirname(target))
    _write(target, 3, 0)
    given = target
    if through_link:
        given = str(tmp_path / "link.rux")
        os.symlink(os.path.join("data", "traj.rux"), given)
    old_inode = os.stat(target).st_ino
    with rux.open(given, "w", "test", "md", (1, 0)) as traj:
        assert (traj.path, traj.file.name, traj.mode) == (given, given, "w")
        traj.append({"x": numpy.zeros(2, dtype=numpy.float32)})
    assert os.path.islink(given) is through_link
    assert os.stat(target).st_ino != old_inode
    assert sorted(os.listdir(os.path.dirname(target))) == ["traj.rux"]
    with rux.open(target) as traj:
        assert len(traj) == 1


def test_w_gives_the_new_file_new_file_permissions(tmp_path, path):
    _write(path, 1, 0)
    os.chmod(path, 0o604)
    mask = os.umask(0o027)
    try:
        fl.open(str(tmp_path / "fresh.rux"), "w", "test", "md", (1, 0)).close()
        _write(path, 1, 0)
    finally:
        os.umask(mask)
    assert os.stat(path).st_mode & 0o777 == os.stat(tmp_path / "fresh.rux").st_mode & 0o777 == 0o640


def _interrupt_after_creating(monkeypatch):
    real_open = fl.open

    def open_then_interrupt(name, mode, *args):
        handle = real_open(name, mode, *args)
        if name.endswith(".tmp"):
            handle.close()
            raise KeyboardInterrupt
        return handle

    monkeypatch.setattr(fl, "open", open_then_interrupt)


def _fail_the_rename(monkeypatch):
    def refuse(source, destination):
        raise OSError(18, "Invalid cross-device link")

    monkeypatch.setattr(os, "replace", refuse)


@pytest.mark.parametrize(
    "arguments, sabotage, error",
    [
        ((None, "md", (1, 0)), None, ValueError),
        (("test", "md", (1,)), None, IndexError),
        (("test", "md", (1, 0)), _interrupt_after_creating, KeyboardInterrupt),
        (("test", "md", (1, 0)), _fail_the_rename, OSError),
    ],
    ids=["no_application", "bad_schema_version", "interrupted", "rename_fails"],
)
def test_a_failed_w_leaves_the_old_file_and_no_temporary(path, monkeypatch, arguments, sabotage, error):
    _write(path, 4, 0)
    before = open(path, "rb").read()
    if sabotage is not None:
        sabotage(monkeypatch)
    with pytest.raises(error):
        rux.open(path, "w", *arguments)
    monkeypatch.undo()
    assert os.listdir(os.path.dirname(path)) == ["traj.rux"]
    assert open(path, "rb").read() == before
