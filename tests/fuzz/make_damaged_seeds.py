"""Writes the damaged-entry seeds of the fuzzing corpus: files whose one damaged
field puts a chunk over bytes that rux never lets a chunk share (another chunk,
the header, a block, an old copy of a block), and a commit record counting
fewer names than its entries use. Each file is named by the SHA-1 of its bytes,
as libFuzzer names corpus files.

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


def _entry(path, position, field_offset, value):
    data = bytearray(open(path, "rb").read())
    location = rf.read_header(path)["index_location"]
    struct.pack_into("<Q", data, location + 32 * position + field_offset, value)
    return bytes(data)


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
