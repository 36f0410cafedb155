"""Raw access to a rux file's header, index block and namelist block, without the library.

The command-line tool's ``info`` and ``check`` and ``rux recover`` have to
describe and diagnose files that the library refuses to open, so nothing here
goes through :mod:`rux.fl`. The index block is memory-mapped and examined with
vectorised numpy operations in blocks, so files with millions of entries are
read in bounded memory; the namelist block is read only where it holds data.
"""

from __future__ import annotations

import errno
import mmap
import os
from dataclasses import dataclass
from typing import Iterator, List, Optional, Sequence, Tuple

import numpy as np

from ._format import (
    ENTRY_DTYPE,
    ENTRY_SIZE,
    HEADER,
    HEADER_SIZE,
    MAGIC,
    MAX_NAMES,
    NAMELIST_UNIT,
    ELEMENT_SIZES,
    CommitRecord,
    Namelist,
    encode_names,
    layout_of,
    parse_commit_record,
    parse_namelist,
)

# Entries are examined this many at a time (8 MiB of index per block).
BLOCK_ENTRIES = 1 << 18
# Bytes of a block scanned at a time for stray non-zero bytes.
SCAN_BYTES = 8 << 20

U64_MAX = np.uint64(0xFFFFFFFFFFFFFFFF)


def u64(offset: int) -> np.uint64:
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

def c_string(field_bytes: bytes) -> bytes:
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
        return c_string(self.application_field).decode("utf-8", "replace")

    @property
    def schema(self) -> str:
        return c_string(self.schema_field).decode("utf-8", "replace")

    @property
    def index_end(self) -> int:
        return self.index_location + ENTRY_SIZE * self.index_allocated_entries

    @property
    def namelist_size(self) -> int:
        return NAMELIST_UNIT * self.namelist_allocated_entries

    @property
    def namelist_end(self) -> int:
        return self.namelist_location + self.namelist_size

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
        self.header_bytes = raw
        self.header = Header(*HEADER.unpack(raw))
        if self.header.magic != MAGIC:
            raise NotARuxFile(f"Not a RUX file: {self.path} (no rux magic number)")
        self.commit_record: CommitRecord = parse_commit_record(raw)
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

    def visible_entries(self) -> int:
        """The entries that readers see: the committed ones while a writer holds the file."""
        if self.commit_record.limits_view:
            return min(self.commit_record.entries, len(self.index))
        return self.used_entries()

    def visible_names(self) -> int:
        """The names that readers see: the committed ones while a writer holds the file."""
        count = min(len(self.namelist.names), MAX_NAMES)
        if self.commit_record.limits_view:
            count = min(count, self.commit_record.names)
        return count

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
        """The names of the namelist block (as much of it as lies within the file).

        ``block`` holds the start of the block up to the end of its list only.
        """
        if self._namelist is None:
            self._namelist = parse_namelist(self._namelist_head(), self.header.layout)
        return self._namelist

    def _namelist_head(self) -> bytes:
        """The namelist block from its start to past the end of its list.

        A header can declare a block of any size: it is read in growing pieces
        until the list ends, and only as far as the file holds data, since a
        hole reads as zeros and so ends the list.
        """
        start = self.header.namelist_location
        end = min(self.header.namelist_end, self.file_size)
        if start >= end:
            return b""
        segments = data_segments(self.path, start, end)
        stop = segments[0][1] if segments and segments[0][0] == start else start
        head = b""
        piece = 1 << 16
        with open(self.path, "rb") as source:
            source.seek(start)
            while start + len(head) < stop:
                more = source.read(min(piece, stop - start - len(head)))
                if not more:
                    break
                head += more
                piece *= 2
                if parse_namelist(head, self.header.layout).end < len(head):
                    return head
        # Zeros follow up to the end of the block in the file; one slot of them
        # ends the last name as the whole block would.
        return head + bytes(max(0, min(NAMELIST_UNIT, end - start - len(head))))

    def byte_at(self, offset: int) -> int:
        with open(self.path, "rb") as source:
            source.seek(offset)
            return source.read(1)[0]

    def nonzero_bytes(self, start: int, end: int) -> Tuple[int, Optional[int]]:
        """How many bytes of [start, end) are not zero, and the offset of the first."""
        count, first = 0, None
        with open(self.path, "rb") as source:
            for data_start, data_end in data_segments(self.path, start, end):
                for position in range(data_start, data_end, SCAN_BYTES):
                    source.seek(position)
                    piece = source.read(min(SCAN_BYTES, data_end - position))
                    stray = np.flatnonzero(np.frombuffer(piece, dtype=np.uint8))
                    if len(stray) and first is None:
                        first = position + int(stray[0])
                    count += len(stray)
        return count, first

    def names(self) -> List[str]:
        return [name.decode("utf-8", "replace") for name in self.namelist.names]

    def close(self):
        self._index = None

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()


