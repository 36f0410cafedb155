"""rux recover: the whole frames of damaged files, written to a new file."""

import hashlib
import json
import os
import shutil

import numpy as np
import pytest
import rux.fl as fl
from rux import cli

import rux_files as rf

FRAMES = 300


def _write(path, frames=FRAMES, buffered=8, new_name_every=None):
    """A file whose index block grew several times (older copies stay behind).

    With ``new_name_every``, a frame that often adds a long name, so that the
    namelist block grows too.
    """
    with fl.open(path, "w", "simulator", "md", (1, 2)) as handle:
        handle.index_entries_to_buffer = buffered
        for frame in range(frames):
            handle.write_chunk("positions", np.full((5, 3), frame, dtype=np.float32))
            handle.write_chunk("step", np.array([frame], dtype=np.int64))
            if frame % 7 == 0:
                handle.write_chunk("title", f"frame {frame}")
            if new_name_every and frame % new_name_every == 0:
                name = f"observables/a_quantity_with_a_long_name_{frame:04d}"
                handle.write_chunk(name, np.ones(1))
            handle.end_frame()
    return str(path)


@pytest.fixture(scope="module")
def grown(tmp_path_factory):
    return _write(tmp_path_factory.mktemp("grown") / "grown.rux")


def _frames(path):
    with fl.open(path, "r") as handle:
        assert (handle.application, handle.schema, handle.schema_version) == (
            "simulator",
            "md",
            (1, 2),
        )
        return {
            frame: {
                name: handle.read_chunk(frame, name).tolist()
                if name != "title"
                else handle.read_chunk(frame, name)
                for name in handle.find_matching_chunk_names("")
                if handle.chunk_exists(frame, name)
            }
            for frame in range(handle.nframes)
        }


def _recover(capsys, source, target, *options):
    digest = hashlib.sha256(open(source, "rb").read()).hexdigest()
    status = cli.main(["recover", "--json", *options, str(source), str(target)])
    out = capsys.readouterr().out
    assert hashlib.sha256(open(source, "rb").read()).hexdigest() == digest  # IN untouched
    return status, json.loads(out) if status == 0 else out


def _index_copies(path):
    """Offsets of every copy of the index block (same first entry, 32-byte aligned)."""
    data = open(path, "rb").read()
    header = rf.read_header(path)
    first = data[header["index_location"] : header["index_location"] + 32]
    found, position = [], data.find(first)
    while position >= 0:
        if position % 32 == 0:
            found.append(position)
        position = data.find(first, position + 1)
    return found


def _cut(path, size):
    with open(path, "r+b") as target:
        target.truncate(size)


def _patch(path, offset, data):
    with open(path, "r+b") as target:
        target.seek(offset)
        target.write(data)


def _last_chunk_end(path):
    return max(e.location + e.N * e.M * rf.ELEMENT_SIZE[e.type] for e in rf.read_index(path))


def cut_one_byte(path):
    _cut(path, os.path.getsize(path) - 1)


def cut_into_the_index(path):
    """Past the current block's used part: its tail is gone, the entries are not."""
    header = rf.read_header(path)
    _cut(path, header["index_location"] + 32 * (len(rf.read_index(path)) + 40))


def cut_before_the_index(path):
    """The current block is gone: an older copy must serve."""
    _cut(path, rf.read_header(path)["index_location"] + 16)


def damage_header(path):
    _patch(path, 0, os.urandom(40))  # magic, both blocks' locations and sizes


def set_reserved_bytes(path):
    _patch(path, 176, bytes(range(1, 81)))


