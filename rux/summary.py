"""The figures that ``rux info`` prints about a file, read without the library."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict

import numpy as np

from ._format import HEADER_SIZE, encoded_size, version_text
from ._raw import BLOCK_ENTRIES, U64_MAX, RuxFileView, chunk_sizes, u64, uncovered


def covered_bytes(starts: np.ndarray, ends: np.ndarray, file_size: int) -> int:
    """Bytes of [0, file_size) that lie in at least one of the intervals [start, end)."""
    gap_starts, gap_ends = uncovered(starts, ends, file_size)
    return file_size - int(np.sum(gap_ends - gap_starts, dtype=np.uint64))


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
    # Behind the commit record: what a writer that died or is flushing left,
    # which readers do not see.
    uncommitted_entries: int = 0
    uncommitted_names: int = 0

    def as_dict(self) -> Dict[str, object]:
        return dict(self.__dict__)


def summarize(view: RuxFileView) -> Summary:
    """What readers see of the file; the leftovers behind a commit record apart.

    Their data count as unreferenced bytes: no entry that readers see covers them.
    """
    header = view.header
    used = view.visible_entries()
    names = view.visible_names()
    namelist = view.namelist
    uncommitted_entries = uncommitted_names = 0
    if view.commit_record.limits_view:
        uncommitted_entries = max(0, view.used_entries() - used)
        uncommitted_names = max(0, len(namelist.names) - names)
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
        names=names,
        index_entries_used=used,
        index_entries_capacity=header.index_allocated_entries,
        index_location=header.index_location,
        namelist_location=header.namelist_location,
        namelist_bytes_used=(
            namelist.end
            if names == len(namelist.names)
            else encoded_size(namelist.names[:names], header.layout)
        ),
        namelist_bytes=header.namelist_size,
        chunk_bytes=chunk_bytes,
        file_size=view.file_size,
        unreferenced_bytes=view.file_size - covered,
        uncommitted_entries=uncommitted_entries,
        uncommitted_names=uncommitted_names,
    )
