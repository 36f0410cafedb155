"""Reads where each chunk of a rux file lives, straight from its bytes.

The bare-system-call contender reads the very bytes that rux reads, from the
same file; it needs the offset and length of every chunk, which this module
takes from the header, the namelist block and the index block (all
little-endian records).
"""

import numpy

from rux._format import ELEMENT_SIZES, ENTRY_DTYPE, HEADER, parse_namelist
from rux._raw import Header


class ChunkLocations:
    """Offset and byte count of every chunk, by (frame, name)."""

    def __init__(self, path: str):
        with open(path, "rb") as f:
            header = Header(*HEADER.unpack(f.read(HEADER.size)))
            f.seek(header.namelist_location)
            block = f.read(header.namelist_size)
            f.seek(header.index_location)
            raw = f.read(header.index_end - header.index_location)
        entries = numpy.frombuffer(raw, ENTRY_DTYPE)
        self.entries = entries[entries["location"] != 0]
        names = parse_namelist(block, header.layout).names
        self.names = [name.decode("utf-8") for name in names]
        self._ids = {name: i for i, name in enumerate(self.names)}
        sizes = ELEMENT_SIZES[self.entries["type"]]
        self.byte_counts = self.entries["N"] * self.entries["M"] * sizes
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
