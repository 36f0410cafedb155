"""Salvaging the whole frames of a damaged rux file into a new file.

``rux recover IN OUT`` reads IN raw (nothing here opens it through the
library, which refuses damaged files) and writes OUT through :mod:`rux.fl`.

What counts as proven. An index block is only ever filled from the front:
a flush writes the entries of completed frames, in frame order, into the zero
part of the block behind the used entries. So, in a block read from its
start up to its first unused (zero) entry:

- every frame before the last one is whole: a later frame's entry exists, so
  the write that stored the earlier frame's entries got past them;
- the last frame is whole only if the used part ends cleanly: the block is
  full, or the entry after the used part lies within the file, is all zero,
  and does not begin at a multiple of 512 bytes of the file. A write cut short
  by a killed process or a power cut stops at a page or sector boundary, and
  pages and sectors are multiples of 512 bytes, so a used part that ends
  elsewhere was not cut;
- a frame whose every entry is plausible (a type code of 1 to 11, flags 0,
  data after the header and within the file, a name id within the namelist,
  frames never decreasing, and data that share no byte with another chunk's
  data, the blocks in use or an old copy of a block) is kept. An implausible
  entry loses every frame from its nearest plausible neighbour before it to
  the one after it, since its own frame number is not to be trusted. In the
  version 2 layout (of an intact header), ids that go back within a frame
  make both entries of the pair implausible, as frames that go back do. rux
  never writes a chunk over other bytes of the file, so of two chunks that
  overlap one is damaged, and which one is not known: both are implausible.

The data bytes themselves carry no checksum: a kept chunk holds what the file
holds at its location. The header's reserved bytes are not read.

Where to look. The header names the current index block; whatever of it lies
within the file is used. A grown index block is written whole at the end of
the file and the old one stays as dead space, and every copy begins with the
same first entry, so the file is searched (32-byte aligned, holes skipped) for
that entry to find older copies; the copy that proves the most frames wins.
The one exception is the header's own block when the header is intact and the
block proves every frame it holds: it wins over any older copy, which may hold
frames that a cut back to the first frames (``truncate_frames``) dropped on
purpose.
The namelist is the header's, or an older copy found by its first name when
the header's is not usable.
"""

from __future__ import annotations

import errno
import mmap
import os
import stat
import tempfile
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _format as fmt
from . import _raw as raw

# Torn writes stop at a multiple of this many bytes of the file (see above).
TEAR_UNIT = 512
# Copies of an index block examined at most (a hostile file can repeat the
# first entry everywhere).
MAX_CANDIDATES = raw.MAX_COPIES
# Entries over other bytes named in a note at most.
_LISTED_OVERLAPS = 10


_UNBOUNDED = (1 << 63) - 1


class RecoveryError(Exception):
    """Nothing can be recovered, or OUT cannot be written as asked."""


@dataclass
class NamelistCopy:
    location: int
    names: List[bytes]
    current: bool


@dataclass
class IndexCopy:
    """One copy of the index block: its used entries as far as they were read."""

    location: int
    current: bool
    entries: np.ndarray
    ends_cleanly: bool


@dataclass
class Plan:
    """Which frames of which index copy are kept."""

    index: IndexCopy
    kept: Dict[int, np.ndarray]  # frame -> positions of its entries in index.entries
    # Frames that may have held chunks that are not kept, as inclusive ranges
    # (_UNBOUNDED: to the end of the trajectory).
    lost: List[Tuple[int, int]]
    unproven_last: Optional[int]  # the last frame of the block, when it is not proven whole
    frames_seen: int  # one past the last frame of a plausible entry
    # Positions of the entries whose data lie over another chunk's data or a block.
    overlapping: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=np.int64))

    @property
    def frames_written(self) -> int:
        return max(self.kept) + 1 if self.kept else 0


@dataclass
class RecoveryReport:
    """What ``recover`` kept and lost; ``as_dict`` is what ``--json`` prints."""

    input: str
    output: str
    header_intact: bool
    index_location: Optional[int] = None
    index_is_current: bool = False
    namelist_location: Optional[int] = None
    namelist_is_current: bool = False
    frames_found: int = 0
    frames_kept: int = 0
    frames_written: int = 0
    frames_lost: List[List[int]] = field(default_factory=list)  # [first, last] ranges
    chunks_found: int = 0
    chunks_kept: int = 0
    notes: List[str] = field(default_factory=list)

    @property
    def chunks_lost(self) -> int:
        return self.chunks_found - self.chunks_kept

    def as_dict(self) -> Dict[str, object]:
        result = dict(self.__dict__)
        result["chunks_lost"] = self.chunks_lost
        return result


