"""Reading a rux file's header, index and namelist directly, without the library.

The command-line tool uses this for ``info`` and ``check``: it has to describe
and diagnose files that the library refuses to open, so nothing here goes
through :mod:`rux.fl`. The index block is memory-mapped and examined with
vectorised numpy operations in blocks, so files with millions of entries are
checked in seconds and in bounded memory.
"""

from __future__ import annotations

import errno
import os
import struct
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterator, List, Optional, Tuple

import numpy as np

MAGIC = 0x65DF65DF65DF65DF
HEADER_SIZE = 256
ENTRY_SIZE = 32
NAMELIST_UNIT = 64
MAX_NAMES = 65535

_HEADER = struct.Struct("<QQQQQII64s64s80s")

# The commit record in the header's reserved bytes (docs/format.md): tag,
# committed entries, committed names, flags, checksum; zero after it.
_COMMIT_RECORD = struct.Struct("<QQIIQ")
COMMIT_TAG = 0x54494D4F43585552  # "RUXCOMIT"
COMMIT_WRITER_ACTIVE = 1


def header_checksum(header: bytes) -> int:
    """FNV-1a (64-bit) of the 256 header bytes, the checksum field taken as zero."""
    value = 0xCBF29CE484222325
    for byte in header[:200] + bytes(8) + header[208:HEADER_SIZE]:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return value

ENTRY_DTYPE = np.dtype(
    [
        ("frame", "<u8"),
        ("N", "<u8"),
        ("location", "<i8"),
        ("M", "<u4"),
        ("id", "<u2"),
        ("type", "u1"),
        ("flags", "u1"),
    ]
)
assert ENTRY_DTYPE.itemsize == ENTRY_SIZE

TYPE_NAMES = {
    1: "uint8",
    2: "uint16",
    3: "uint32",
    4: "uint64",
    5: "int8",
    6: "int16",
    7: "int32",
    8: "int64",
    9: "float32",
    10: "float64",
    11: "char",
}
CHARACTER = 11

# Element size per type code; 0 for the codes that are not types.
ELEMENT_SIZES = np.zeros(256, dtype=np.uint64)
ELEMENT_SIZES[1:12] = [1, 2, 4, 8, 1, 2, 4, 8, 4, 8, 1]

# Entries are examined this many at a time (8 MiB of index per block).
BLOCK_ENTRIES = 1 << 18

_U64_MAX = np.uint64(0xFFFFFFFFFFFFFFFF)


def _u64(offset: int) -> np.uint64:
    """An offset as uint64; a block end computed past 2^64 - 1 (a corrupt header) saturates."""
    return np.uint64(min(offset, 0xFFFFFFFFFFFFFFFF))


def data_segments(path, start: int, end: int) -> List[Tuple[int, int]]:
    """The parts of [start, end) of a file that may hold data, skipping holes.

    A sparse file can declare blocks of hundreds of GiB that hold nothing; the
    holes read as zeros, so whoever scans for non-zero bytes skips them. Where
    the file system cannot tell holes apart, the whole range is one segment.
    """
    end = min(end, os.path.getsize(path))
    if start >= end:
        return []
    seek_data = getattr(os, "SEEK_DATA", None)
    seek_hole = getattr(os, "SEEK_HOLE", None)
    if seek_data is None or seek_hole is None:
        return [(start, end)]
    segments = []
    descriptor = os.open(path, os.O_RDONLY)
    try:
        position = start
        while position < end:
            try:
                data = os.lseek(descriptor, position, seek_data)
            except OSError as error:
                if error.errno == errno.ENXIO:  # only a hole follows
                    break
                return [(start, end)]
            if data >= end:
                break
            hole = os.lseek(descriptor, data, seek_hole)
            segments.append((data, min(hole, end)))
            position = hole
    finally:
        os.close(descriptor)
    return segments


class NotARuxFile(Exception):
    """The file is too short for a header or does not start with the magic number."""


def version_text(version: int) -> str:
    return f"{version >> 16}.{version & 0xFFFF}"


def version_is_accepted(version: int) -> bool:
    return version == 0x3 or 0x10000 <= version <= 0x2FFFF


def layout_of(version: int) -> int:
    """1 for the version 1 layout (below 2.0), 2 otherwise."""
    return 1 if version < 0x20000 else 2


def _c_string(field_bytes: bytes) -> bytes:
    end = field_bytes.find(b"\0")
    return field_bytes if end < 0 else field_bytes[:end]


