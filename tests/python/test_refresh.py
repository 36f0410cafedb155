"""Following a file that a writer appends to: refresh(), the live-reader race,
and what `rux check` says about the commit record."""

import json
import multiprocessing
import struct

import numpy as np
import pytest
import rux.fl as fl
from rux import cli
from rux_files import ENTRY

CHUNKS = 40


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
