"""The figures that ``rux info`` prints about a file, read without the library."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict

import numpy as np

from ._format import HEADER_SIZE, version_text
from ._raw import BLOCK_ENTRIES, U64_MAX, RuxFileView, chunk_sizes, u64


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
    ends = [np.array([u64(end) for end in (HEADER_SIZE, header.index_end, header.namelist_end)])]
    chunk_bytes = 0
    for first in range(0, used, BLOCK_ENTRIES):
        block = view.index[first : min(used, first + BLOCK_ENTRIES)]
        sizes, overflow = chunk_sizes(block)
        sizes[overflow] = U64_MAX
        locations = block["location"].view(np.uint64)
        with np.errstate(over="ignore"):
            block_ends = locations + sizes
        block_ends[block_ends < locations] = U64_MAX
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