@dataclass
class Header:
    magic: int
    index_location: int
    index_allocated_entries: int
    namelist_location: int
    namelist_allocated_entries: int
    schema_version: int
    rux_version: int
    application_field: bytes
    schema_field: bytes
    reserved: bytes

    @property
    def layout(self) -> int:
        return layout_of(self.rux_version)

    @property
    def application(self) -> str:
        return _c_string(self.application_field).decode("utf-8", "replace")

    @property
    def schema(self) -> str:
        return _c_string(self.schema_field).decode("utf-8", "replace")

    @property
    def index_end(self) -> int:
        return self.index_location + ENTRY_SIZE * self.index_allocated_entries

    @property
    def namelist_size(self) -> int:
        return NAMELIST_UNIT * self.namelist_allocated_entries

    @property
    def namelist_end(self) -> int:
        return self.namelist_location + self.namelist_size


@dataclass
class Namelist:
    names: List[bytes]
    # Offset of the terminating empty name, or the block's size when there is none.
    end: int
    block: bytes


def parse_namelist(block: bytes, layout: int) -> Namelist:
    """Splits a namelist block into its names the way the library does on open.

    A version 1 name is read up to its NUL like a C string, so a slot without
    a NUL runs on into the next slot; the next name still starts at the next
    64-byte boundary.
    """
    names = []
    position = 0
    while position < len(block) and block[position] != 0:
        end = block.find(b"\0", position)
        if end < 0:
            end = len(block)
        names.append(block[position:end])
        position = end + 1 if layout == 2 else position + NAMELIST_UNIT
    return Namelist(names, min(position, len(block)), block)


class RuxFileView:
    """Read-only raw access to one file: its header, index block and namelist block."""

    def __init__(self, path):
        self.path = os.fspath(path)
        with open(self.path, "rb") as source:
            self.file_size = os.fstat(source.fileno()).st_size
            raw = source.read(HEADER_SIZE)
        if len(raw) < HEADER_SIZE:
            raise NotARuxFile(
                f"Not a RUX file: {self.path} ({len(raw)} bytes, shorter than the "
                f"{HEADER_SIZE}-byte header)"
            )
        self.header = Header(*_HEADER.unpack(raw))
        if self.header.magic != MAGIC:
            raise NotARuxFile(f"Not a RUX file: {self.path} (no rux magic number)")
        self._index: Optional[np.ndarray] = None
        self._namelist: Optional[Namelist] = None

    # -- index -----------------------------------------------------------------

    @property
    def entries_in_file(self) -> int:
        """How many entries of the index block lie wholly within the file."""
        header = self.header
        if header.index_location >= self.file_size:
            return 0
        fitting = (self.file_size - header.index_location) // ENTRY_SIZE
        return min(header.index_allocated_entries, fitting)

    @property
    def index(self) -> np.ndarray:
        """The index block (the part within the file) as a read-only structured memory map."""
        if self._index is None:
            count = self.entries_in_file
            if count == 0:
                self._index = np.zeros(0, dtype=ENTRY_DTYPE)
            else:
                self._index = np.memmap(
                    self.path,
                    dtype=ENTRY_DTYPE,
                    mode="r",
                    offset=self.header.index_location,
                    shape=(count,),
                )
        return self._index

    def used_entries(self) -> int:
        """Number of used entries: the position of the first one with location 0."""
        index = self.index
        for start in range(0, len(index), BLOCK_ENTRIES):
            unused = np.flatnonzero(index["location"][start : start + BLOCK_ENTRIES] == 0)
            if len(unused):
                return start + int(unused[0])
        return len(index)

    def entries_of_frame(self, frame: int, used: Optional[int] = None) -> np.ndarray:
        """Positions of the used entries of one frame, in index order."""
        used = self.used_entries() if used is None else used
        frames = self.index["frame"][:used]
        return np.flatnonzero(frames == np.uint64(frame))

    # -- namelist --------------------------------------------------------------

    @property
    def namelist_in_file(self) -> bool:
        return self.header.namelist_end <= self.file_size

    @property
    def namelist(self) -> Namelist:
        """The names of the namelist block (as much of it as lies within the file)."""
        if self._namelist is None:
            header = self.header
            block = b""
            if header.namelist_location < self.file_size:
                with open(self.path, "rb") as source:
                    source.seek(header.namelist_location)
                    block = source.read(
                        min(header.namelist_size, self.file_size - header.namelist_location)
                    )
            self._namelist = parse_namelist(block, header.layout)
        return self._namelist

    def names(self) -> List[str]:
        return [name.decode("utf-8", "replace") for name in self.namelist.names]

    def close(self):
        self._index = None

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()


