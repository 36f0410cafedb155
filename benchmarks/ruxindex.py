"""Reads where each chunk of a rux file lives, straight from its bytes.

The bare-system-call contender reads the very bytes that rux reads, from the
same file; it needs the offset and length of every chunk, which this module
takes from the header, the namelist block and the index block (all
little-endian records).
"""

import numpy

from rux.inspect import ENTRY_DTYPE

HEADER = numpy.dtype(
    [
        ("magic", "<u8"),
        ("index_location", "<u8"),
        ("index_allocated_entries", "<u8"),
        ("namelist_location", "<u8"),
        ("namelist_allocated_entries", "<u8"),
        ("schema_version", "<u4"),
        ("rux_version", "<u4"),
        ("application", "S64"),
        ("schema", "S64"),
        ("reserved", "V80"),
    ]
)
# The 32-byte index entry, as the rux package itself reads it.
ENTRY = ENTRY_DTYPE
TYPE_SIZES = {1: 1, 2: 2, 3: 4, 4: 8, 5: 1, 6: 2, 7: 4, 8: 8, 9: 4, 10: 8, 11: 1}
NAMELIST_UNIT = 64
VERSION_2_0 = 0x20000

assert HEADER.itemsize == 256 and ENTRY.itemsize == 32


def _names(block: bytes, packed: bool):
    names = []
    position = 0
    while position < len(block) and block[position] != 0:
        end = block.index(b"\0", position)
        names.append(block[position:end].decode("utf-8"))
        position = end + 1 if packed else position + NAMELIST_UNIT
    return names


class ChunkLocations:
    """Offset and byte count of every chunk, by (frame, name)."""

    def __init__(self, path: str):
        with open(path, "rb") as f:
            header = numpy.frombuffer(f.read(HEADER.itemsize), HEADER)[0]
            f.seek(int(header["namelist_location"]))
            block = f.read(int(header["namelist_allocated_entries"]) * NAMELIST_UNIT)
            f.seek(int(header["index_location"]))
            raw = f.read(int(header["index_allocated_entries"]) * ENTRY.itemsize)
        entries = numpy.frombuffer(raw, ENTRY)
        self.entries = entries[entries["location"] != 0]
        self.names = _names(block, int(header["rux_version"]) >= VERSION_2_0)
        self._ids = {name: i for i, name in enumerate(self.names)}
        sizes = numpy.array([TYPE_SIZES.get(int(t), 0) for t in range(256)], dtype=numpy.uint64)
        self.byte_counts = self.entries["N"] * self.entries["M"] * sizes[self.entries["type"]]
        # Used entries are sorted by (frame, id), so one combined key is sorted too.
        self._keys = self.entries["frame"].astype(numpy.uint64) * 65536 + self.entries["id"]

    def locate(self, frame: int, name: str):
        """(offset, byte count) of a chunk; KeyError when absent."""
        key = numpy.uint64(frame) * numpy.uint64(65536) + numpy.uint64(self._ids[name])
        i = int(numpy.searchsorted(self._keys, key))
        if i == len(self._keys) or self._keys[i] != key:
            raise KeyError((frame, name))
        return int(self.entries["location"][i]), int(self.byte_counts[i])

    def locate_many(self, frames, names):
        """Offsets and byte counts (two lists of int) of many chunks."""
        ids = numpy.array([self._ids[name] for name in names], dtype=numpy.uint64)
        keys = numpy.asarray(frames, dtype=numpy.uint64) * numpy.uint64(65536) + ids
        positions = numpy.searchsorted(self._keys, keys)
        if numpy.any(positions >= len(self._keys)) or numpy.any(self._keys[positions] != keys):
            raise KeyError("a chunk is not in the index")
        return (
            self.entries["location"][positions].tolist(),
            self.byte_counts[positions].tolist(),
        )
