"""Writes the damaged-entry seeds of the fuzzing corpus: files whose one damaged
field puts a chunk over bytes that rux never lets a chunk share (another chunk,
the header, a block, an old copy of a block), and a commit record counting
fewer names than its entries use; middle entries out of order, of another id,
unused or claiming 2^56 rows, with and without a commit record that vouches
for them; version 1 frames out of order, lacking a name or holding one twice,
and a namelist holding a name twice; a file held by a record in version 2.2.
Each file is named by the SHA-1 of its bytes, as libFuzzer names corpus files.

    python tests/fuzz/make_damaged_seeds.py tests/fuzz/corpus
"""

import hashlib
import os
import struct
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import rux_files as rf  # noqa: E402


def _small(directory):
    """Eight frames of two float64 chunks (ids 0 and 1), data back to back."""
    chunks = [rf.Chunk(i // 2, i % 2, 10, 2, 1, np.full(2, i, np.float64).tobytes()) for i in range(16)]
    return rf.craft_file(os.path.join(directory, "small.rux"), [b"a", b"b"], chunks)


def _grown(directory):
    """Both blocks grew: old copies of each stay behind at 256 and 4352."""
    import rux.fl as fl

    path = os.path.join(directory, "grown.rux")
    with fl.open(path, "w", "seed", "fuzz", (1, 0)) as handle:
        handle.index_entries_to_buffer = 8
        for frame in range(140):
            handle.write_chunk("step", np.array([frame], dtype=np.int64))
            if frame % 5 == 0:
                handle.write_chunk(f"observables/{frame:03d}" + "x" * 40, np.ones(1))
            handle.end_frame()
        # Data after the last grown block keep it in the first half of the file,
        # which the harness keeps when it cuts the file under an open handle.
        handle.write_chunk("ballast", np.zeros(24000, dtype=np.uint8))
        handle.end_frame()
    return path


def _entry(path, position, field_offset, value, width="<Q"):
    data = bytearray(open(path, "rb").read())
    location = rf.read_header(path)["index_location"]
    struct.pack_into(width, data, location + 32 * position + field_offset, value)
    return bytes(data)


def _committed(directory, data, entries, names, version=None):
    """The file's bytes with a trusted writer record vouching for `entries`."""
    path = os.path.join(directory, "committed.rux")
    with open(path, "wb") as out:
        out.write(data)
    if version is not None:
        with open(path, "r+b") as out:
            out.seek(44)
            out.write(struct.pack("<I", version))
    rf.seal_commit_record(path, entries, names)
    return open(path, "rb").read()


def _version_1(directory):
    """Frames of a (id 0), b (id 1) and a second "a" (id 2) in the version 1
    layout: frame 1 lists b before a, frame 2 lacks b, frame 3 holds a twice
    and the second "a"."""
    layout = [(0, 0), (0, 1), (1, 1), (1, 0), (2, 0), (3, 0), (3, 2), (3, 0), (4, 1), (4, 0)]
    chunks = [rf.Chunk(frame, name_id, 8, 1, 1, np.int64(i).tobytes()) for i, (frame, name_id) in enumerate(layout)]
    return rf.craft_file(os.path.join(directory, "v1.rux"), [b"a", b"b", b"a"], chunks,
                         rux_version=rf.VERSION_1_0)


def _twice(directory):
    """Version 2: frame 1 holds a twice (equal frame and id, side by side)."""
    layout = [(0, 0), (0, 1), (1, 0), (1, 0), (1, 1), (2, 0), (2, 1)]
    chunks = [rf.Chunk(frame, name_id, 8, 1, 1, np.int64(i).tobytes()) for i, (frame, name_id) in enumerate(layout)]
    return rf.craft_file(os.path.join(directory, "twice.rux"), [b"a", b"b"], chunks)


def seeds(directory):
    small = _small(directory)
    entries = rf.read_index(small)
    grown = _grown(directory)
    header = rf.read_header(grown)
    middle = len(rf.read_index(grown)) // 2
    yield _entry(small, 5, 8, 3)  # N: runs into the next chunk's data
    yield _entry(small, 5, 16, entries[9].location + 4)  # into another chunk's data
    yield _entry(small, 5, 16, entries[9].location)  # the same bytes as another chunk
    yield _entry(small, 5, 16, 100)  # over the header
    yield _entry(small, 5, 16, 256 + 64)  # over the index block
    yield _entry(small, 5, 16, 4352 + 1)  # over the namelist block
    yield _entry(grown, middle, 16, header["index_location"] + 40)
    yield _entry(grown, middle, 16, 256 + 32 * 3)  # over the old index block
    yield _entry(grown, middle, 16, 4352 + 8)  # over the old namelist block
    # Middle entries a record vouches for unseen (and a count does not probe).
    for damaged in (
        _entry(small, 6, 0, 7),  # frame out of order, ahead
        _entry(small, 9, 0, 1),  # frame out of order, behind
        _entry(small, 7, 28, 0, "<H"),  # the id of the frame's other chunk
        _entry(small, 6, 16, 0),  # unused, with data
        _entry(small, 6, 8, 1 << 56),  # 2^56 rows
    ):
        yield damaged
        yield _committed(directory, damaged, 16, 2)
    for crafted in (_version_1(directory), _twice(directory)):
        data = open(crafted, "rb").read()
        yield data
        yield _committed(directory, data, len(rf.read_index(crafted)), 3 if "v1" in crafted else 2)
    # Held by a record in a version whose record rux does not keep.
    yield _committed(directory, open(small, "rb").read(), 16, 2, version=0x20002)
    rf.seal_commit_record(small, 16, 1)  # the committed entries use two names
    yield open(small, "rb").read()


def main(target):
    os.makedirs(target, exist_ok=True)
    with tempfile.TemporaryDirectory() as directory:
        for data in seeds(directory):
            name = hashlib.sha1(data).hexdigest()
            with open(os.path.join(target, name), "wb") as out:
                out.write(data)
            print(name, len(data))


if __name__ == "__main__":
    main(sys.argv[1])
