"""The rux command: info, ls, dump, check and upgrade, in-process and as installed commands."""

import errno
import json
import os
import pty
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import rux.fl as fl
from rux import cli
from rux import check as raw
from rux import _raw as raw_access
from rux._raw import RuxFileView
from rux.summary import summarize

import rux_files as rf

DATA = Path(__file__).resolve().parents[1] / "data"
PACKAGE_PARENT = str(Path(os.path.abspath(fl.__file__)).parents[1])
ENTRY_POINT = Path(sys.executable).parent / "rux"

POSITIONS = np.arange(12, dtype=np.float32).reshape(4, 3)
BOX = np.eye(3) * 10.0


def run(capsys, *argv):
    """(exit status, stdout, stderr) of one in-process run of the command."""
    status = cli.main([str(arg) for arg in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def run_command(command, *argv, **kwargs):
    environment = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)
    return subprocess.run(
        [*command, *map(str, argv)], capture_output=True, text=True, env=environment, **kwargs
    )


@pytest.fixture
def sample(tmp_path):
    """Three frames: positions and box in each, a step counter, a title in frame 0 only."""
    path = str(tmp_path / "sample.rux")
    with fl.open(path, "w", "simulator", "md", (1, 2)) as handle:
        for frame in range(3):
            handle.write_chunk("particles/positions", POSITIONS + frame)
            handle.write_chunk("particles/box", BOX)
            handle.write_chunk("step", np.array([frame * 10], dtype=np.int64))
            if frame == 0:
                handle.write_chunk("title", "argon run")
            handle.end_frame()
    return path


def copy_of(tmp_path, name):
    target = tmp_path / name
    shutil.copy(DATA / name, target)
    return str(target)


# -- the installed commands ----------------------------------------------------


@pytest.mark.parametrize(
    "command", [[str(ENTRY_POINT)], [sys.executable, "-m", "rux"]], ids=["entry-point", "python-m"]
)
def test_installed_commands_run_info_and_report_errors_in_one_line(command, sample, tmp_path):
    result = run_command(command, "info", "--json", sample, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["frames"] == 3

    missing = run_command(command, "dump", tmp_path / "missing.rux", 0, "step", cwd=tmp_path)
    assert missing.returncode == 1
    assert missing.stdout == ""
    assert missing.stderr == f"rux: {tmp_path / 'missing.rux'}: No such file or directory\n"


# -- info ------------------------------------------------------------------------


def test_info_reports_the_header_and_the_counts(sample, capsys):
    status, out, _ = run(capsys, "info", "--json", sample)
    assert status == 0
    info = json.loads(out)
    data_bytes = 3 * (POSITIONS.nbytes + BOX.nbytes + 8) + len("argon run")
    assert info == {
        "file": sample,
        "application": "simulator",
        "schema": "md",
        "schema_version": "1.2",
        "rux_version": "2.1",
        "layout": 2,
        "frames": 3,
        "names": 4,
        "index_entries_used": 10,
        "index_entries_capacity": 128,
        "index_location": 256,
        "namelist_location": 4352,
        "namelist_bytes_used": len(b"particles/positions\0particles/box\0step\0title\0"),
        "namelist_bytes": 1024,
        "chunk_bytes": data_bytes,
        "file_size": 5376 + data_bytes,
        "unreferenced_bytes": 0,
        "uncommitted_entries": 0,
        "uncommitted_names": 0,
    }

    status, text, _ = run(capsys, "info", sample)
    assert status == 0
    assert "layout version  2.1 (version 2 layout)" in text
    assert "index entries   10 used / 128 capacity" in text


def test_info_counts_the_blocks_left_behind_by_growth(tmp_path, capsys):
    path = str(tmp_path / "grown.rux")
    with fl.open(path, "w", "app", "schema", (1, 0)) as handle:
        handle.index_entries_to_buffer = 16
        for frame in range(300):
            handle.write_chunk(f"particles/name{frame % 90:03d}", np.array([frame], dtype=np.int32))
            handle.end_frame()
    header = rf.read_header(path)
    live = 256 + 32 * header["index_allocated_entries"] + 64 * header["namelist_allocated_entries"]
    live += sum(entry.N * entry.M * 4 for entry in rf.read_index(path))
    assert header["index_location"] != 256 and header["namelist_location"] != 4352

    status, out, _ = run(capsys, "info", "--json", path)
    info = json.loads(out)
    assert status == 0
    assert info["unreferenced_bytes"] == os.path.getsize(path) - live > 4096 + 1024
    assert (info["frames"], info["names"], info["index_entries_used"]) == (300, 90, 300)


def test_info_describes_a_file_the_library_refuses(tmp_path, capsys):
    path = rf.craft_file(
        tmp_path / "bad.rux", [b"x"], [rf.Chunk(0, 0, 0, 1, 1, b"\0")]  # type code 0
    )
    with pytest.raises(RuntimeError, match="Corrupt RUX file"):
        fl.open(path, "r")
    status, out, err = run(capsys, "info", "--json", path)
    assert status == 1
    assert json.loads(out)["index_entries_used"] == 1
    assert err == f"rux: {path}: the library refuses to open it: Corrupt RUX file: {path}\n"
    status, out, err = run(capsys, "info", path)
    assert status == 1 and "index entries   1 used / 128 capacity" in out
    assert err.count("\n") == 1 and "refuses to open it" in err


@pytest.mark.parametrize(
    "committed, frames",
    [(6, 3), (5, 3)],  # a dead writer's leftovers; a record that ends in the middle of frame 2
    ids=["leftovers", "mid-frame"],
)
def test_info_reports_what_readers_see_and_the_leftovers_apart(committed, frames, tmp_path, capsys):
    # Frames 0 to 3 of two entries each; the last frame uses a name the record does not count.
    ids = [0, 1, 0, 1, 0, 1, 0, 2]
    chunks = _entries(8, frame_of=lambda i: i // 2, id_of=lambda i: ids[i])
    path = rf.craft_file(tmp_path / "held.rux", [b"a", b"b", b"c"], chunks)
    rf.seal_commit_record(path, committed, 2)
    with fl.open(path, "r") as reader:
        assert reader.nframes == frames
        assert reader.find_matching_chunk_names("") == ["a", "b"]
    status, out, _ = run(capsys, "info", "--json", path)
    info = json.loads(out)
    assert status == 0
    assert (info["frames"], info["names"], info["index_entries_used"]) == (frames, 2, committed)
    assert (info["uncommitted_entries"], info["uncommitted_names"]) == (8 - committed, 1)
    assert info["namelist_bytes_used"] == len(b"a\0b\0")
    assert info["chunk_bytes"] == 8 * committed
    assert info["unreferenced_bytes"] == 8 * (8 - committed)  # the leftovers' data
    text = run(capsys, "info", path)[1]
    assert f"uncommitted     {8 - committed} entries, 1 names (readers ignore them)" in text


# -- ls and dump -----------------------------------------------------------------


def test_ls_lists_names_with_a_prefix_filter(sample, capsys):
    assert run(capsys, "ls", sample) == (
        0,
        "particles/positions\nparticles/box\nstep\ntitle\n",
        "",
    )
    assert run(capsys, "ls", sample, "particles/")[1] == "particles/positions\nparticles/box\n"
    status, out, _ = run(capsys, "ls", sample, "s", "--json")
    assert json.loads(out) == {"file": sample, "names": ["step"]}


def test_ls_of_a_frame_gives_type_shape_and_size(sample, capsys):
    status, out, _ = run(capsys, "ls", sample, "--frame", 0, "--json")
    assert status == 0
    chunks = {chunk["name"]: chunk for chunk in json.loads(out)["chunks"]}
    assert list(chunks) == ["particles/positions", "particles/box", "step", "title"]
    assert chunks["particles/positions"] == {
        "name": "particles/positions",
        "type": "float32",
        "shape": [4, 3],
        "rows": 4,
        "columns": 3,
        "bytes": 48,
    }
    assert (chunks["step"]["type"], chunks["step"]["shape"], chunks["step"]["bytes"]) == (
        "int64",
        [1],
        8,
    )
    assert (chunks["title"]["type"], chunks["title"]["shape"], chunks["title"]["bytes"]) == (
        "char",
        None,
        9,
    )

    status, table, _ = run(capsys, "ls", sample, "particles/b", "--frame", 2)
    assert table.splitlines() == [
        "name           type     shape   bytes",
        "particles/box  float64  (3, 3)     72",
    ]


def test_dump_prints_values_as_numpy_does(sample, capsys):
    assert run(capsys, "dump", sample, 1, "particles/positions") == (
        0,
        str(POSITIONS + 1) + "\n",
        "",
    )
    assert run(capsys, "dump", sample, 0, "title")[1] == "argon run\n"


def test_dump_full_prints_every_value(tmp_path, capsys):
    path = str(tmp_path / "long.rux")
    values = np.arange(5000, dtype=np.int64)
    with fl.open(path, "w", "app", "schema", (1, 0)) as handle:
        handle.write_chunk("values", values)
        handle.end_frame()
    assert "..." in run(capsys, "dump", path, 0, "values")[1]
    full = run(capsys, "dump", path, 0, "values", "--full")[1]
    assert "..." not in full
    assert full.replace("[", " ").replace("]", " ").split() == [str(v) for v in values]


# -- user and usage errors -------------------------------------------------------


@pytest.mark.parametrize(
    "argv, message",
    [
        (["info", "{missing}"], "rux: {missing}: No such file or directory"),
        (["ls", "{missing}"], "rux: {missing}: No such file or directory"),
        (["check", "{missing}"], "rux: {missing}: No such file or directory"),
        (["upgrade", "{missing}"], "rux: {missing}: No such file or directory"),
        (["info", "{text}"], "rux: Not a RUX file: {text} (no rux magic number)"),
        (["ls", "{text}"], "rux: Not a RUX file: {text}"),
        (["dump", "{text}", "0", "step"], "rux: Not a RUX file: {text}"),
        (["upgrade", "{text}"], "rux: Not a RUX file: {text} (no rux magic number)"),
        (["ls", "{tmp}"], "rux: {tmp}: Is a directory"),
        (["recover", "{tmp}", "{tmp}/out.rux"], "rux: {tmp}: Is a directory"),
        (["recover", "{sample}", "{tmp}"], "rux: {tmp}: Is a directory"),
        (
            ["recover", "{sample}", "{tmp}/missing/out.rux"],
            "rux: {tmp}/missing/out.rux: No such file or directory",
        ),
        (["recover", "{sample}", "/proc/out.rux"], "rux: /proc/out.rux: No such file or directory"),
        (["dump", "{sample}", "0", "nope"], "rux: frame 0 / chunk nope not found in: {sample}"),
        (["dump", "{sample}", "3", "step"], "rux: frame 3 / chunk step not found in: {sample}"),
        (
            ["dump", "{sample}", str(1 << 63), "step"],
            f"rux: frame {1 << 63} / chunk step not found in: {{sample}}",
        ),
        (
            ["dump", "{sample}", str(1 << 64), "step"],
            f"rux: frame {1 << 64} / chunk step not found in: {{sample}}",
        ),
        (["dump", "{sample}", "-1", "step"], "rux: frame -1 / chunk step not found in: {sample}"),
        (["ls", "{sample}", "--frame", "3"], "rux: frame 3 out of range: {sample} has 3 frames"),
    ],
)
def test_user_errors_print_one_line_and_exit_1(argv, message, sample, tmp_path, capsys):
    text = tmp_path / "notes.txt"
    text.write_text("not a trajectory\n" * 40)
    names = {"missing": tmp_path / "missing.rux", "text": text, "tmp": tmp_path, "sample": sample}
    status, out, err = run(capsys, *[arg.format(**names) for arg in argv])
    assert (status, out) == (1, "")
    assert err == message.format(**names) + "\n"


@pytest.mark.parametrize("command, step", [("info", "summarize"), ("check", "check_file")])
def test_a_system_error_that_names_no_file_is_told_with_the_file(
    command, step, sample, monkeypatch, capsys
):
    def fail(*args, **kwargs):
        raise OSError(errno.EIO, "Input/output error")

    monkeypatch.setattr(cli, step, fail)
    assert run(capsys, command, sample) == (1, "", f"rux: {sample}: Input/output error\n")


@pytest.mark.parametrize("argv", [[], ["info"], ["dump", "f.rux", "x", "name"], ["frobnicate"]])
def test_usage_errors_exit_2(argv, capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(argv)
    assert stop.value.code == 2
    assert "usage: rux" in capsys.readouterr().err


# -- check -----------------------------------------------------------------------


@pytest.mark.parametrize("name", ["v1_small.rux", "v2_small.rux"])
def test_check_passes_the_sample_files(name, tmp_path, capsys):
    path = copy_of(tmp_path, name)
    status, out, err = run(capsys, "check", path)
    assert (status, err) == (0, "")
    assert out.startswith(f"{path}: ok")


def test_check_passes_a_file_written_by_the_library(sample, capsys):
    status, out, _ = run(capsys, "check", "--json", sample)
    report = json.loads(out)
    assert status == 0 and report["ok"] is True and report["problems"] == []
    assert (report["entries_checked"], report["names_checked"]) == (128, 4)


def _entries(count, frame_of=lambda i: i, id_of=lambda i: 0, size=8):
    return [rf.Chunk(frame_of(i), id_of(i), 10, 1, 1, bytes(size)) for i in range(count)]


def _patch(path, offset, data):
    with open(path, "r+b") as target:
        target.seek(offset)
        target.write(data)


def _entry_offset(position, field_offset=0):
    return 256 + 32 * position + field_offset


def damage_type(path):
    _patch(path, _entry_offset(1, 30), b"\x0c")


def damage_flags(path):
    _patch(path, _entry_offset(2, 31), b"\x01")


def damage_id(path):
    _patch(path, _entry_offset(1, 28), (7).to_bytes(2, "little"))


def damage_bounds(path):
    _patch(path, _entry_offset(2, 8), (1000).to_bytes(8, "little"))  # N = 1000 rows


def damage_frame_capacity(path):
    _patch(path, _entry_offset(5, 0), (128).to_bytes(8, "little"))


def damage_frame_order(path):
    _patch(path, _entry_offset(2, 0), (0).to_bytes(8, "little"))


def damage_unused_entry(path):
    _patch(path, _entry_offset(100, 8), (5).to_bytes(8, "little"))


def damage_namelist_terminator(path):
    _patch(path, 4352 + 1023, b"x")


def damage_namelist_tail(path):
    _patch(path, 4352 + 600, b"y")


def damage_overlap(path):
    _patch(path, _entry_offset(3, 16), (4352 + 8).to_bytes(8, "little"))


def damage_index_past_end(path):
    _patch(path, 16, (200).to_bytes(8, "little"))  # index_allocated_entries


def damage_reserved(path):
    _patch(path, 200, b"\x01")


def damage_namelist_location(path):
    _patch(path, 24, (1 << 63).to_bytes(8, "little"))  # past what a file offset can be


@pytest.mark.parametrize(
    "damage, expected",
    [
        (damage_type, ["entry 1 (frame 1, name 'a'): type code 12 is not an element type"]),
        (damage_flags, ["entry 2 (frame 2, name 'a'): flags are 1, not 0"]),
        (damage_id, ["entry 1 (frame 1, id 7): name id 7 is not below the number of names (2)"]),
        (
            damage_bounds,
            [
                "entry 2 (frame 2, name 'a'): data at offset 5392, 8000 bytes, end past "
                "the end of the file (5424 bytes)"
            ],
        ),
        (
            damage_frame_capacity,
            ["entry 5 (frame 128, name 'a'): frame 128 is not below the index capacity 128"],
        ),
        (damage_frame_order, ["entry 2 (frame 0, name 'a'): frame 0 follows frame 1 of entry 1"]),
        (
            damage_unused_entry,
            ["entry 100: follows the end of the used entries (entry 6) but is not zero"],
        ),
        (
            damage_namelist_terminator,
            ["namelist block: it is not terminated (its last byte is not 0)"],
        ),
        (
            damage_namelist_tail,
            [
                "namelist block: 1 non-zero bytes after the end of the list "
                "(first at block offset 600); a writable open refuses the file"
            ],
        ),
        (
            damage_overlap,
            [
                "entry 3 (frame 3, name 'a'): data at offset 4360, 8 bytes, "
                "overlap the namelist block"
            ],
        ),
        (
            damage_index_past_end,
            [
                "index block: offset 256 to 6656 extends past the end of the file (5424 bytes)",
                "index block (256 to 6656) and namelist block (4352 to 5376) overlap; "
                "a writable open refuses the file",
            ]
            + [
                f"entry {i} (frame {i}, name 'a'): data at offset {5376 + 8 * i}, 8 bytes, "
                "overlap the index block"
                for i in range(6)
            ]
            + ["entry 128: follows the end of the used entries (entry 6) but is not zero"],
        ),
        (damage_reserved, ["header: the reserved bytes (offset 176 to 255) are not zero"]),
        (
            damage_namelist_location,
            [
                f"namelist block: offset {1 << 63} to {(1 << 63) + 1024} extends past the end "
                "of the file (5424 bytes)"
            ]
            + [
                f"entry {i} (frame {i}, id 0): name id 0 is not below the number of names (0)"
                for i in range(6)
            ],
        ),
    ],
    ids=lambda value: getattr(value, "__name__", ""),
)
def test_check_reports_each_damage_in_one_line(damage, expected, tmp_path, capsys):
    path = rf.craft_file(tmp_path / "damaged.rux", [b"a", b"b"], _entries(6))
    assert run(capsys, "check", path)[0] == 0
    damage(path)
    status, out, err = run(capsys, "check", path)
    assert status == 1
    assert out.splitlines() == expected
    problems = len(out.splitlines())
    assert err == f"rux: {path}: {problems} problem{'s' if problems > 1 else ''} found\n"


def commit_record_counting_fewer_names(path):
    rf.seal_commit_record(path, 6, 1)  # the committed entries use ids 0 and 1


def empty_index_block_at_offset_0(path):
    _patch(path, 8, (0).to_bytes(8, "little") + (0).to_bytes(8, "little"))


def empty_index_block_inside_the_namelist(path):
    _patch(path, 8, (4352 + 512).to_bytes(8, "little") + (0).to_bytes(8, "little"))


def bytes_after_a_version_1_list(path):
    _patch(path, 4352 + 64 * 2 + 5, b"z")


WRITABLE_REFUSES = "a writable open refuses the file"


@pytest.mark.parametrize(
    "damage, version, readable, expected",
    [
        (
            commit_record_counting_fewer_names,
            rf.VERSION_2_1,
            False,
            [
                f"entry {i} (frame {i // 2}, name 'b'): name id 1 is not below the 1 names "
                "that the commit record counts"
                for i in (1, 3, 5)
            ],
        ),
        (
            empty_index_block_at_offset_0,
            rf.VERSION_2_1,
            True,
            [f"index block: empty, at offset 0 inside the header; {WRITABLE_REFUSES}"],
        ),
        (
            empty_index_block_inside_the_namelist,
            rf.VERSION_2_1,
            True,
            [
                "index block: empty, at offset 4864 inside the namelist block (4352 to 5376); "
                + WRITABLE_REFUSES
            ],
        ),
        (
            bytes_after_a_version_1_list,
            rf.VERSION_1_0,
            True,
            [
                "namelist block: 1 non-zero bytes after the end of the list (first at block "
                f"offset 133); {WRITABLE_REFUSES}"
            ],
        ),
    ],
    ids=lambda value: getattr(value, "__name__", None),
)
def test_check_reports_what_opening_refuses(damage, version, readable, expected, tmp_path, capsys):
    chunks = _entries(6, frame_of=lambda i: i // 2, id_of=lambda i: i % 2)
    path = rf.craft_file(tmp_path / "refused.rux", [b"a", b"b"], chunks, rux_version=version)
    assert run(capsys, "check", path)[0] == 0
    damage(path)
    if readable:
        fl.open(path, "r").close()
    else:
        with pytest.raises(RuntimeError, match="Corrupt RUX file"):
            fl.open(path, "r")
    writable = str(tmp_path / "writable.rux")
    shutil.copy(path, writable)
    with pytest.raises(RuntimeError, match="Corrupt RUX file"):
        fl.open(writable, "r+")
    status, out, _ = run(capsys, "check", path)
    assert status == 1 and out.splitlines() == expected


@pytest.mark.parametrize("seed", range(6))
def test_the_overlap_and_gap_search_agrees_with_a_byte_map(seed):
    # Ranges of 1 to 12 bytes in 200 bytes, some starting together: which
    # overlap another, one each overlaps, and the bytes none covers.
    rng = np.random.default_rng(seed)
    count = int(rng.integers(2, 40))
    starts = rng.integers(0, 190, count).astype(np.uint64)
    ends = starts + rng.integers(1, 12, count).astype(np.uint64)
    mask, partner = raw_access.overlapping(starts, ends)
    covers = np.zeros((count, 210), dtype=bool)
    for position, (start, end) in enumerate(zip(starts.tolist(), ends.tolist())):
        covers[position, start:end] = True
    shared = (covers[:, None, :] & covers[None, :, :]).any(axis=2) & ~np.eye(count, dtype=bool)
    assert mask.tolist() == shared.any(axis=1).tolist()
    assert all(shared[i, partner[i]] for i in np.flatnonzero(mask))
    assert (partner[~mask] == -1).all()
    gap_starts, gap_ends = raw_access.uncovered(starts, ends, 205)
    free = np.zeros(205, dtype=bool)
    for start, end in zip(gap_starts.tolist(), gap_ends.tolist()):
        free[start:end] = True
    assert free.tolist() == (~covers.any(axis=0))[:205].tolist()


def test_check_goes_beyond_what_opening_checks(tmp_path, capsys):
    path = rf.craft_file(tmp_path / "damaged.rux", [b"a"], _entries(6))
    damage_type(path)
    with fl.open(path, "r") as handle:  # the binary search never probes entry 1
        assert handle.nframes == 6
    status, out, _ = run(capsys, "check", "--json", path)
    report = json.loads(out)
    assert status == 1 and report["ok"] is False
    assert [(p["kind"], p.get("entry")) for p in report["problems"]] == [("type", 1)]


@pytest.mark.parametrize("version, clean", [(rf.VERSION_2_1, False), (rf.VERSION_1_0, True)])
def test_check_wants_sorted_ids_only_in_the_version_2_layout(version, clean, tmp_path, capsys):
    # Frame 0 holds ids 1 then 0: allowed in the version 1 layout only.
    ids = [1, 0, 0, 1]
    chunks = _entries(4, frame_of=lambda i: i // 2, id_of=lambda i: ids[i])
    path = rf.craft_file(tmp_path / "order.rux", [b"a", b"b"], chunks, rux_version=version)
    status, out, _ = run(capsys, "check", path)
    if clean:
        assert status == 0
    else:
        assert status == 1
        assert out.splitlines() == [
            "entry 1 (frame 0, name 'a'): name id 0 follows id 1 in the same frame; "
            "the version 2 layout sorts entries by (frame, id)"
        ]


def test_check_reports_names_and_blocks(tmp_path, capsys):
    path = rf.craft_file(tmp_path / "names.rux", [b"a", b"b", b"a", b"\xff\xfe"], _entries(2))
    _patch(path, 24, (256 + 64).to_bytes(8, "little"))  # namelist_location inside the index block
    status, out, _ = run(capsys, "check", path)
    assert status == 1
    assert "index block (256 to 4352) and namelist block (320 to 1344) overlap" in out
    path = rf.craft_file(tmp_path / "names2.rux", [b"a", b"b", b"a", b"\xff\xfe"], _entries(2))
    out = run(capsys, "check", path)[1]
    assert out.splitlines() == [
        "name 2: 'a' repeats name 0; lookups only reach id 0",
        "name 3: b'\\xff\\xfe' is not valid UTF-8",
    ]


def test_a_header_whose_blocks_end_beyond_64_bits_is_described(tmp_path, capsys):
    path = rf.craft_file(tmp_path / "huge.rux", [b"a"], _entries(2))
    _patch(path, 16, (1 << 62).to_bytes(8, "little"))  # index_allocated_entries
    _patch(path, 32, (1 << 60).to_bytes(8, "little"))  # namelist_allocated_entries
    status, out, _ = run(capsys, "check", path)
    assert status == 1
    assert f"index block: offset 256 to {256 + (32 << 62)} extends past the end" in out
    assert f"namelist block: offset 4352 to {4352 + (64 << 60)} extends past the end" in out
    status, out, _ = run(capsys, "info", "--json", path)
    assert status == 1 and json.loads(out)["index_entries_used"] == 2  # described, refused


def test_check_reads_only_the_data_of_a_sparse_index_block(tmp_path):
    # 2^26 declared entries (2 GiB), nearly all a hole; one stray entry in the middle.
    path = rf.craft_file(tmp_path / "sparse.rux", [b"a"], _entries(3))
    capacity = 1 << 26
    _patch(path, 8, (8192).to_bytes(8, "little") + capacity.to_bytes(8, "little"))
    with open(path, "r+b") as target:
        target.truncate(8192 + 32 * capacity)
    _patch(path, 8192, open(path, "rb").read()[256 : 256 + 96])
    stray = 1 << 25
    _patch(path, _entry_offset(stray) - 256 + 8192 + 8, (5).to_bytes(8, "little"))
    with open(path, "rb") as source:
        if os.lseek(source.fileno(), 0, os.SEEK_HOLE) >= os.path.getsize(path):
            pytest.skip("this file system does not report holes")
    calls = []
    report = raw.check(path, progress=lambda done, total: calls.append((done, total)))
    assert [(p.kind, p.entry) for p in report.problems] == [("unused-not-zero", stray)]
    assert report.entries_checked == capacity
    # Progress comes per block read: a handful, not one per 2^18 entries of hole.
    assert len(calls) < 10 and calls[-1] == (capacity, capacity)


def test_check_reads_only_the_data_of_a_sparse_namelist_block(tmp_path, capsys):
    # A namelist block of 1 GiB at offset 64 KiB, nearly all a hole: the names
    # at its start, one stray byte just before its last byte.
    path = rf.craft_file(tmp_path / "sparse.rux", [b"a"], _entries(3))
    location, units = 1 << 16, 1 << 24
    _patch(path, 24, location.to_bytes(8, "little") + units.to_bytes(8, "little"))
    with open(path, "r+b") as target:
        target.truncate(location + 64 * units)
    _patch(path, location, b"a\0")
    _patch(path, location + 64 * units - 2, b"z")
    status, out, _ = run(capsys, "check", path)
    assert status == 1
    assert out.splitlines() == [
        f"namelist block: 1 non-zero bytes after the end of the list "
        f"(first at block offset {64 * units - 2}); a writable open refuses the file"
    ]
    with RuxFileView(path) as view:
        assert summarize(view).namelist_bytes_used == 2


def test_check_of_a_file_that_is_not_a_rux_file(tmp_path, capsys):
    text = tmp_path / "short.rux"
    text.write_bytes(b"short")
    status, out, _ = run(capsys, "check", text)
    assert status == 1
    assert out == f"Not a RUX file: {text} (5 bytes, shorter than the 256-byte header)\n"


# -- check on a million entries --------------------------------------------------

MANY = 1 << 20


@pytest.fixture(scope="module")
def many_entries(tmp_path_factory):
    """A clean file of 2^20 entries: four names per frame."""
    path = str(tmp_path_factory.mktemp("many") / "many.rux")
    positions = np.arange(MANY)
    rf.craft_many_entries(path, positions // 4, positions % 4, [b"a", b"b", b"c", b"d"])
    return path


def test_check_reads_every_one_of_a_million_entries(many_entries, tmp_path, capsys):
    assert run(capsys, "check", many_entries)[0] == 0
    path = str(tmp_path / "damaged.rux")
    shutil.copy(many_entries, path)
    last = MANY - 3  # the last entries are probed when the library opens the file
    boundary = 1 << 18  # the first entry of the second block that check reads
    _patch(path, _entry_offset(last, 31), b"\x02")
    # Frame 65535 like the entry before it, whose id 3 is larger: sorted wrongly.
    _patch(path, _entry_offset(boundary, 0), (boundary // 4 - 1).to_bytes(8, "little"))
    _patch(path, _entry_offset(700_001, 28), (0).to_bytes(2, "little"))  # id 1 -> 0 ...
    _patch(path, _entry_offset(700_000, 28), (3).to_bytes(2, "little"))  # ... after id 3
    with fl.open(path, "r") as handle:
        assert handle.nframes == MANY // 4
    status, out, _ = run(capsys, "check", "--json", path)
    report = json.loads(out)
    assert status == 1 and report["entries_checked"] == MANY
    assert [(p["kind"], p["entry"]) for p in report["problems"]] == [
        ("flags", last),
        ("sort-order", boundary),
        ("sort-order", 700_001),
    ]


def test_check_limits_the_lines_per_kind_of_problem(many_entries, tmp_path, capsys):
    path = str(tmp_path / "flags.rux")
    shutil.copy(many_entries, path)
    index = np.memmap(path, dtype=rf.ENTRY_FIELDS, mode="r+", offset=256, shape=(MANY,))
    index["flags"][::64] = 1
    index.flush()
    del index
    status, out, _ = run(capsys, "check", "--limit", 3, path)
    assert status == 1
    assert out.splitlines() == [
        "entry 0 (frame 0, name 'a'): flags are 1, not 0",
        "entry 64 (frame 16, name 'a'): flags are 1, not 0",
        "entry 128 (frame 32, name 'a'): flags are 1, not 0",
        f"... and {MANY // 64 - 3} more entries with the same problem (flags)",
    ]
    report = json.loads(run(capsys, "check", "--json", "--limit", 0, path)[1])
    assert [p["entry"] for p in report["problems"]] == list(range(0, MANY, 64))
    assert report["omitted"] == {}


def test_check_draws_a_progress_bar_only_on_a_terminal(many_entries, tmp_path):
    command = [str(ENTRY_POINT), "check", many_entries]
    piped = run_command(command[:1], *command[1:], cwd=tmp_path)
    assert piped.returncode == 0 and piped.stderr == ""

    leader, follower = pty.openpty()
    environment = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=follower, env=environment)
    os.close(follower)
    drawn = b""
    while True:
        try:
            block = os.read(leader, 4096)
        except OSError:  # the terminal closes when the process ends
            break
        if not block:
            break
        drawn += block
    os.close(leader)
    assert process.wait() == 0
    assert process.stdout.read().decode().startswith(f"{many_entries}: ok")
    assert b"checking index entries [" in drawn and b"100% (1048576/1048576)" in drawn


# -- convert without ASE ---------------------------------------------------------


def test_convert_without_ase_says_how_to_get_it(tmp_path, capsys, monkeypatch):
    source = tmp_path / "frames.xyz"
    source.write_text("1\nProperties=species:S:1:pos:R:3\nAr 0.0 0.0 0.0\n")
    for module in [name for name in sys.modules if name == "ase" or name.startswith("ase.")]:
        monkeypatch.setitem(sys.modules, module, None)
    monkeypatch.setitem(sys.modules, "ase", None)
    assert run(capsys, "convert", source, tmp_path / "out.rux") == (
        1,
        "",
        "rux: converting XYZ needs ASE, which is not installed: pip install rux[xyz]\n",
    )
    assert not (tmp_path / "out.rux").exists()


# -- upgrade ---------------------------------------------------------------------


def _all_chunks(path):
    with fl.open(path, "r") as handle:
        names = handle.find_matching_chunk_names("")
        return {
            (frame, name): handle.read_chunk(frame, name).tolist()
            for frame in range(handle.nframes)
            for name in names
            if handle.chunk_exists(frame, name)
        }


def test_upgrade_rewrites_a_version_1_file_and_keeps_its_chunks(tmp_path, capsys):
    path = copy_of(tmp_path, "v1_small.rux")
    before = _all_chunks(path)
    assert run(capsys, "upgrade", path) == (0, f"{path}: upgraded from version 1.0 to 2.1\n", "")
    with fl.open(path, "r") as handle:
        assert handle.rux_version == (2, 1)
    after = _all_chunks(path)
    # Frame 1 holds "pos" twice ("old", then "new"); sorting may put either first.
    assert bytes(np.ravel(after.pop((1, "pos"))).astype(np.uint8)) in (b"old", b"new")
    del before[(1, "pos")]
    assert after == before
    assert run(capsys, "check", path)[0] == 0


def test_upgrade_leaves_a_version_2_file_untouched(tmp_path, capsys):
    path = copy_of(tmp_path, "v2_small.rux")
    content = Path(path).read_bytes()
    status, out, _ = run(capsys, "upgrade", path)
    assert (status, out) == (0, f"{path}: already in the version 2 layout (version 2.1)\n")
    assert Path(path).read_bytes() == content
