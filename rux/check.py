"""``rux check``: every part of a file that the format constrains, read without the library.

Entries are examined in blocks with vectorised numpy operations, so files with
millions of entries are checked in seconds and in bounded memory; holes of a
sparse file are skipped, as they read as zeros.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np

from ._format import (
    CHARACTER,
    COMMIT_RECORD,
    COMMIT_TAG,
    COMMIT_WRITER_ACTIVE,
    ELEMENT_SIZES,
    ENTRY_SIZE,
    HEADER_SIZE,
    MAX_NAMES,
    NAMELIST_UNIT,
    RESERVED_OFFSET,
    header_checksum,
    version_is_accepted,
    version_text,
)
from ._raw import (
    BLOCK_ENTRIES,
    NotARuxFile,
    OldBlock,
    RuxFileView,
    c_string,
    chunk_sizes,
    data_segments,
    find_old_blocks,
    overlapping,
    region_hits,
    u64,
    uncovered,
)

# Said of what only a writable open refuses: reading such a file harms
# nothing, but the first flush could overwrite data.
WRITABLE_REFUSES = "a writable open refuses the file"


@dataclass
class Problem:
    kind: str
    message: str
    entry: Optional[int] = None

    def as_dict(self) -> Dict[str, object]:
        result: Dict[str, object] = {"kind": self.kind, "message": self.message}
        if self.entry is not None:
            result["entry"] = self.entry
        return result


@dataclass
class CheckReport:
    file: str
    problems: List[Problem] = field(default_factory=list)
    entries_checked: int = 0
    names_checked: int = 0
    # Entry problems beyond the per-kind limit: kind -> number not listed.
    omitted: Dict[str, int] = field(default_factory=dict)

    @property
    def clean(self) -> bool:
        return not self.problems and not self.omitted

    def as_dict(self) -> Dict[str, object]:
        return {
            "file": self.file,
            "ok": self.clean,
            "entries_checked": self.entries_checked,
            "names_checked": self.names_checked,
            "problems": [problem.as_dict() for problem in self.problems],
            "omitted": dict(self.omitted),
        }


# Each entry check: kind, and the text that follows "entry I (frame F, name X): ".
ENTRY_CHECKS = (
    "type",
    "flags",
    "frame-capacity",
    "id",
    "id-commit",
    "location-header",
    "size-overflow",
    "bounds",
    "overlap-index",
    "overlap-namelist",
    "overlap-chunk",
    "overlap-old-block",
    "frame-order",
    "sort-order",
    "unused-not-zero",
)


# Per block of entries: the locations and ends of the chunks within the file, and their positions.
_ChunkRanges = Tuple[List[np.ndarray], List[np.ndarray], List[np.ndarray]]


class _EntryFindings:
    """Collects the positions of failing entries per kind, up to a limit per kind."""

    def __init__(self, limit: int):
        self.limit = limit
        self.listed: Dict[str, List[int]] = {kind: [] for kind in ENTRY_CHECKS}
        self.counts: Dict[str, int] = {kind: 0 for kind in ENTRY_CHECKS}
        # Per kind that names one, the other party (an entry or an old block) of each listed entry.
        self.partners: Dict[str, Dict[int, int]] = {kind: {} for kind in ENTRY_CHECKS}

    def add(self, kind: str, failing: np.ndarray, offset: int, partners: Optional[np.ndarray] = None):
        positions = np.flatnonzero(failing)
        if len(positions) == 0:
            return
        self.counts[kind] += len(positions)
        listed = self.listed[kind]
        room = len(positions) if self.limit <= 0 else max(0, self.limit - len(listed))
        listed.extend(int(p) + offset for p in positions[:room])
        if partners is not None:
            for position in positions[:room].tolist():
                self.partners[kind][position + offset] = int(partners[position])


class Checker:
    """Checks every part of a file that the format constrains."""

    def __init__(
        self,
        path,
        limit: int = 20,
        progress: Optional[Callable[[int, int], None]] = None,
    ):
        self.path = os.fspath(path)
        self.limit = limit
        self.progress = progress
        self.report = CheckReport(self.path)
        self.old_blocks: List[OldBlock] = []

    def problem(self, kind: str, message: str, entry: Optional[int] = None):
        self.report.problems.append(Problem(kind, message, entry))

    def run(self) -> CheckReport:
        try:
            view = RuxFileView(self.path)
        except NotARuxFile as error:
            self.problem("not-rux", str(error))
            return self.report
        with view:
            self._check_header(view)
            self._check_blocks(view)
            names = self._check_namelist(view)
            self._check_entries(view, names)
            self._check_commit_record(view, names)
        return self.report

    # -- header and blocks ---------------------------------------------------

    def _check_header(self, view: RuxFileView):
        header = view.header
        if not version_is_accepted(header.rux_version):
            self.problem(
                "version",
                f"header: layout version {version_text(header.rux_version)} "
                f"(0x{header.rux_version:x}) is not one a reader accepts",
            )
        strings = (("application", header.application_field), ("schema", header.schema_field))
        for label, value in strings:
            if value[-1] != 0:
                self.problem("header-string", f"header: the {label} field is not NUL-terminated")
            else:
                try:
                    c_string(value).decode("utf-8")
                except UnicodeDecodeError:
                    self.problem("header-string", f"header: the {label} field is not valid UTF-8")
        tag = COMMIT_RECORD.unpack_from(header.reserved)[0]
        if any(header.reserved) and tag != COMMIT_TAG:
            self.problem(
                "reserved",
                f"header: the reserved bytes (offset {RESERVED_OFFSET} to {HEADER_SIZE - 1}) "
                "are not zero",
            )

    def _check_commit_record(self, view: RuxFileView, names: List[bytes]):
        """A commit record, where there is one, must seal the header and match the index."""
        header = view.header
        tag, entries, name_count, flags, checksum = COMMIT_RECORD.unpack_from(header.reserved)
        if tag != COMMIT_TAG:
            return
        raw = view.header_bytes
        used = view.used_entries()
        where = "header: the commit record"
        if checksum != header_checksum(raw) or any(header.reserved[COMMIT_RECORD.size :]):
            self.problem("commit-record", f"{where} does not match the header's checksum")
        elif flags != COMMIT_WRITER_ACTIVE:
            self.problem("commit-record", f"{where} has unknown flags 0x{flags:x}")
        elif entries > min(used, header.index_allocated_entries) or name_count > len(names):
            self.problem(
                "commit-record",
                f"{where} counts {entries} entries and {name_count} names; "
                f"the file holds {used} and {len(names)}",
            )
        elif entries < used:
            frames = view.index["frame"]
            split = entries > 0 and frames[entries - 1] == frames[entries]
            self.problem(
                "uncommitted-entries",
                f"index block: {used - entries} entries after the {entries} committed ones "
                + ("split a frame" if split else "were left by a writer that died or is flushing")
                + "; readers ignore them and a writable open discards them",
                entries,
            )

    def _check_blocks(self, view: RuxFileView):
        header, size = view.header, view.file_size
        blocks = (
            ("index block", header.index_location, header.index_end),
            ("namelist block", header.namelist_location, header.namelist_end),
        )
        if header.namelist_allocated_entries == 0:
            self.problem("namelist-empty", "namelist block: its size is 0 units")
        for label, start, end in blocks:
            if start < HEADER_SIZE:
                where = (
                    f"at offset {start}, it overlaps the header"
                    if end > start
                    else f"empty, at offset {start} inside the header"
                )
                self.problem("block-header", f"{label}: {where}; {WRITABLE_REFUSES}")
            if end > size:
                self.problem(
                    "block-bounds",
                    f"{label}: offset {start} to {end} extends past the end of the file "
                    f"({size} bytes)",
                )
        (_, index_start, index_end), (_, names_start, names_end) = blocks
        # As a writable open judges it: an empty block strictly inside the other counts too.
        if index_start < names_end and names_start < index_end:
            if index_end == index_start:
                text = (
                    f"index block: empty, at offset {index_start} inside the namelist block "
                    f"({names_start} to {names_end})"
                )
            elif names_end == names_start:
                text = (
                    f"namelist block: empty, at offset {names_start} inside the index block "
                    f"({index_start} to {index_end})"
                )
            else:
                text = (
                    f"index block ({index_start} to {index_end}) and namelist block "
                    f"({names_start} to {names_end}) overlap"
                )
            self.problem("block-overlap", f"{text}; {WRITABLE_REFUSES}")

    def _check_namelist(self, view: RuxFileView) -> List[bytes]:
        header = view.header
        namelist = view.namelist
        if view.namelist_in_file and header.namelist_size and view.byte_at(header.namelist_end - 1):
            self.problem(
                "namelist-terminated",
                "namelist block: it is not terminated (its last byte is not 0)",
            )
        # After the end of the list the block is zero: the version 2 layout says
        # so, and a writable open, which appends names there, wants it of both.
        # The block's last byte (in the file) has its own check above.
        start = header.namelist_location
        in_file = min(header.namelist_end, view.file_size) - start
        count, first = view.nonzero_bytes(start + namelist.end, start + in_file - 1)
        if count:
            self.problem(
                "namelist-tail",
                f"namelist block: {count} non-zero bytes after the end of the list "
                f"(first at block offset {first - start}); {WRITABLE_REFUSES}",
            )
        if header.layout == 1:
            for slot, name in enumerate(namelist.names):
                if len(name) >= NAMELIST_UNIT:
                    self.problem(
                        "namelist-slot",
                        f"namelist slot {slot}: the name is not NUL-terminated within its 64 bytes",
                    )
        if len(namelist.names) > MAX_NAMES:
            self.problem(
                "namelist-count",
                f"namelist block: {len(namelist.names)} names, "
                f"more than the {MAX_NAMES} that ids can number",
            )
        first_id: Dict[bytes, int] = {}
        for name_id, name in enumerate(namelist.names):
            try:
                name.decode("utf-8")
            except UnicodeDecodeError:
                self.problem("name-utf8", f"name {name_id}: {name!r} is not valid UTF-8")
            if name in first_id:
                self.problem(
                    "name-duplicate",
                    f"name {name_id}: {name.decode('utf-8', 'replace')!r} repeats name "
                    f"{first_id[name]}; lookups only reach id {first_id[name]}",
                )
            else:
                first_id[name] = name_id
        self.report.names_checked = len(namelist.names)
        return namelist.names

    # -- index entries -------------------------------------------------------

    def _check_entries(self, view: RuxFileView, names: List[bytes]):
        header = view.header
        index = view.index
        used = view.used_entries()
        findings = _EntryFindings(self.limit)
        total = len(index)
        record = view.commit_record
        # While a writer holds the file, readers see the committed names only.
        commit_limit = None
        if record.limits_view and record.names < len(names):
            commit_limit = (record.entries, min(record.names, MAX_NAMES))
        chunks: _ChunkRanges = ([], [], [])
        previous: Optional[np.ndarray] = None
        for first in range(0, used, BLOCK_ENTRIES):
            last = min(used, first + BLOCK_ENTRIES)
            block = index[first:last]
            self._check_used_block(
                view, block, previous, first, len(names), findings, chunks, commit_limit
            )
            previous = block[-1:]
            if self.progress is not None:
                self.progress(last, total)
        self._check_overlaps(view, used, chunks, names, findings)
        self._check_unused_entries(view, used, total, findings)
        self.report.entries_checked = total
        self._report_entries(view, findings, names, used, header)

    def _check_unused_entries(self, view, used, total, findings):
        """Every entry after the used ones must be zero.

        Only the parts of the block that hold data are read: a sparse file can
        declare an index of hundreds of GiB, and its holes are zero.
        """
        index, location = view.index, view.header.index_location
        segments = data_segments(
            view.path, location + ENTRY_SIZE * used, location + ENTRY_SIZE * total
        )
        for data_start, data_end in segments:
            first = max(used, (data_start - location) // ENTRY_SIZE)
            stop = min(total, -(-(data_end - location) // ENTRY_SIZE))
            for start in range(first, stop, BLOCK_ENTRIES):
                last = min(stop, start + BLOCK_ENTRIES)
                raw = index[start:last].view(np.uint64).reshape(-1, 4)
                findings.add("unused-not-zero", raw.any(axis=1), start)
                if self.progress is not None:
                    self.progress(last, total)
        if self.progress is not None:
            self.progress(total, total)

    def _check_overlaps(self, view, used: int, chunks: "_ChunkRanges", names, findings):
        """No two chunks share a byte, and no chunk covers an old copy of a block.

        One sort of the chunks by location finds every overlap, so a million
        entries cost a fraction of a second; the old blocks are looked for
        in the bytes that nothing covers (find_old_blocks).
        """
        header = view.header
        starts = np.concatenate(chunks[0]) if chunks[0] else np.zeros(0, np.uint64)
        ends = np.concatenate(chunks[1]) if chunks[1] else np.zeros(0, np.uint64)
        positions = np.concatenate(chunks[2]) if chunks[2] else np.zeros(0, np.int64)
        mask, partner = overlapping(starts, ends)
        failing = np.zeros(used, dtype=bool)
        failing[positions[mask]] = True
        partners = np.full(used, -1, dtype=np.int64)
        partners[positions[mask]] = positions[partner[mask]]
        findings.add("overlap-chunk", failing, 0, partners)

        blocks = (
            (0, HEADER_SIZE),
            (header.index_location, header.index_end),
            (header.namelist_location, header.namelist_end),
        )
        block_starts = np.array([u64(start) for start, _ in blocks], dtype=np.uint64)
        block_ends = np.array([u64(end) for _, end in blocks], dtype=np.uint64)
        gaps = uncovered(
            np.concatenate((block_starts, starts)), np.concatenate((block_ends, ends)), view.file_size
        )
        self.old_blocks = [
            block
            for block in find_old_blocks(view.path, gaps, view.index[:used], names)
            if block.end > block.start
        ]
        hits = region_hits(starts, ends, [(block.start, block.end) for block in self.old_blocks])
        failing[:] = False
        failing[positions[hits >= 0]] = True
        partners[:] = -1
        partners[positions[hits >= 0]] = hits[hits >= 0]
        findings.add("overlap-old-block", failing, 0, partners)

    def _check_used_block(
        self, view, block, previous, offset, name_count, findings, chunks, commit_limit
    ):
        header, size = view.header, view.file_size
        types = block["type"]
        findings.add("type", (types == 0) | (types > CHARACTER), offset)
        findings.add("flags", block["flags"] != 0, offset)
        capacity = np.uint64(header.index_allocated_entries)
        findings.add("frame-capacity", block["frame"] >= capacity, offset)
        findings.add("id", block["id"] >= name_count, offset)
        if commit_limit is not None:
            committed, visible = commit_limit
            below = np.arange(offset, offset + len(block)) < committed
            ids = block["id"]
            findings.add("id-commit", below & (ids >= visible) & (ids < name_count), offset)

        locations = block["location"].view(np.uint64)
        findings.add("location-header", locations < np.uint64(HEADER_SIZE), offset)
        sizes, overflow = chunk_sizes(block)
        findings.add("size-overflow", overflow, offset)
        with np.errstate(over="ignore"):
            ends = locations + sizes
        past_end = (ends < locations) | (ends > np.uint64(size))
        findings.add("bounds", past_end & ~overflow, offset)
        has_data = sizes > 0
        for kind, start, end in (
            ("overlap-index", header.index_location, header.index_end),
            ("overlap-namelist", header.namelist_location, header.namelist_end),
        ):
            inside = (locations < u64(end)) & (ends > u64(start))
            overlaps = has_data & inside & ~past_end
            findings.add(kind, overlaps, offset)
        # Whatever lies within the file takes part in the overlap checks.
        in_file = has_data & ~past_end & ~overflow
        chunks[0].append(locations[in_file])
        chunks[1].append(ends[in_file])
        chunks[2].append(np.flatnonzero(in_file) + offset)

        frames, ids = block["frame"], block["id"]
        if previous is not None:
            frames = np.concatenate((previous["frame"], frames))
            ids = np.concatenate((previous["id"], ids))
            shift = 0
        else:
            shift = 1
        # Pairs (i - 1, i); with no previous block the first entry has no pair.
        going_back = frames[1:] < frames[:-1]
        findings.add("frame-order", going_back, offset + shift)
        if header.layout == 2:
            same_frame = frames[1:] == frames[:-1]
            findings.add("sort-order", same_frame & (ids[1:] < ids[:-1]), offset + shift)

    def _report_entries(self, view, findings: _EntryFindings, names, used, header):
        index = view.index
        for kind in ENTRY_CHECKS:
            positions = np.array(findings.listed[kind], dtype=np.int64)
            if len(positions):
                # One fancy-indexing read each for the entries and their predecessors
                # keeps listing many problems fast.
                rows = index[positions].tolist()
                previous = index[np.maximum(positions - 1, 0)].tolist()
                partners = findings.partners[kind]
                for position, row, before in zip(positions.tolist(), rows, previous):
                    partner = partners.get(position, -1)
                    if kind == "overlap-old-block":
                        other = self.old_blocks[partner].describe()
                    else:
                        other = f"entry {partner}"
                    text = _entry_message(kind, position, row, before, names, used, view, other)
                    self.problem(kind, text, position)
            omitted = findings.counts[kind] - len(findings.listed[kind])
            if omitted:
                self.report.omitted[kind] = omitted
                self.problem(kind, f"... and {omitted} more entries with the same problem ({kind})")


def _entry_message(kind, position, row, before, names, used, view, other) -> str:
    """The line for one failing entry.

    ``row`` and ``before`` (the entry before it) are tuples
    (frame, N, location, M, id, type, flags); ``other`` names what an
    overlapping entry overlaps.
    """
    frame, rows, location, columns, name_id, type_code, flags = row
    if kind == "unused-not-zero":
        return (
            f"entry {position}: follows the end of the used entries (entry {used}) but is not zero"
        )
    if name_id < len(names):
        label = f"name {names[name_id].decode('utf-8', 'replace')!r}"
    else:
        label = f"id {name_id}"
    subject = f"entry {position} (frame {frame}, {label})"
    location &= 0xFFFFFFFFFFFFFFFF
    element = int(ELEMENT_SIZES[type_code])
    data = f"data at offset {location}, {rows * columns * element} bytes,"
    if kind == "type":
        detail = f"type code {type_code} is not an element type"
    elif kind == "flags":
        detail = f"flags are {flags}, not 0"
    elif kind == "frame-capacity":
        capacity = view.header.index_allocated_entries
        detail = f"frame {frame} is not below the index capacity {capacity}"
    elif kind == "id":
        detail = f"name id {name_id} is not below the number of names ({len(names)})"
    elif kind == "id-commit":
        counted = min(view.commit_record.names, MAX_NAMES)
        detail = f"name id {name_id} is not below the {counted} names that the commit record counts"
    elif kind == "location-header":
        detail = f"data location {location} lies inside the header"
    elif kind == "size-overflow":
        detail = f"its size {rows} x {columns} x {element} bytes overflows 64 bits"
    elif kind == "bounds":
        detail = f"{data} end past the end of the file ({view.file_size} bytes)"
    elif kind == "overlap-index":
        detail = f"{data} overlap the index block"
    elif kind == "overlap-namelist":
        detail = f"{data} overlap the namelist block"
    elif kind == "overlap-chunk":
        detail = f"{data} overlap the data of {other}"
    elif kind == "overlap-old-block":
        detail = f"{data} overlap {other}"
    elif kind == "frame-order":
        detail = f"frame {frame} follows frame {before[0]} of entry {position - 1}"
    elif kind == "sort-order":
        detail = (
            f"name id {name_id} follows id {before[4]} in the same frame; "
            "the version 2 layout sorts entries by (frame, id)"
        )
    else:
        raise AssertionError(kind)
    return f"{subject}: {detail}"


def check(
    path, limit: int = 20, progress: Optional[Callable[[int, int], None]] = None
) -> CheckReport:
    """Checks a whole file; ``limit`` caps the entries listed per kind of problem (0: all)."""
    return Checker(path, limit, progress).run()