# -- reading the damaged file ---------------------------------------------------


class _Source:
    """Read-only positional access to IN; never writes."""

    def __init__(self, path: str):
        self.path = path
        self.descriptor = os.open(path, os.O_RDONLY)
        status = os.fstat(self.descriptor)
        if stat.S_ISDIR(status.st_mode):
            os.close(self.descriptor)
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        self.size = status.st_size

    def read(self, offset: int, count: int) -> bytes:
        if offset >= self.size or count <= 0:
            return b""
        count = min(count, self.size - offset)
        pieces = []
        while count > 0:
            try:
                piece = os.pread(self.descriptor, min(count, 1 << 30), offset)
            except OSError as error:
                raise OSError(error.errno, error.strerror, self.path) from None
            if not piece:
                break
            pieces.append(piece)
            offset += len(piece)
            count -= len(piece)
        return b"".join(pieces)

    def close(self):
        os.close(self.descriptor)


def _header(source: _Source) -> Tuple[raw.Header, bool]:
    """The header's fields, and whether its magic and version look intact."""
    data = source.read(0, fmt.HEADER_SIZE).ljust(fmt.HEADER_SIZE, b"\0")
    header = raw.Header(*fmt.HEADER.unpack(data))
    intact = header.magic == fmt.MAGIC and fmt.version_is_accepted(header.rux_version)
    return header, intact


def _decoded(names: List[bytes]) -> bool:
    try:
        for name in names:
            name.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def _parse_names(block: bytes, layout: int, complete: bool) -> Optional[List[bytes]]:
    """The names of a namelist block; None when a whole block breaks the format.

    ``complete`` says the whole block lies in the file. A list that runs into
    the end of a block cut by the end of the file loses its last name, which
    may be cut too.
    """
    parsed = fmt.parse_namelist(block, layout)
    if complete:
        if not block or block[-1] != 0:
            return None
        if layout == 2 and any(block[parsed.end :]):
            return None
        return parsed.names
    ended = parsed.end < len(block)
    return parsed.names if ended else parsed.names[:-1]


def _any_nonzero(source: _Source, start: int, end: int) -> bool:
    for segment_start, segment_end in raw.data_segments(source.path, start, end):
        for offset in range(segment_start, segment_end, 1 << 23):
            if any(source.read(offset, min(1 << 23, segment_end - offset))):
                return True
    return False


def _find_all(source: _Source, pattern: bytes, start: int, alignment: int) -> List[int]:
    """Offsets from ``start`` at which ``pattern`` stands, aligned, holes skipped."""
    found: List[int] = []
    if not pattern or source.size == 0:
        return found
    with mmap.mmap(source.descriptor, 0, access=mmap.ACCESS_READ) as view:
        for segment_start, segment_end in raw.data_segments(source.path, start, source.size):
            position = view.find(pattern, max(start, segment_start), segment_end)
            while position >= 0 and len(found) < MAX_CANDIDATES:
                if position % alignment == 0:
                    found.append(position)
                position = view.find(pattern, position + 1, segment_end)
    return found


