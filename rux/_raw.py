"""Raw access to a rux file's header, index block and namelist block, without the library.

The command-line tool's ``info`` and ``check`` and ``rux recover`` have to
describe and diagnose files that the library refuses to open, so nothing here
goes through :mod:`rux.fl`. The index block is memory-mapped and examined with
vectorised numpy operations in blocks, so files with millions of entries are
read in bounded memory; the namelist block is read only where it holds data.
"""

from __future__ import annotations

import errno
import os
from dataclasses import dataclass
from typing import Iterator, List, Optional, Tuple

import numpy as np

from ._format import (
    ENTRY_DTYPE,
    ENTRY_SIZE,
    HEADER,
    HEADER_SIZE,
    MAGIC,
    NAMELIST_UNIT,
    ELEMENT_SIZES,
    Namelist,
    layout_of,
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
        self.header = Header(*HEADER.unpack(raw))
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
