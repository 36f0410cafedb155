"""Crafting and inspecting raw RUX files, independently of the library.

The layout written here is that of a new file: the 256-byte header, an index
block of 128 entries at offset 256, a namelist block of 1024 bytes at offset
4352, and chunk data appended from offset 5376 on.
"""

import os
import struct
from dataclasses import dataclass
from typing import List, Optional

import numpy as np

MAGIC = 0x65DF65DF65DF65DF
HEADER = struct.Struct("<QQQQQII64s64s80s")
ENTRY_FIELDS = [
    ("frame", "<u8"),
    ("N", "<u8"),
    ("location", "<i8"),
    ("M", "<u4"),
    ("id", "<u2"),
    ("type", "u1"),
    ("flags", "u1"),
]
# The same layout as a struct, for packing one entry at a time.
_STRUCT_CODES = {"u8": "Q", "i8": "q", "u4": "I", "u2": "H", "u1": "B"}
ENTRY = struct.Struct("<" + "".join(_STRUCT_CODES[kind.lstrip("<")] for _, kind in ENTRY_FIELDS))
INDEX_LOCATION = 256
INDEX_ENTRIES = 128
NAMELIST_LOCATION = 4352
NAMELIST_UNITS = 16
DATA_START = 5376
VERSION_2_1 = 0x20001
VERSION_1_0 = 0x10000
VERSION_2_0 = 0x20000

TYPE_CODES = {
    "uint8": 1,
    "uint16": 2,
    "uint32": 3,
    "uint64": 4,
    "int8": 5,
    "int16": 6,
    "int32": 7,
    "int64": 8,
    "float32": 9,
    "float64": 10,
}
CHARACTER = 11
ELEMENT_SIZE = {code: np.dtype(name).itemsize for name, code in TYPE_CODES.items()}
ELEMENT_SIZE[CHARACTER] = 1


@dataclass
class Entry:
    frame: int
    N: int
    location: int
    M: int
    id: int
    type: int
    flags: int = 0


@dataclass
class Chunk:
    """A chunk to craft: its data go to the end of the file unless a location is given."""

    frame: int
    name_id: int
    type: int
    N: int
    M: int
    data: bytes = b""
    location: Optional[int] = None
    flags: int = 0


def header_bytes(
    *,
    index_location=INDEX_LOCATION,
    index_entries=INDEX_ENTRIES,
    namelist_location=NAMELIST_LOCATION,
    namelist_units=NAMELIST_UNITS,
    schema_version=VERSION_1_0,
    rux_version=VERSION_2_1,
    application=b"app",
    schema=b"schema",
    magic=MAGIC,
):
    return HEADER.pack(
        magic,
        index_location,
        index_entries,
        namelist_location,
        namelist_units,
        schema_version,
        rux_version,
        application,
        schema,
        bytes(80),
    )


def namelist_bytes(names: List[bytes], version=VERSION_2_1):
    """The namelist block of a new file (1024 bytes) holding the names."""
    block = names_block(names, version)
    assert len(block) == NAMELIST_UNITS * 64
    return block


def craft_file(
    path,
    names: List[bytes],
    chunks: List[Chunk],
    *,
    rux_version=VERSION_2_1,
    schema_version=VERSION_1_0,
    application=b"app",
    schema=b"schema",
):
    """Writes a file holding the given names and chunks (entries in list order)."""
    assert len(chunks) <= INDEX_ENTRIES
    data = bytearray()
    index = bytearray()
    for chunk in chunks:
        location = chunk.location
        if location is None:
            location = DATA_START + len(data)
            data += chunk.data
        index += ENTRY.pack(
            chunk.frame, chunk.N, location, chunk.M, chunk.name_id, chunk.type, chunk.flags
        )
    index = index.ljust(INDEX_ENTRIES * ENTRY.size, b"\0")
    with open(path, "wb") as out:
        out.write(
            header_bytes(
                rux_version=rux_version,
                schema_version=schema_version,
                application=application,
                schema=schema,
            )
        )
        out.write(index)
        out.write(namelist_bytes(names, rux_version))
        out.write(data)
    return str(path)


def read_header(path):
    with open(path, "rb") as source:
        fields = HEADER.unpack(source.read(HEADER.size))
    keys = (
        "magic",
        "index_location",
        "index_allocated_entries",
        "namelist_location",
        "namelist_allocated_entries",
        "schema_version",
        "rux_version",
        "application",
        "schema",
        "reserved",
    )
    return dict(zip(keys, fields))