# -- byte ranges ---------------------------------------------------------------------


def uncovered(starts: np.ndarray, ends: np.ndarray, size: int) -> Tuple[np.ndarray, np.ndarray]:
    """The ranges [start, end) of [0, size) that none of the ranges given covers, in order."""
    starts = np.minimum(np.asarray(starts, dtype=np.uint64), np.uint64(size))
    ends = np.minimum(np.asarray(ends, dtype=np.uint64), np.uint64(size))
    keep = ends > starts
    starts, ends = starts[keep], ends[keep]
    if len(starts) == 0:
        whole = np.array([0, size][: 2 if size else 0], dtype=np.uint64)
        return whole[:1], whole[1:]
    order = np.argsort(starts)
    starts, ends = starts[order], ends[order]
    reach = np.maximum.accumulate(ends)
    # A gap lies before each range that starts past everything before it.
    gap_starts = np.concatenate(([np.uint64(0)], reach))
    gap_ends = np.concatenate((starts, [np.uint64(size)]))
    open_gaps = gap_ends > gap_starts
    return gap_starts[open_gaps], gap_ends[open_gaps]


def overlapping(starts: np.ndarray, ends: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Which of the non-empty ranges [start, end) share a byte with another, and one such other.

    Sorted by start, a range overlaps one before it when it starts below the
    furthest end so far (that range's), and the next one when it ends past the
    next start; every overlapping range meets one of the two, so one sort
    covers them all. Returns the mask and, per range, the position of a range
    it overlaps (-1 for none).
    """
    count = len(starts)
    partner = np.full(count, -1, dtype=np.int64)
    if count < 2:
        return np.zeros(count, dtype=bool), partner
    order = np.argsort(starts)
    starts, ends = starts[order], ends[order]
    reach = np.maximum.accumulate(ends)
    steps = np.arange(count)
    # The range whose end is the furthest end so far.
    holder = np.maximum.accumulate(np.where(ends == reach, steps, 0))
    sorted_partner = np.full(count, -1, dtype=np.int64)
    before = starts[1:] < reach[:-1]
    sorted_partner[1:][before] = holder[:-1][before]
    after = np.zeros(count, dtype=bool)
    after[:-1] = ends[:-1] > starts[1:]
    after &= sorted_partner < 0
    sorted_partner[after] = steps[after] + 1
    found = sorted_partner >= 0
    partner[order[found]] = order[sorted_partner[found]]
    mask = np.zeros(count, dtype=bool)
    mask[order] = found
    return mask, partner


def region_hits(starts: np.ndarray, ends: np.ndarray, regions: Sequence[Tuple[int, int]]) -> np.ndarray:
    """Per range [start, end), the position of the first region it shares a byte with, or -1."""
    hits = np.full(len(starts), -1, dtype=np.int64)
    for position, (low, high) in enumerate(regions):
        inside = (starts < u64(high)) & (ends > u64(low)) & (hits < 0)
        hits[inside] = position
    return hits


# -- old copies of the blocks ------------------------------------------------------

# Copies of a block examined at most per search (a hostile file can repeat a
# block's first bytes everywhere).
MAX_COPIES = 64
# Matches of a pattern looked at per search, aligned or not.
_MAX_MATCHES = 4096
# Ranges longer than this are searched only where the file holds data.
_SPARSE_GAP = 1 << 20
# Gaps closer than this are searched together, with the bytes between them.
_MERGE_DISTANCE = 4096


@dataclass
class OldBlock:
    """Bytes of an old copy of a block: the entries or names that equal the current ones."""

    kind: str  # "index" or "namelist"
    start: int
    end: int

    def describe(self) -> str:
        return f"an old copy of the {self.kind} block (offset {self.start} to {self.end})"


def find_old_blocks(
    path,
    gaps: Tuple[np.ndarray, np.ndarray],
    entries: np.ndarray,
    names: List[bytes],
) -> List[OldBlock]:
    """The old copies of the index and namelist blocks that start in the gaps given.

    A block that grows is written whole at the end of the file and the old one
    stays behind, holding the same first entries (or names) as the current
    block; so the gaps of a file (bytes that no block and no chunk covers) are
    searched for the current block's first entry, 32-byte aligned as rux
    aligns grown blocks, and for its first name. A copy's bytes are those that
    equal the current block's start, whole entries or names: a chunk that
    covers them holds no data of its own. Little more than the gaps is read,
    so a file written by rux costs about the bytes of its old blocks.
    """
    found: List[OldBlock] = []
    size = os.path.getsize(path)
    patterns = []
    if len(entries):
        patterns.append(("index", entries[:1].tobytes(), ENTRY_SIZE))
    if names and names[0]:
        patterns.append(("namelist", names[0] + b"\0", 1))
    if not patterns or size == 0:
        return found
    ranges = _searchable(path, gaps)
    encodings = [(layout, encode_names(names, layout)) for layout in (2, 1)]
    with open(path, "rb") as source, mmap.mmap(source.fileno(), 0, access=mmap.ACCESS_READ) as view:
        for kind, pattern, alignment in patterns:
            for offset in _find_in_gaps(view, pattern, alignment, gaps, ranges):
                if kind == "index":
                    length = ENTRY_SIZE * _equal_entries(view, offset, entries)
                else:
                    length = max(
                        _equal_names(view, offset, names, encoded, layout)
                        for layout, encoded in encodings
                    )
                found.append(OldBlock(kind, offset, offset + length))
    return found


def _searchable(path, gaps: Tuple[np.ndarray, np.ndarray]) -> List[Tuple[int, int]]:
    """Ranges to search that hold every gap: gaps less than a page apart are searched as one
    (so a million small gaps cost a few searches, not a million), and the long ranges only
    where the file holds data."""
    starts, ends = gaps
    if len(starts) == 0:
        return []
    apart = starts[1:] - ends[:-1] > np.uint64(_MERGE_DISTANCE)
    first = np.concatenate(([0], np.flatnonzero(apart) + 1))
    last = np.concatenate((first[1:] - 1, [len(starts) - 1]))
    ranges: List[Tuple[int, int]] = []
    for start, end in zip(starts[first].tolist(), ends[last].tolist()):
        if end - start > _SPARSE_GAP:
            ranges.extend(data_segments(path, start, end))
        else:
            ranges.append((start, end))
    return ranges


def _find_in_gaps(view, pattern: bytes, alignment: int, gaps, ranges) -> List[int]:
    """Aligned offsets within the gaps at which the pattern starts (it may run on past a gap)."""
    found: List[int] = []
    matches = 0
    gap_starts, gap_ends = gaps
    for start, end in ranges:
        stop = min(len(view), end + len(pattern) - 1)
        position = view.find(pattern, start, stop)
        while 0 <= position < end:
            matches += 1
            gap = int(np.searchsorted(gap_starts, np.uint64(position), side="right")) - 1
            if position % alignment == 0 and gap >= 0 and position < int(gap_ends[gap]):
                found.append(position)
            if len(found) >= MAX_COPIES or matches >= _MAX_MATCHES:
                return found
            position = view.find(pattern, position + 1, stop)
    return found


def _equal_entries(view, offset: int, entries: np.ndarray) -> int:
    """How many entries from ``offset`` equal the first ones of ``entries``."""
    total = min(len(entries), (len(view) - offset) // ENTRY_SIZE)
    count = 0
    while count < total:
        step = min(BLOCK_ENTRIES, total - count)
        start = offset + ENTRY_SIZE * count
        here = np.frombuffer(view[start : start + ENTRY_SIZE * step], dtype=np.uint8)
        there = np.frombuffer(entries[count : count + step].tobytes(), dtype=np.uint8)
        differs = np.flatnonzero((here != there).reshape(step, ENTRY_SIZE).any(axis=1))
        if len(differs):
            return count + int(differs[0])
        count += step
    return count


def _equal_names(view, offset: int, names: List[bytes], encoded: bytes, layout: int) -> int:
    """Bytes from ``offset`` that hold the first names of the list in a layout's encoding.

    Whole names only: a copy ends where a name differs.
    """
    here = np.frombuffer(view[offset : offset + len(encoded)], dtype=np.uint8)
    there = np.frombuffer(encoded[: len(here)], dtype=np.uint8)
    differs = np.flatnonzero(here != there)
    equal = int(differs[0]) if len(differs) else len(here)
    if layout == 1:
        return equal - equal % NAMELIST_UNIT
    ends = np.cumsum([len(name) + 1 for name in names])
    whole = np.searchsorted(ends, equal, side="right")
    return int(ends[whole - 1]) if whole else 0


def chunk_sizes(entries: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Data size in bytes of each entry, and where N x M x size does not fit in 64 bits."""
    element = ELEMENT_SIZES[entries["type"]]
    row = entries["M"].astype(np.uint64) * element
    limit = U64_MAX // np.maximum(row, np.uint64(1))
    overflow = entries["N"] > limit
    with np.errstate(over="ignore"):
        sizes = entries["N"] * row
    return sizes, overflow


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