@pytest.mark.parametrize(
    "damage, lost_frames",
    [
        (cut_one_byte, {FRAMES - 1}),  # its last chunk lies at the end of the file
        (cut_into_the_index, None),  # chunk data after the block are gone: computed below
        (cut_before_the_index, None),
        (damage_header, set()),
        (set_reserved_bytes, set()),
    ],
    ids=lambda value: getattr(value, "__name__", ""),
)
def test_recover_keeps_exactly_the_whole_frames(damage, lost_frames, grown, tmp_path, capsys):
    original = _frames(grown)
    path = str(tmp_path / "damaged.rux")
    shutil.copy(grown, path)
    assert len(_index_copies(path)) >= 4  # 128 entries, grown to 2048
    damage(path)
    status, report = _recover(capsys, path, tmp_path / "out.rux")
    assert status == 0
    recovered = _frames(str(tmp_path / "out.rux"))
    # Every kept frame is exactly as written; what is kept is a prefix here.
    assert recovered == {frame: original[frame] for frame in range(len(recovered))}
    if lost_frames is not None:
        assert set(range(FRAMES)) - set(recovered) == lost_frames
    size = os.path.getsize(path)
    whole = [
        frame
        for frame in range(FRAMES)
        if all(
            e.location + e.N * e.M * rf.ELEMENT_SIZE[e.type] <= size
            for e in rf.read_index(grown)
            if e.frame == frame
        )
    ]
    assert len(recovered) <= len(whole)
    assert report["frames_kept"] == len(recovered)
    assert report["chunks_kept"] == sum(len(chunks) for chunks in recovered.values())
    assert report["header_intact"] is (damage is not damage_header)
    assert report["index_is_current"] is (damage not in (cut_before_the_index, damage_header))


def test_an_older_copy_serves_when_the_current_block_is_gone(grown, tmp_path, capsys):
    path = str(tmp_path / "damaged.rux")
    shutil.copy(grown, path)
    copies = _index_copies(path)
    cut_before_the_index(path)
    status, report = _recover(capsys, path, tmp_path / "out.rux")
    assert status == 0 and report["index_location"] == copies[-2]
    # The older copy held every frame that had been flushed when the block grew.
    capacity = rf.read_header(grown)["index_allocated_entries"] // 2
    copy_entries = np.frombuffer(
        open(path, "rb").read()[copies[-2] : copies[-2] + 32 * capacity], dtype=rf.ENTRY_FIELDS
    )
    used = copy_entries[: np.flatnonzero(copy_entries["location"] == 0)[0]]
    assert report["frames_kept"] == int(used["frame"][-1]) + 1


def _used_part_end(path):
    return rf.read_header(path)["index_location"] + 32 * len(rf.read_index(path))


@pytest.mark.parametrize("frames", range(60, 80))
def test_the_last_frame_is_kept_only_when_the_used_part_ends_clear_of_a_sector(
    frames, tmp_path, capsys
):
    # A write cut short stops at a multiple of 512 bytes: a used part ending
    # there may have lost the rest of its last frame.
    path = _write(tmp_path / "in.rux", frames=frames, buffered=1 << 20)
    status, report = _recover(capsys, path, tmp_path / "out.rux")
    assert status == 0
    torn_possible = _used_part_end(path) % 512 == 0
    assert report["frames_kept"] == frames - (1 if torn_possible else 0)
    assert (report["frames_lost"] == [[frames - 1, frames - 1]]) is torn_possible


def test_a_torn_frame_is_left_out(tmp_path, capsys):
    # Frame 7 holds three chunks; a write cut at byte 512 kept one of them.
    chunks = [rf.Chunk(f, 0, 10, 1, 1, bytes(8)) for f in range(7)] + [
        rf.Chunk(7, i, 10, 1, 1, bytes(8)) for i in range(3)
    ]
    path = rf.craft_file(tmp_path / "torn.rux", [b"a", b"b", b"c"], chunks)
    _patch(path, 256 + 8 * 32, bytes(64))  # the used part now ends at byte 512
    status, report = _recover(capsys, path, tmp_path / "out.rux")
    assert status == 0 and report["frames_kept"] == 7 and report["frames_lost"] == [[7, 7]]
    assert "may be cut short" in report["notes"][-1]