def _namelist_copies(source: _Source, header: raw.Header, layout: int) -> List[NamelistCopy]:
    copies = []
    size = source.size
    location, block_size = header.namelist_location, header.namelist_size
    if fmt.HEADER_SIZE <= location < size and block_size > 0:
        complete = location + block_size <= size
        block_end = min(location + block_size, size)
        # The list ends at the first hole (zeros) of a sparse file; past it
        # only non-zero bytes matter, so a declared block of GiBs costs little.
        segments = raw.data_segments(source.path, location, block_end)
        list_end = segments[0][1] if segments and segments[0][0] == location else location
        block = source.read(location, list_end - location)
        if list_end < block_end:
            names: Optional[List[bytes]] = _parse_names(block + bytes(1), layout, False)
            parsed_end = fmt.parse_namelist(block + bytes(1), layout).end
            stray = _any_nonzero(source, list_end, block_end) or (
                layout == 2 and any(block[parsed_end:])
            )
            if complete and stray:
                names = None
        else:
            names = _parse_names(block, layout, complete)
        if names is not None:
            copies.append(NamelistCopy(location, names, True))
    if copies and copies[0].location + block_size <= size:
        return copies  # the header's block is whole: nothing older can hold more
    # The first name is the same in every copy; the block a new file starts
    # with holds it unless the first names did not fit there.
    first_names = [copy.names[0] for copy in copies if copy.names]
    initial = source.read(fmt.INITIAL_NAMELIST_LOCATION, fmt.INITIAL_NAMELIST_SIZE)
    names = _parse_names(initial, layout, len(initial) == fmt.INITIAL_NAMELIST_SIZE)
    if names:
        copies.append(NamelistCopy(fmt.INITIAL_NAMELIST_LOCATION, names, False))
        first_names.append(names[0])
    for first in dict.fromkeys(first_names):
        pattern = first + b"\0"
        for offset in _find_all(source, pattern, fmt.HEADER_SIZE, 1):
            if any(copy.location == offset for copy in copies):
                continue
            # The block's size is unknown: read up to the largest block the
            # number of names allows, or the end of the file.
            limit = min(size - offset, fmt.MAX_NAMES * fmt.NAMELIST_UNIT)
            names = _parse_names(source.read(offset, limit), layout, False) or []
            if names and _decoded(names):
                copies.append(NamelistCopy(offset, names, False))
    return copies


def _choose_namelist(copies: List[NamelistCopy]) -> Optional[NamelistCopy]:
    """The copy with the most names among those that agree with the others' prefixes."""
    best = None
    for copy in copies:
        agrees = all(
            copy.names[: len(other.names)] == other.names[: len(copy.names)] for other in copies
        )
        if not agrees and not copy.current:
            continue
        if best is None or len(copy.names) > len(best.names):
            best = copy
    return best


