"""The facts of the rux file format, for the Python tools that read raw bytes.

Everything here describes bytes on disk (docs/format.md); the tools that
diagnose, summarise and recover files, and the benchmarks that read chunks
without the library, take their layout from this module only. All integers
are little-endian.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Dict, Iterable, List

import numpy as np

MAGIC = 0x65DF65DF65DF65DF

# -- the header ----------------------------------------------------------------

# magic, index location, index capacity (entries), namelist location, namelist
# size (64-byte units), schema version, layout version, application, schema,
# reserved bytes.
HEADER = struct.Struct("<QQQQQII64s64s80s")
HEADER_SIZE = HEADER.size
HEADER_TEXT_FIELD = 64  # application and schema: NUL-terminated, so 63 bytes of text
RESERVED_OFFSET = HEADER_SIZE - 80

# The commit record at the start of the reserved bytes: tag, committed
# entries, committed names, flags, checksum; zero after it.
COMMIT_RECORD = struct.Struct("<QQIIQ")
COMMIT_TAG = 0x54494D4F43585552  # "RUXCOMIT"
COMMIT_WRITER_ACTIVE = 1
_CHECKSUM_OFFSET = RESERVED_OFFSET + COMMIT_RECORD.size - 8


@dataclass(frozen=True)
class CommitRecord:
    """The commit record of a header, as readers judge it (docs/format.md, "Commit record")."""

    present: bool  # a non-zero tag: the reserved bytes are meant to hold a record
    trusted: bool
    entries: int
    names: int
    flags: int

    @property
    def limits_view(self) -> bool:
        """Readers see the committed entries and names only: a writer holds the file."""
        return self.trusted and bool(self.flags & COMMIT_WRITER_ACTIVE)


def parse_commit_record(header: bytes) -> CommitRecord:
    """The commit record of the 256 header bytes, trusted as a reader trusts it."""
    tag, entries, names, flags, checksum = COMMIT_RECORD.unpack_from(header, RESERVED_OFFSET)
    index_capacity = HEADER.unpack_from(header)[2]
    trusted = (
        tag == COMMIT_TAG
        and checksum == header_checksum(header)
        and flags & ~COMMIT_WRITER_ACTIVE == 0
        and entries <= index_capacity
        and names <= MAX_NAMES
        and not any(header[RESERVED_OFFSET + COMMIT_RECORD.size : HEADER_SIZE])
    )
    return CommitRecord(tag != 0, trusted, entries, names, flags)


def header_checksum(header: bytes) -> int:
    """FNV-1a (64-bit) of the 256 header bytes, the checksum field taken as zero."""
    value = 0xCBF29CE484222325
    sealed = header[:_CHECKSUM_OFFSET] + bytes(8) + header[_CHECKSUM_OFFSET + 8 : HEADER_SIZE]
    for byte in sealed:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return value


# -- versions ------------------------------------------------------------------

VERSION_1_0 = 0x10000
VERSION_2_0 = 0x20000  # the first version of the packed, sorted layout


def version_text(version: int) -> str:
    return f"{version >> 16}.{version & 0xFFFF}"


def version_is_accepted(version: int) -> bool:
    return version == 0x3 or VERSION_1_0 <= version <= 0x2FFFF


def layout_of(version: int) -> int:
    """1 for the version 1 layout (below 2.0), 2 otherwise."""
    return 1 if version < VERSION_2_0 else 2


# -- the index block -------------------------------------------------------------

ENTRY_DTYPE = np.dtype(
    [
        ("frame", "<u8"),
        ("N", "<u8"),
        ("location", "<i8"),  # 0 marks an unused entry
        ("M", "<u4"),
        ("id", "<u2"),
        ("type", "u1"),
        ("flags", "u1"),
    ]
)
ENTRY_SIZE = ENTRY_DTYPE.itemsize
assert ENTRY_SIZE == 32

# -- element types ---------------------------------------------------------------

# Type code -> (name, numpy dtype of one element). Character chunks are bytes.
_TYPES = {
    1: ("uint8", "<u1"),
    2: ("uint16", "<u2"),
    3: ("uint32", "<u4"),
    4: ("uint64", "<u8"),
    5: ("int8", "<i1"),
    6: ("int16", "<i2"),
    7: ("int32", "<i4"),
    8: ("int64", "<i8"),
    9: ("float32", "<f4"),
    10: ("float64", "<f8"),
    11: ("char", "u1"),
}
CHARACTER = 11
TYPE_NAMES: Dict[int, str] = {code: name for code, (name, _) in _TYPES.items()}
ELEMENT_DTYPES: Dict[int, np.dtype] = {code: np.dtype(dtype) for code, (_, dtype) in _TYPES.items()}

# Element size per type code, indexable by a whole array of codes; 0 for the
# codes that are not types.
ELEMENT_SIZES = np.zeros(256, dtype=np.uint64)
for _code, _dtype in ELEMENT_DTYPES.items():
    ELEMENT_SIZES[_code] = _dtype.itemsize

# -- the namelist block ------------------------------------------------------------

NAMELIST_UNIT = 64  # block sizes count these; a version 1 name fills one slot
MAX_NAMES = 65535  # ids are 16 bits

# -- where a new file puts its blocks ----------------------------------------------

INITIAL_INDEX_LOCATION = HEADER_SIZE
INITIAL_INDEX_ENTRIES = 128
INITIAL_NAMELIST_LOCATION = INITIAL_INDEX_LOCATION + ENTRY_SIZE * INITIAL_INDEX_ENTRIES
INITIAL_NAMELIST_SIZE = 16 * NAMELIST_UNIT
INITIAL_FILE_SIZE = INITIAL_NAMELIST_LOCATION + INITIAL_NAMELIST_SIZE


@dataclass
class Namelist:
    names: List[bytes]
    # Offset of the terminating empty name, or the block's size when there is none.
    end: int
    block: bytes


def parse_namelist(block: bytes, layout: int) -> Namelist:
    """Splits a namelist block into its names the way the library does on open.

    Version 2 names follow each other, each ended by a NUL. A version 1 name
    is read up to its NUL like a C string, so a slot without a NUL runs on
    into the next slot; the next name still starts at the next 64-byte
    boundary.
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


def encoded_size(names: Iterable[bytes], layout: int) -> int:
    """Bytes that the names take at the start of a namelist block."""
    if layout == 2:
        return sum(len(name) + 1 for name in names)
    return NAMELIST_UNIT * sum(1 for _ in names)


def encode_names(names: Iterable[bytes], layout: int) -> bytes:
    """The used part of a namelist block holding the names (the block adds zeros)."""
    if layout == 2:
        return b"".join(name + b"\0" for name in names)
    return b"".join(name[: NAMELIST_UNIT - 1].ljust(NAMELIST_UNIT, b"\0") for name in names)