def test_a_damaged_entry_loses_the_frames_around_it_only(tmp_path, capsys):
    chunks = [rf.Chunk(f // 2, f % 2, 10, 1, 1, np.float64(f).tobytes()) for f in range(20)]
    path = rf.craft_file(tmp_path / "in.rux", [b"a", b"b"], chunks)
    _patch(path, 256 + 32 * 9 + 30, b"\x0c")  # entry 9 (frame 4, name b): type 12
    status, report = _recover(capsys, path, tmp_path / "out.rux")
    assert status == 0
    # Its own frame number is not to be trusted: it may have been frame 5's.
    assert report["frames_lost"] == [[4, 5]]
    with fl.open(str(tmp_path / "out.rux"), "r") as handle:
        assert handle.nframes == 10
        assert not handle.chunk_exists(4, "a")  # empty frames keep the numbering
        assert handle.read_chunk(3, "b").tolist() == [7.0]
        assert handle.read_chunk(9, "b").tolist() == [19.0]


@pytest.mark.parametrize("version, lost", [(rf.VERSION_2_1, [[1, 2]]), (rf.VERSION_1_0, [])])
def test_an_id_going_back_within_a_frame_is_suspect_in_the_version_2_layout(
    version, lost, tmp_path, capsys
):
    # Frames 0 to 3 hold ids 0, 1, 2; entry 5 (frame 1) says id 0 after id 1.
    chunks = [rf.Chunk(i // 3, i % 3, 10, 1, 1, np.float64(i).tobytes()) for i in range(12)]
    path = rf.craft_file(tmp_path / "in.rux", [b"a", b"b", b"c"], chunks, rux_version=version)
    _patch(path, 256 + 32 * 5 + 28, (0).to_bytes(2, "little"))
    status, report = _recover(capsys, path, tmp_path / "out.rux")
    assert status == 0 and report["frames_lost"] == lost


def test_recover_refuses_to_overwrite_without_force(grown, tmp_path, capsys):
    target = tmp_path / "out.rux"
    target.write_bytes(b"keep me")
    status = cli.main(["recover", grown, str(target)])
    assert status == 1
    assert capsys.readouterr().err == f"rux: {target} exists; use --force to replace it\n"
    assert target.read_bytes() == b"keep me"
    assert cli.main(["recover", grown, grown, "--force"]) == 1
    assert "is the input file" in capsys.readouterr().err
    status, report = _recover(capsys, grown, target, "--force")
    assert status == 0 and report["frames_kept"] == FRAMES
    assert sorted(os.listdir(tmp_path)) == ["out.rux"]  # no temporary file left


@pytest.mark.parametrize("version", [rf.VERSION_1_0, rf.VERSION_2_1])
def test_recover_reads_both_layouts_and_reports_unwritable_chunks(version, tmp_path, capsys):
    chunks = [
        rf.Chunk(0, 0, 10, 1, 1, np.float64(1.5).tobytes()),
        rf.Chunk(1, 1, 11, 2, 1, b"\xff\xfe"),  # text that is not ASCII
        rf.Chunk(2, 0, 10, 1, 1, np.float64(2.5).tobytes()),
        rf.Chunk(3, 0, 10, 1, 1, np.float64(3.5).tobytes()),
    ]
    path = rf.craft_file(tmp_path / "in.rux", [b"x", b"t"], chunks, rux_version=version)
    status, report = _recover(capsys, path, tmp_path / "out.rux")
    assert status == 0
    assert report["frames_lost"] == [[1, 1]] and "not ASCII" in report["notes"][0]
    with fl.open(str(tmp_path / "out.rux"), "r") as handle:
        assert handle.read_chunk(3, "x").tolist() == [3.5]
        assert handle.rux_version == (2, 1)


def test_recover_text_output_and_a_file_with_nothing_to_recover(grown, tmp_path, capsys):
    path = str(tmp_path / "cut.rux")
    shutil.copy(grown, path)
    cut_one_byte(path)
    assert cli.main(["recover", path, str(tmp_path / "out.rux")]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == f"{tmp_path / 'out.rux'}: {FRAMES - 1} frames kept, 1 lost; " + (
        f"{len(rf.read_index(grown)) - 2} chunks kept, 2 lost"
    )
    assert f"frames lost: {FRAMES - 1}" in lines

    empty = tmp_path / "zeros.rux"
    empty.write_bytes(bytes(8192))
    assert cli.main(["recover", str(empty), str(tmp_path / "none.rux")]) == 1
    assert capsys.readouterr().err.startswith("rux: no ")
    assert not (tmp_path / "none.rux").exists()


# -- entries whose data lie over other bytes -------------------------------------


@pytest.fixture(scope="module")
def grown_names(tmp_path_factory):
    """Both blocks grew: old copies of each stay behind at 256 and 4352, and elsewhere."""
    path = _write(tmp_path_factory.mktemp("grown_names") / "grown.rux", new_name_every=5)
    header = rf.read_header(path)
    assert header["index_location"] != 256 and header["namelist_location"] != 4352
    return path


def _step_entry(path, frame):
    """Position in the index block of the entry of ``step`` in a frame, and the entry."""
    step = rf.read_names(path).index(b"step")
    for position, entry in enumerate(rf.read_index(path)):
        if entry.frame == frame and entry.id == step:
            return position, entry
    raise AssertionError(frame)


def _set_entry_field(path, position, field_offset, value):
    location = rf.read_header(path)["index_location"]
    _patch(path, location + 32 * position + field_offset, value.to_bytes(8, "little"))


def runs_into_the_next_chunk(path, position, entry):
    _set_entry_field(path, position, 8, 2)  # N: 2 rows, the second is the next chunk's


def points_into_another_chunk(path, position, entry):
    _set_entry_field(path, position, 16, rf.read_index(path)[position + 7].location + 4)


def points_into_the_index_block(path, position, entry):
    _set_entry_field(path, position, 16, rf.read_header(path)["index_location"] + 64)


def points_into_the_namelist_block(path, position, entry):
    _set_entry_field(path, position, 16, rf.read_header(path)["namelist_location"] + 4)


def points_into_an_old_index_block(path, position, entry):
    _set_entry_field(path, position, 16, 256 + 32 * 4)


def points_into_an_old_namelist_block(path, position, entry):
    _set_entry_field(path, position, 16, 4352 + 8)


@pytest.mark.parametrize(
    "damage, kind",
    [
        (runs_into_the_next_chunk, "overlap-chunk"),
        (points_into_another_chunk, "overlap-chunk"),
        (points_into_the_index_block, "overlap-index"),
        (points_into_the_namelist_block, "overlap-namelist"),
        (points_into_an_old_index_block, "overlap-old-block"),
        (points_into_an_old_namelist_block, "overlap-old-block"),
    ],
    ids=lambda value: getattr(value, "__name__", value),
)
def test_an_entry_over_other_bytes_is_reported_by_check_and_dropped_by_recover(
    damage, kind, grown_names, tmp_path, capsys
):
    # One damaged field of frame 150's entry of "step" puts its data over bytes
    # that rux never lets a chunk share: other chunks' data, or a block.
    original = _frames(grown_names)
    path = str(tmp_path / "damaged.rux")
    shutil.copy(grown_names, path)
    position, entry = _step_entry(path, 150)
    damage(path, position, entry)

    assert cli.main(["check", "--json", path]) == 1
    problems = json.loads(capsys.readouterr().out)["problems"]
    assert (kind, position) in [(p["kind"], p.get("entry")) for p in problems]

    status, report = _recover(capsys, path, tmp_path / "out.rux")
    assert status == 0
    kept = {frame: chunks for frame, chunks in _frames(str(tmp_path / "out.rux")).items() if chunks}
    assert 150 not in kept
    assert all(kept[frame] == original[frame] for frame in kept)
    assert len(kept) >= FRAMES - 8  # what is lost stays around the damage
    assert any(f"entry {position} (frame 150)" in note for note in report["notes"])