def chunk_sizes(entries: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Data size in bytes of each entry, and where N x M x size does not fit in 64 bits."""
    element = ELEMENT_SIZES[entries["type"]]
    row = entries["M"].astype(np.uint64) * element
    limit = _U64_MAX // np.maximum(row, np.uint64(1))
    overflow = entries["N"] > limit
    with np.errstate(over="ignore"):
        sizes = entries["N"] * row
    return sizes, overflow


def covered_bytes(starts: np.ndarray, ends: np.ndarray, file_size: int) -> int:
    """Bytes of [0, file_size) that lie in at least one of the intervals [start, end)."""
    starts = np.minimum(starts.astype(np.uint64), np.uint64(file_size))
    ends = np.minimum(ends.astype(np.uint64), np.uint64(file_size))
    keep = ends > starts
    starts, ends = starts[keep], ends[keep]
    if len(starts) == 0:
        return 0
    order = np.argsort(starts, kind="stable")
    starts, ends = starts[order], ends[order]
    reach = np.maximum.accumulate(ends)
    # A new run of overlapping intervals begins where an interval starts past
    # everything before it.
    begins = np.concatenate(([True], starts[1:] > reach[:-1]))
    first = np.flatnonzero(begins)
    run_ends = np.maximum.reduceat(ends, first)
    return int(np.sum(run_ends - starts[first], dtype=np.uint64))


@dataclass
class Summary:
    """The figures that ``rux info`` prints."""

    file: str
    application: str
    schema: str
    schema_version: str
    rux_version: str
    layout: int
    frames: int
    names: int
    index_entries_used: int
    index_entries_capacity: int
    index_location: int
    namelist_location: int
    namelist_bytes_used: int
    namelist_bytes: int
    chunk_bytes: int
    file_size: int
    unreferenced_bytes: int

    def as_dict(self) -> Dict[str, object]:
        return dict(self.__dict__)


def summarize(view: RuxFileView) -> Summary:
    header = view.header
    used = view.used_entries()
    namelist = view.namelist
    frames = int(view.index["frame"][used - 1]) + 1 if used else 0
    starts = [np.array([0, header.index_location, header.namelist_location], dtype=np.uint64)]
    ends = [np.array([_u64(end) for end in (HEADER_SIZE, header.index_end, header.namelist_end)])]
    chunk_bytes = 0
    for first in range(0, used, BLOCK_ENTRIES):
        block = view.index[first : min(used, first + BLOCK_ENTRIES)]
        sizes, overflow = chunk_sizes(block)
        sizes[overflow] = _U64_MAX
        locations = block["location"].view(np.uint64)
        with np.errstate(over="ignore"):
            block_ends = locations + sizes
        block_ends[block_ends < locations] = _U64_MAX
        starts.append(locations)
        ends.append(block_ends)
        chunk_bytes += int(np.sum(sizes[~overflow], dtype=np.uint64))
    covered = covered_bytes(np.concatenate(starts), np.concatenate(ends), view.file_size)
    return Summary(
        file=view.path,
        application=header.application,
        schema=header.schema,
        schema_version=version_text(header.schema_version),
        rux_version=version_text(header.rux_version),
        layout=header.layout,
        frames=frames,
        names=len(namelist.names),
        index_entries_used=used,
        index_entries_capacity=header.index_allocated_entries,
        index_location=header.index_location,
        namelist_location=header.namelist_location,
        namelist_bytes_used=namelist.end,
        namelist_bytes=header.namelist_size,
        chunk_bytes=chunk_bytes,
        file_size=view.file_size,
        unreferenced_bytes=view.file_size - covered,
    )


# -- the integrity check --------------------------------------------------------


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
    "location-header",
    "size-overflow",
    "bounds",
    "overlap-index",
    "overlap-namelist",
    "frame-order",
    "sort-order",
    "unused-not-zero",
)


class _EntryFindings:
    """Collects the positions of failing entries per kind, up to a limit per kind."""

    def __init__(self, limit: int):
        self.limit = limit
        self.listed: Dict[str, List[int]] = {kind: [] for kind in ENTRY_CHECKS}
        self.counts: Dict[str, int] = {kind: 0 for kind in ENTRY_CHECKS}

    def add(self, kind: str, failing: np.ndarray, offset: int):
        positions = np.flatnonzero(failing)
        if len(positions) == 0:
            return
        self.counts[kind] += len(positions)
        listed = self.listed[kind]
        room = len(positions) if self.limit <= 0 else max(0, self.limit - len(listed))
        listed.extend(int(p) + offset for p in positions[:room])


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
                    _c_string(value).decode("utf-8")
                except UnicodeDecodeError:
                    self.problem("header-string", f"header: the {label} field is not valid UTF-8")
        tag = _COMMIT_RECORD.unpack_from(header.reserved)[0]
        if any(header.reserved) and tag != COMMIT_TAG:
            self.problem("reserved", "header: the reserved bytes (offset 176 to 255) are not zero")

    def _check_commit_record(self, view: RuxFileView, names: List[bytes]):
        """A commit record, where there is one, must seal the header and match the index."""
        header = view.header
        tag, entries, name_count, flags, checksum = _COMMIT_RECORD.unpack_from(header.reserved)
        if tag != COMMIT_TAG:
            return
        with open(self.path, "rb") as stream:
            raw = stream.read(HEADER_SIZE)
        used = view.used_entries()
        where = "header: the commit record"
        if checksum != header_checksum(raw) or any(header.reserved[_COMMIT_RECORD.size :]):
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
            if start < HEADER_SIZE and end > start:
                self.problem("block-header", f"{label}: at offset {start}, it overlaps the header")
            if end > size:
                self.problem(
                    "block-bounds",
                    f"{label}: offset {start} to {end} extends past the end of the file "
                    f"({size} bytes)",
                )
        (_, index_start, index_end), (_, names_start, names_end) = blocks
        both_used = index_end > index_start and names_end > names_start
        if both_used and index_start < names_end and names_start < index_end:
            self.problem(
                "block-overlap",
                f"index block ({index_start} to {index_end}) and namelist block "
                f"({names_start} to {names_end}) overlap",
            )

    def _check_namelist(self, view: RuxFileView) -> List[bytes]:
        header = view.header
        namelist = view.namelist
        block = namelist.block
        if view.namelist_in_file and block and block[-1] != 0:
            self.problem(
                "namelist-terminated",
                "namelist block: it is not terminated (its last byte is not 0)",
            )
        if header.layout == 2:
            # The last byte has its own check above.
            tail = np.frombuffer(block, dtype=np.uint8)[namelist.end : len(block) - 1]
            stray = np.flatnonzero(tail)
            if len(stray):
                self.problem(
                    "namelist-tail",
                    f"namelist block: {len(stray)} non-zero bytes after the end of the list "
                    f"(first at block offset {namelist.end + int(stray[0])})",
                )
        else:
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
        previous: Optional[np.ndarray] = None
        for first in range(0, used, BLOCK_ENTRIES):
            last = min(used, first + BLOCK_ENTRIES)
            block = index[first:last]
            self._check_used_block(view, block, previous, first, len(names), findings)
            previous = block[-1:]
            if self.progress is not None:
                self.progress(last, total)
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

    def _check_used_block(self, view, block, previous, offset, name_count, findings):
        header, size = view.header, view.file_size
        types = block["type"]
        findings.add("type", (types == 0) | (types > CHARACTER), offset)
        findings.add("flags", block["flags"] != 0, offset)
        capacity = np.uint64(header.index_allocated_entries)
        findings.add("frame-capacity", block["frame"] >= capacity, offset)
        findings.add("id", block["id"] >= name_count, offset)

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
            inside = (locations < _u64(end)) & (ends > _u64(start))
            overlaps = has_data & inside & ~past_end
            findings.add(kind, overlaps, offset)

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
                for position, row, before in zip(positions.tolist(), rows, previous):
                    text = _entry_message(kind, position, row, before, names, used, view)
                    self.problem(kind, text, position)
            omitted = findings.counts[kind] - len(findings.listed[kind])
            if omitted:
                self.report.omitted[kind] = omitted
                self.problem(kind, f"... and {omitted} more entries with the same problem ({kind})")


def _entry_message(kind, position, row, before, names, used, view) -> str:
    """The line for one failing entry.

    ``row`` and ``before`` (the entry before it) are tuples
    (frame, N, location, M, id, type, flags).
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


def iter_frame_chunks(view: RuxFileView, frame: int) -> Iterator[Tuple[str, int, int, int, int]]:
    """(name, type code, N, M, bytes) of each entry of one frame, in index order."""
    names = view.names()
    for position in view.entries_of_frame(frame):
        entry = view.index[position]
        name_id = int(entry["id"])
        name = names[name_id] if name_id < len(names) else f"<id {name_id}>"
        type_code = int(entry["type"])
        rows, columns = int(entry["N"]), int(entry["M"])
        yield name, type_code, rows, columns, rows * columns * int(ELEMENT_SIZES[type_code])