def _read_used_entries(
    source: _Source, location: int, capacity: Optional[int]
) -> Tuple[np.ndarray, bool]:
    """The entries of a block up to its first unused one, and whether the used part ends cleanly.

    A copy found by searching has no known capacity: it is read up to its
    first unused entry or the first one that cannot be an entry at all, so
    that reading never runs on through chunk data.
    """
    in_file = max(0, (source.size - location) // fmt.ENTRY_SIZE)
    limit = in_file if capacity is None else min(capacity, in_file)
    parts = []
    used = 0
    stop_kind = None
    while used < limit:
        count = min(raw.BLOCK_ENTRIES, limit - used)
        data = source.read(location + fmt.ENTRY_SIZE * used, fmt.ENTRY_SIZE * count)
        block = np.frombuffer(data, dtype=fmt.ENTRY_DTYPE, count=len(data) // fmt.ENTRY_SIZE)
        locations = block["location"].view(np.uint64)
        stops = locations == 0
        if capacity is None:
            types = block["type"]
            stops |= (types == 0) | (types > fmt.CHARACTER) | (block["flags"] != 0)
            stops |= (locations < np.uint64(fmt.HEADER_SIZE)) | (locations > np.uint64(source.size))
        first_stop = np.flatnonzero(stops)
        if len(first_stop):
            position = int(first_stop[0])
            parts.append(block[:position])
            used += position
            zero = not block[position : position + 1].view(np.uint8).any()
            stop_kind = "zero" if zero else "other"
            break
        parts.append(block)
        used += len(block)
        if len(block) < count:
            break
    entries = np.concatenate(parts) if parts else np.zeros(0, dtype=fmt.ENTRY_DTYPE)
    if stop_kind == "zero":
        clean = (location + fmt.ENTRY_SIZE * used) % TEAR_UNIT != 0
    elif capacity is None:
        # A full copy ends where doubling from a new file's 128 entries put its end.
        clean = stop_kind == "other" and _is_doubled_capacity(used)
    else:
        clean = used == capacity
    return entries, clean


def _is_doubled_capacity(count: int) -> bool:
    quotient, remainder = divmod(count, fmt.INITIAL_INDEX_ENTRIES)
    return remainder == 0 and quotient > 0 and quotient & (quotient - 1) == 0


def _plausible(
    entries: np.ndarray,
    name_count: int,
    file_size: int,
    regions: List[Tuple[int, int]],
    sorted_by_id: bool,
) -> Tuple[np.ndarray, np.ndarray]:
    """Which entries are plausible, and the positions of those that lie over other bytes."""
    types = entries["type"]
    sizes, overflow = raw.chunk_sizes(entries)
    locations = entries["location"].view(np.uint64)
    with np.errstate(over="ignore"):
        ends = locations + sizes
    good = (types >= 1) & (types <= fmt.CHARACTER) & (entries["flags"] == 0)
    good &= entries["id"] < name_count
    good &= (locations >= np.uint64(fmt.HEADER_SIZE)) & ~overflow & (ends >= locations)
    good &= ends <= np.uint64(file_size)
    # A block within the file has fewer entries than the file has 32-byte
    # slots, and a frame number is below the block's capacity.
    good &= entries["frame"] < np.uint64(max(1, file_size // fmt.ENTRY_SIZE))
    # Data over another chunk's data or a block: among the entries that are
    # plausible so far, since a damaged entry's range means nothing.
    with_data = np.flatnonzero(good & (sizes > 0))
    starts, stops = locations[with_data], ends[with_data]
    overlaps, _ = raw.overlapping(starts, stops)
    overlaps |= raw.region_hits(starts, stops, regions) >= 0
    over = with_data[overlaps]
    good[over] = False
    frames = entries["frame"]
    if len(entries) > 1:
        # Both entries of a pair whose frame goes back are suspect, and in the
        # version 2 layout those of a pair whose id goes back within a frame.
        back = frames[1:] < frames[:-1]
        if sorted_by_id:
            back |= (frames[1:] == frames[:-1]) & (entries["id"][1:] < entries["id"][:-1])
        good[1:] &= ~back
        good[:-1] &= ~back
    return good, over


def _merged(ranges: List[Tuple[int, int]]) -> List[Tuple[int, int]]:
    merged: List[Tuple[int, int]] = []
    for low, high in sorted(ranges):
        if merged and low <= merged[-1][1] + 1:
            merged[-1] = (merged[-1][0], max(merged[-1][1], high))
        else:
            merged.append((low, high))
    return merged


def plan_frames(
    index: IndexCopy,
    name_count: int,
    file_size: int,
    regions: Sequence[Tuple[int, int]] = (),
    sorted_by_id: bool = False,
) -> Plan:
    """The frames of one index copy that are proven whole, and those lost (as ranges).

    ``regions`` are the byte ranges that no chunk may cover: the header, the
    blocks in use and the old copies of blocks. ``sorted_by_id``: the entries
    of a frame are sorted by id (the version 2 layout, of an intact header).
    """
    entries = index.entries
    good, over = _plausible(entries, name_count, file_size, list(regions), sorted_by_id)
    good_positions = np.flatnonzero(good)
    frames = entries["frame"]
    if len(good_positions) == 0:
        lost = [(0, _UNBOUNDED)] if len(entries) else []
        return Plan(index, {}, lost, None, 0, over)
    good_frames = frames[good_positions].astype(np.int64)
    # An implausible entry loses the frames from the plausible entry before it
    # to the one after it (from frame 0, or without end, at the block's ends).
    bad = np.flatnonzero(~good)
    after = np.searchsorted(good_positions, bad)
    lows = np.where(after > 0, good_frames[np.maximum(after - 1, 0)], 0)
    highs = np.where(
        after < len(good_positions),
        good_frames[np.minimum(after, len(good_positions) - 1)],
        _UNBOUNDED,
    )
    ranges = list(zip(lows.tolist(), highs.tolist()))
    last_frame = int(good_frames[-1])
    unproven_last = None if index.ends_cleanly else last_frame
    if unproven_last is not None:
        ranges.append((last_frame, _UNBOUNDED))
    lost = _merged(ranges)
    starts = np.array([low for low, _ in lost], dtype=np.int64)
    ends = np.array([high for _, high in lost], dtype=np.int64)
    boundaries = np.flatnonzero(np.diff(good_frames)) + 1
    kept: Dict[int, np.ndarray] = {}
    for group in np.split(good_positions, boundaries):
        frame = int(frames[group[0]])
        slot = int(np.searchsorted(starts, frame, side="right")) - 1
        if slot < 0 or frame > ends[slot]:
            kept[frame] = group
    ordered = entries["frame"] < np.uint64(max(1, file_size // fmt.ENTRY_SIZE))
    if len(entries) > 1:
        back = frames[1:] < frames[:-1]
        ordered[1:] &= ~back
        ordered[:-1] &= ~back
    # Entries lost only to their data count as frames that were there.
    seen = int(frames[ordered].max()) + 1 if ordered.any() else last_frame + 1
    return Plan(index, kept, lost, unproven_last, max(seen, last_frame + 1), over)


def _zeros_end(source: _Source, start: int, limit: int) -> int:
    """Where the run of zero bytes from ``start`` ends, at most at ``limit`` (holes are zero)."""
    limit = min(limit, source.size)
    for segment_start, segment_end in raw.data_segments(source.path, start, limit):
        for offset in range(segment_start, segment_end, 1 << 23):
            data = np.frombuffer(source.read(offset, min(1 << 23, segment_end - offset)), np.uint8)
            stray = np.flatnonzero(data)
            if len(stray):
                return offset + int(stray[0])
    return max(start, limit)


def _reserved_regions(
    source: _Source,
    header: raw.Header,
    index: IndexCopy,
    namelist: Optional[NamelistCopy],
    layout: int,
    name_count: int,
) -> List[Tuple[int, int]]:
    """The bytes that no chunk of this index copy may cover.

    The header; the index copy's used entries and the zeros after them (up to
    the end of the block the header names, when this is that block: a header
    whose capacity is damaged then reaches no further than the zeros); the
    namelist's names, likewise; and the old copies of both blocks in the bytes
    that nothing else covers.
    """
    regions = [(0, fmt.HEADER_SIZE)]
    used_end = index.location + fmt.ENTRY_SIZE * len(index.entries)
    index_limit = header.index_end if index.current else used_end
    regions.append((index.location, _zeros_end(source, used_end, index_limit)))
    names: List[bytes] = []
    if namelist is not None:
        names = namelist.names[:name_count]
        names_end = namelist.location + fmt.encoded_size(names, layout)
        names_limit = header.namelist_end if namelist.current else names_end
        regions.append((namelist.location, _zeros_end(source, names_end, names_limit)))
    entries = index.entries
    sizes, overflow = raw.chunk_sizes(entries)
    locations = entries["location"].view(np.uint64)
    with np.errstate(over="ignore"):
        ends = locations + sizes
    in_file = ~overflow & (ends >= locations) & (ends <= np.uint64(source.size))
    starts = np.concatenate(([raw.u64(low) for low, _ in regions], locations[in_file]))
    stops = np.concatenate(([raw.u64(high) for _, high in regions], ends[in_file]))
    gaps = raw.uncovered(starts.astype(np.uint64), stops.astype(np.uint64), source.size)
    old = raw.find_old_blocks(source.path, gaps, entries, names)
    return regions + [(block.start, block.end) for block in old if block.end > block.start]


def _index_copies(source: _Source, header: raw.Header) -> List[IndexCopy]:
    copies: List[IndexCopy] = []
    location = header.index_location
    if fmt.HEADER_SIZE <= location < source.size and header.index_allocated_entries > 0:
        entries, clean = _read_used_entries(source, location, header.index_allocated_entries)
        copies.append(IndexCopy(location, True, entries, clean))
    first_entries = [copy.entries[:1].tobytes() for copy in copies if len(copy.entries)]
    initial = source.read(fmt.INITIAL_INDEX_LOCATION, fmt.ENTRY_SIZE)
    if len(initial) == fmt.ENTRY_SIZE and any(initial[16:24]):
        first_entries.append(initial)
    for pattern in dict.fromkeys(first_entries):
        for offset in _find_all(source, pattern, fmt.HEADER_SIZE, fmt.ENTRY_SIZE):
            if any(copy.location == offset for copy in copies):
                continue
            entries, clean = _read_used_entries(source, offset, None)
            copies.append(IndexCopy(offset, False, entries, clean))
    return copies


def analyse(path: str) -> Tuple[raw.Header, bool, Optional[NamelistCopy], List[Plan]]:
    """The header, whether it is intact, the namelist chosen and a plan per index copy (best first)."""
    source = _Source(path)
    try:
        header, intact = _header(source)
        layout = header.layout if fmt.version_is_accepted(header.rux_version) else 2
        namelist = _choose_namelist(_namelist_copies(source, header, layout))
        name_count = len(namelist.names) if namelist else 0
        plans = [
            plan_frames(
                copy,
                name_count,
                source.size,
                _reserved_regions(source, header, copy, namelist, layout, name_count),
                sorted_by_id=intact and layout == 2,
            )
            for copy in _index_copies(source, header)
        ]
    finally:
        source.close()
    plans.sort(
        key=lambda plan: (
            intact and plan.index.current and plan.index.ends_cleanly and not plan.lost,
            len(plan.kept),
            sum(len(group) for group in plan.kept.values()),
            plan.index.current,
        ),
        reverse=True,
    )
    return header, intact, namelist, plans


# -- writing the new file -------------------------------------------------------


def _chunk_value(source: _Source, entry) -> Union[str, np.ndarray]:
    """The chunk as write_chunk takes it; raises ValueError when rux.fl cannot write it."""
    type_code, rows, columns = int(entry["type"]), int(entry["N"]), int(entry["M"])
    if columns == 0:
        raise ValueError("it has 0 columns")
    size = rows * columns * int(fmt.ELEMENT_SIZES[type_code])
    data = source.read(int(entry["location"]), size)
    if len(data) != size:
        raise ValueError("its data are no longer in the file")
    if type_code == fmt.CHARACTER:
        if columns != 1:
            raise ValueError("it is a text chunk of several columns")
        try:
            return data.decode("ascii")
        except UnicodeDecodeError:
            raise ValueError("it is text that is not ASCII") from None
    array = np.frombuffer(data, dtype=fmt.ELEMENT_DTYPES[type_code])
    return array if columns == 1 else array.reshape(rows, columns)


def _unwritable(source: _Source, entries: np.ndarray, names: List[bytes]) -> Optional[str]:
    """Why rux.fl cannot write the chunks of a frame again, or None."""
    for entry in entries:
        name = names[int(entry["id"])]
        try:
            name.decode("utf-8")
        except UnicodeDecodeError:
            return f"the chunk name {name!r} is not UTF-8"
        if int(entry["type"]) == fmt.CHARACTER or int(entry["M"]) == 0:
            try:
                _chunk_value(source, entry)
            except ValueError as error:
                return f"chunk {name.decode('utf-8')!r}: {error}"
    return None


def _publish(temporary: str, output: str, force: bool) -> None:
    """Moves the finished file to OUT in one step; without force, never over an existing file."""
    if force:
        os.replace(temporary, output)
    else:
        try:
            os.link(temporary, output)  # fails if OUT appeared meanwhile
        except FileExistsError:
            raise RecoveryError(f"{output} exists; use --force to replace it") from None
        except OSError:
            # No hard links on this file system.
            if os.path.lexists(output):
                raise RecoveryError(f"{output} exists; use --force to replace it") from None
            os.replace(temporary, output)
        else:
            os.unlink(temporary)
    directory = os.open(os.path.dirname(os.path.abspath(output)), os.O_RDONLY)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)


def recover(
    input_path,
    output_path,
    force: bool = False,
    progress: Optional[Callable[[int, int], None]] = None,
) -> RecoveryReport:
    """Writes every proven whole frame of INPUT to a new file OUTPUT.

    INPUT is only read. OUTPUT is written under a temporary name beside it and
    renamed when complete; an existing OUTPUT is replaced only with ``force``.
    """
    input_path, output_path = os.fspath(input_path), os.fspath(output_path)
    if os.path.isdir(output_path):
        raise IsADirectoryError(21, "Is a directory", output_path)
    if os.path.lexists(output_path):
        if os.path.exists(output_path) and os.path.samefile(input_path, output_path):
            raise RecoveryError(f"{output_path} is the input file; recover writes a new file")
        if not force:
            raise RecoveryError(f"{output_path} exists; use --force to replace it")
    header, intact, namelist, plans = analyse(input_path)
    report = RecoveryReport(input_path, output_path, intact)
    if not intact:
        report.notes.append("the header is damaged: its magic number or version is wrong")
    if namelist is None:
        raise RecoveryError(f"no namelist found in {input_path}")
    if not plans:
        raise RecoveryError(f"no index block found in {input_path}")
    plan = plans[0]
    report.index_location, report.index_is_current = plan.index.location, plan.index.current
    report.namelist_location, report.namelist_is_current = namelist.location, namelist.current
    report.frames_found = max(candidate.frames_seen for candidate in plans)
    report.chunks_found = max(len(candidate.index.entries) for candidate in plans)
    if header.index_end > os.path.getsize(input_path):
        report.notes.append("the index block named by the header extends past the end of the file")
    if not plan.index.current:
        report.notes.append(
            f"the index block named by the header is unusable; the copy at offset "
            f"{plan.index.location} was used"
        )
    if len(plan.overlapping):
        count = len(plan.overlapping)
        listed = ", ".join(
            f"entry {position} (frame {frame})"
            for position, frame in zip(
                plan.overlapping[:_LISTED_OVERLAPS].tolist(),
                plan.index.entries["frame"][plan.overlapping[:_LISTED_OVERLAPS]].tolist(),
            )
        )
        more = f" and {count - _LISTED_OVERLAPS} more" if count > _LISTED_OVERLAPS else ""
        report.notes.append(
            f"{count} {'entry has' if count == 1 else 'entries have'} data over another "
            "chunk's data or over a block, where rux never writes a chunk (one of the two is "
            f"damaged); their frames are left out: {listed}{more}"
        )
    if plan.unproven_last is not None:
        report.notes.append(
            f"frame {plan.unproven_last} is the last of the index block, whose used part does "
            "not end cleanly: it may be cut short"
        )
    directory = os.path.dirname(os.path.abspath(output_path))
    try:
        descriptor, temporary = tempfile.mkstemp(
            prefix="." + os.path.basename(output_path) + ".", suffix=".part", dir=directory
        )
    except OSError as error:
        raise OSError(error.errno, error.strerror, output_path) from None
    os.close(descriptor)
    source = _Source(input_path)
    try:
        _write_output(source, temporary, plan, namelist, header, report, progress)
        _publish(temporary, output_path, force)
    except OSError as error:
        # The temporary name means nothing to the user; the output does.
        if error.filename == input_path:
            raise
        raise OSError(error.errno, error.strerror, output_path) from None
    finally:
        source.close()
        if os.path.lexists(temporary):
            os.unlink(temporary)
    return report


def _write_output(
    source: _Source,
    temporary: str,
    plan: Plan,
    namelist: NamelistCopy,
    header: raw.Header,
    report: RecoveryReport,
    progress: Optional[Callable[[int, int], None]],
) -> None:
    """Writes the kept frames to the temporary file and fills in the report's counts."""
    from . import fl

    application, schema = header.application, header.schema
    version = (header.schema_version >> 16, header.schema_version & 0xFFFF)
    skipped: List[int] = []
    with fl.open(temporary, "w", application, schema, version) as handle:
        top = plan.frames_written
        for frame in range(top):
            group = plan.kept.get(frame)
            if group is not None:
                entries = plan.index.entries[group]
                why = _unwritable(source, entries, namelist.names)
                if why is not None:
                    report.notes.append(f"frame {frame} is left out: {why}")
                    skipped.append(frame)
                else:
                    for entry in entries:
                        name = namelist.names[int(entry["id"])].decode("utf-8")
                        handle.write_chunk(name, _chunk_value(source, entry))
                    report.chunks_kept += len(entries)
            handle.end_frame()
            if progress is not None:
                progress(frame + 1, top)
    report.frames_written = top
    last = report.frames_found - 1
    lost = [(low, min(high, last)) for low, high in plan.lost if low <= last]
    report.frames_lost = [list(pair) for pair in _merged(lost + [(f, f) for f in skipped])]
    lost_below_top = sum(
        max(0, min(high, top - 1) - low + 1) for low, high in _merged(lost)
    )
    report.frames_kept = top - lost_below_top - len(skipped)
