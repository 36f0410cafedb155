"""Following a file that a writer appends to: refresh(), the live-reader race,
and what `rux check` says about the commit record."""

import json
import multiprocessing
import os
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import rux.fl as fl
from rux import cli
from rux_files import ENTRY

CHUNKS = 40
PACKAGE_PARENT = str(Path(os.path.abspath(fl.__file__)).parents[1])
TESTS = str(Path(__file__).resolve().parent)


def write_frames(handle, count):
    for _ in range(count):
        for chunk in range(CHUNKS):
            handle.write_chunk(f"c{chunk:02d}", np.full((4, 3), handle.nframes, np.float32))
        handle.end_frame()
    handle.flush()


def test_refresh_picks_up_flushed_frames_and_stays_fixed_between(path):
    with fl.open(path, "w", "app", "schema", (1, 0)) as writer:
        write_frames(writer, 2)
        reader = fl.open(path, "r")
        writer.write_chunk("late", "text")
        write_frames(writer, 1)
        assert reader.nframes == 2 and not reader.chunk_exists(2, "late")
        assert reader.refresh() == 3 == reader.nframes
        assert reader.read_chunk(2, "late") == "text"
        assert "late" in reader.find_matching_chunk_names("")
        assert writer.refresh() == 3  # a writer's view is its own
    reader.close()
    with pytest.raises(ValueError, match="File is not open"):
        reader.refresh()


def _writer_loop(path, frames, started):
    with fl.open(path, "w", "app", "schema", (1, 0)) as writer:
        started.set()
        for _ in range(frames):
            write_frames(writer, 1)


def test_readers_racing_a_writer_see_only_whole_frames(tmp_path):
    # A writer flushing frames of 40 small chunks, and readers that open,
    # check the last frame and close (and refresh) until it ends.
    path = str(tmp_path / "live.rux")
    context = multiprocessing.get_context("fork")
    started = context.Event()
    writer = context.Process(target=_writer_loop, args=(path, 150, started))
    writer.start()
    started.wait(30)
    failures, partial, checks = [], 0, 0
    follower = None
    while writer.is_alive() or checks == 0:
        checks += 1
        try:
            with fl.open(path, "r") as reader:
                last = reader.nframes - 1
                names = [f"c{chunk:02d}" for chunk in range(CHUNKS)]
                if last >= 0 and not all(reader.chunk_exists(last, name) for name in names):
                    partial += 1
            if follower is None:
                follower = fl.open(path, "r")
            last = follower.refresh() - 1
            if last >= 0:
                partial += not follower.chunk_exists(last, f"c{CHUNKS - 1:02d}")
        except (RuntimeError, OSError) as error:
            failures.append(str(error))
    writer.join()
    assert writer.exitcode == 0
    assert failures == [] and partial == 0
    assert follower.refresh() == 150
    follower.close()


def _header(path):
    with open(path, "rb") as stream:
        return stream.read(256)


def test_check_accepts_a_held_file_and_reports_uncommitted_entries(path, capsys):
    with fl.open(path, "w", "app", "schema", (1, 0)) as writer:
        write_frames(writer, 2)
        header = _header(path)
        assert struct.unpack_from("<Q", header, 176)[0] == 0x54494D4F43585552
        assert cli.main(["check", str(path)]) == 0
        # An entry behind the committed ones, and its data, as a dead writer's
        # torn flush leaves them: readers ignore it, check reports it.
        index = struct.unpack_from("<Q", header, 8)[0]
        with open(path, "r+b") as stream:
            data = stream.seek(0, 2)
            stream.write(bytes(48))
            stream.seek(index + 32 * 2 * CHUNKS)
            stream.write(ENTRY.pack(2, 4, data, 3, 0, 9, 0))
        with fl.open(path, "r") as reader:
            assert reader.nframes == 2
        capsys.readouterr()
        assert cli.main(["check", "--json", str(path)]) == 1
        report = json.loads(capsys.readouterr().out)
        assert [p["kind"] for p in report["problems"]] == ["uncommitted-entries"]
        # A header that no longer matches its record is reported too.
        with open(path, "r+b") as stream:
            stream.seek(184)
            stream.write(struct.pack("<Q", 1))
        assert cli.main(["check", "--json", str(path)]) == 1
        kinds = [p["kind"] for p in json.loads(capsys.readouterr().out)["problems"]]
        assert "commit-record" in kinds
        writer.flush()
    assert _header(path)[176:] == bytes(80)


REFRESH_DURING_SWITCHES = """
import errno, sys, threading
import numpy as np
import rux.fl as fl
from rux_files import Chunk, VERSION_1_0, craft_file
path, kind = sys.argv[1], sys.argv[2]
outcomes = {"view": 0, "gone": 0, "cut": 0}
failures = []

def follow(reader, stop):
    # Every view is frames 0..T-1 with e = t; a frame taken by a switch is a
    # KeyError, a chunk cut from the file (truncate shortens it) an EIO.
    while not stop.is_set():
        try:
            reader.refresh()
            series = reader.read_series("e") if reader.nframes else np.zeros((0, 1))
            if not np.array_equal(series[:, 0], np.arange(len(series))):
                failures.append(series[:, 0].tolist())
            if reader.nframes:
                frame = reader.read_frame(reader.nframes - 1)
                if frame["e"][0] != reader.nframes - 1:
                    failures.append(("frame", reader.nframes))
            outcomes["view"] += 1
        except KeyError:
            outcomes["gone"] += 1
        except OSError as error:
            if error.errno != errno.EIO:
                raise
            outcomes["cut"] += 1

for round in range(60):
    frames = 6
    if kind == "upgrade":
        # A version 1 file, each frame's entries in reverse name order.
        chunks = []
        for t in range(frames):
            chunks.append(Chunk(t, 1, 5, 4, 1, bytes(4)))
            chunks.append(Chunk(t, 0, 8, 1, 1, np.int64(t).tobytes()))
        craft_file(path, [b"e", b"pad"], chunks, rux_version=VERSION_1_0)
    else:
        with fl.open(path, "w", "app", "schema", (1, 0)) as writer:
            for t in range(frames):
                writer.write_chunk("e", np.array([t], dtype=np.int64))
                writer.end_frame()
    reader = fl.open(path, "r")
    stop = threading.Event()
    thread = threading.Thread(target=follow, args=(reader, stop))
    thread.start()
    with fl.open(path, "r+") as writer:
        if kind == "upgrade":
            writer.upgrade()
        else:
            writer.truncate()
        for t in range(writer.nframes, writer.nframes + 3):
            writer.write_chunk("e", np.array([t], dtype=np.int64))
            writer.end_frame()
            writer.flush()
    stop.set()
    thread.join()
    assert reader.refresh() == (frames + 3 if kind == "upgrade" else 3)
    assert np.array_equal(reader.read_series("e")[:, 0], np.arange(reader.nframes))
    reader.close()
assert not failures, failures[:5]
print("ok", outcomes)
"""


@pytest.mark.parametrize("kind", ["upgrade", "truncate"])
def test_refresh_while_the_writer_upgrades_or_truncates(tmp_path, kind):
    # The index and the data stay inside what truncate keeps of the file, so
    # no mapping of the reader can lie past its end: every refresh must give
    # a whole view or a clean error, never a signal.
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_PARENT, TESTS]))
    result = subprocess.run(
        [sys.executable, "-c", REFRESH_DURING_SWITCHES, str(tmp_path / "switch.rux"), kind],
        env=environment, cwd="/", capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.startswith("ok"), result.stdout