def read_index(path) -> List[Entry]:
    """The used entries of the file's index block."""
    header = read_header(path)
    entries = []
    with open(path, "rb") as source:
        source.seek(header["index_location"])
        for _ in range(header["index_allocated_entries"]):
            entry = Entry(*ENTRY.unpack(source.read(ENTRY.size)))
            if entry.location == 0:
                break
            entries.append(entry)
    return entries


def read_names(path) -> List[bytes]:
    """The names of a version 2 layout namelist, in order."""
    header = read_header(path)
    with open(path, "rb") as source:
        source.seek(header["namelist_location"])
        block = source.read(header["namelist_allocated_entries"] * 64)
    names = []
    position = 0
    while position < len(block) and block[position] != 0:
        end = block.index(b"\0", position)
        names.append(block[position:end])
        position = end + 1
    return names


def read_chunk_bytes(path, entry: Entry, element_size: int) -> bytes:
    with open(path, "rb") as source:
        source.seek(entry.location)
        return source.read(entry.N * entry.M * element_size)


def open_descriptor_count():
    return len(os.listdir("/proc/self/fd"))


def craft_many_entries(path, frames, ids, names: List[bytes], *, type=10, N=1, M=1, capacity=None,
                       rux_version=VERSION_2_1):
    """Writes a file with one entry per (frame, id) pair, built with numpy for large counts.

    The index block (``capacity`` entries, at least one per pair) starts at 256,
    the namelist follows it, and the chunks' zero data follow the namelist, in
    entry order. Returns the entries as a structured array.
    """
    count = len(frames)
    capacity = count if capacity is None else capacity
    assert capacity >= count
    entries = np.zeros(capacity, dtype=ENTRY_FIELDS)
    size = N * M * ELEMENT_SIZE[type]
    namelist = names_block(names, rux_version)
    data_start = INDEX_LOCATION + ENTRY.size * capacity + len(namelist)
    used = entries[:count]
    used["frame"], used["id"], used["type"], used["N"], used["M"] = frames, ids, type, N, M
    used["location"] = data_start + size * np.arange(count)
    with open(path, "wb") as out:
        out.write(
            header_bytes(
                index_entries=capacity,
                namelist_location=INDEX_LOCATION + ENTRY.size * capacity,
                namelist_units=len(namelist) // 64,
                rux_version=rux_version,
            )
        )
        out.write(entries.tobytes())
        out.write(namelist)
        out.truncate(data_start + size * count)
    return entries


def names_block(names: List[bytes], version=VERSION_2_1, units=NAMELIST_UNITS):
    """A namelist block of at least ``units`` x 64 bytes holding the names."""
    if version >= VERSION_2_0:
        packed = b"".join(name + b"\0" for name in names)
    else:
        packed = b"".join(name[:63].ljust(64, b"\0") for name in names)
    size = max(units * 64, (len(packed) // 64 + 1) * 64)
    return packed.ljust(size, b"\0")


# -- the commit record -------------------------------------------------------------

COMMIT_TAG = 0x54494D4F43585552  # "RUXCOMIT"
COMMIT_RECORD = struct.Struct("<QQIIQ")
COMMIT_OFFSET = 176
_CHECKSUM_OFFSET = COMMIT_OFFSET + 24


def fnv1a(data: bytes) -> int:
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return value


def seal_commit_record(path, entries, names, flags=1):
    """Puts a trusted commit record in the header, as a writer holding the file leaves it."""
    with open(path, "r+b") as target:
        header = bytearray(target.read(HEADER.size))
        header[COMMIT_OFFSET:] = bytes(len(header) - COMMIT_OFFSET)
        COMMIT_RECORD.pack_into(header, COMMIT_OFFSET, COMMIT_TAG, entries, names, flags, 0)
        reseal(header)
        target.seek(0)
        target.write(header)


def reseal(data: bytearray):
    """Gives the commit record the checksum of the header as it stands (``data`` starts with it)."""
    data[_CHECKSUM_OFFSET : _CHECKSUM_OFFSET + 8] = bytes(8)
    checksum = fnv1a(bytes(data[: HEADER.size]))
    data[_CHECKSUM_OFFSET : _CHECKSUM_OFFSET + 8] = checksum.to_bytes(8, "little")
