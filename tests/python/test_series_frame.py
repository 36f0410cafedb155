"""read_series and read_frame, checked against read_chunk as the oracle."""

import os
import random

import subprocess
import sys

import numpy as np
import pytest
from conftest import fl
from rux_files import CHARACTER, TYPE_CODES, VERSION_1_0, VERSION_2_1, Chunk, craft_file

FRAMES = 20
NAMES = [b"pos", b"e", b"txt", b"ids", b"sometimes", b"grid"]


def _chunks(rng):
    """Per frame: pos (4, 3) float32, e (1, 1) float64, txt, ids (5,) int32, grid
    (chars, N 2, M 3), and 'sometimes' in even frames; frame 7 holds e twice."""
    chunks = []
    for t in range(FRAMES):
        frame = [
            Chunk(t, 0, TYPE_CODES["float32"], 4, 3, rng.randbytes(48)),
            Chunk(t, 1, TYPE_CODES["float64"], 1, 1, np.float64(t + 0.5).tobytes()),
            Chunk(t, 2, CHARACTER, 5, 1, b"fr%02d\0" % t),
            Chunk(t, 3, TYPE_CODES["int32"], 5, 1, rng.randbytes(20)),
            Chunk(t, 5, CHARACTER, 2, 3, b"abcdef"),
        ]
        if t % 2 == 0:
            frame.append(Chunk(t, 4, TYPE_CODES["uint8"], 3, 1, bytes([t, t, t])))
        if t == 7:
            frame.append(Chunk(t, 1, TYPE_CODES["float64"], 1, 1, np.float64(-1).tobytes()))
        chunks.append(frame)
    return chunks


@pytest.fixture(params=["v2", "v1"])
def crafted(request, tmp_path):
    rng = random.Random(7)
    ordered = []
    for frame in _chunks(rng):
        if request.param == "v1":
            rng.shuffle(frame)  # within a frame only the frame order holds
        else:
            frame.sort(key=lambda chunk: chunk.name_id)
        ordered += frame
    version = VERSION_2_1 if request.param == "v2" else VERSION_1_0
    path = craft_file(tmp_path / "crafted.rux", NAMES, ordered, rux_version=version)
    with fl.open(path, "r") as f:
        yield f


def oracle_series(f, name, frames):
    chunks = [f.read_chunk(t, name) for t in frames]
    if chunks and isinstance(chunks[0], str):
        return chunks
    return np.stack(chunks) if chunks else np.empty((0,))


SELECTIONS = [None, range(0, FRAMES, 3), range(FRAMES - 1, -1, -5), slice(None, None, -4),
              slice(2, 9), [5, 2, 5, 19, 0], np.array([7, 1]), range(0)]


@pytest.mark.parametrize("name", ["pos", "e", "txt", "ids", "grid"])
@pytest.mark.parametrize("frames", SELECTIONS)
def test_series_matches_read_chunk(crafted, name, frames):
    if frames is None:
        expected_frames = range(crafted.nframes)
    elif isinstance(frames, slice):
        expected_frames = range(crafted.nframes)[frames]
    else:
        expected_frames = list(frames)
    series = crafted.read_series(name, frames)
    expected = oracle_series(crafted, name, expected_frames)
    if isinstance(expected, list):
        assert series == expected
    else:
        assert series.dtype == expected.dtype and series.shape == expected.shape
        np.testing.assert_array_equal(series, expected)


@pytest.mark.parametrize("frame", [0, 7, 8, FRAMES - 1])
def test_frame_matches_read_chunk(crafted, frame):
    read = crafted.read_frame(frame)
    names = [n for n in ["pos", "e", "txt", "ids", "sometimes", "grid"]
             if crafted.chunk_exists(frame, n)]
    assert sorted(read) == sorted(names)
    for name in names:
        expected = crafted.read_chunk(frame, name)
        if isinstance(expected, str):
            assert read[name] == expected
        else:
            assert read[name].dtype == expected.dtype
            np.testing.assert_array_equal(read[name], expected)


def test_writable_handle_flushes_and_skips_frame_in_progress(new_file):
    f = new_file()
    for t in range(30):
        f.write_chunk("x", np.arange(6, dtype=np.int16).reshape(3, 2) + t)
        f.write_chunk("s", np.array([t * 2.0]))
        f.end_frame()
    f.write_chunk("x", np.zeros((3, 2), np.int16))  # frame 30, not completed
    series = f.read_series("x")
    assert series.shape == (30, 3, 2)
    np.testing.assert_array_equal(series, np.stack([f.read_chunk(t, "x") for t in range(30)]))
    np.testing.assert_array_equal(f.read_series("s")[:, 0], np.arange(30) * 2.0)
    assert f.read_frame(29)["s"][0] == 58.0
    with pytest.raises(KeyError):
        f.read_series("x", [30])


def test_out_is_filled_and_returned(crafted):
    out = np.full((3, 4, 3), np.nan, dtype=np.float32)
    assert crafted.read_series("pos", [1, 2, 3], out=out) is out
    np.testing.assert_array_equal(out, oracle_series(crafted, "pos", [1, 2, 3]))


def _read_only(shape):
    array = np.zeros(shape, np.float32)
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("out", [
    np.zeros((3, 4, 3), np.float64),
    np.zeros((3, 4, 2), np.float32),
    np.zeros((3, 12), np.float32),
    np.zeros((3, 4, 6), np.float32)[:, :, ::2],
    _read_only((3, 4, 3)),
    np.zeros((3, 4, 3), ">f4"),
    [[0.0]],
])
def test_wrong_out_is_refused(crafted, out):
    with pytest.raises(ValueError, match="out must be"):
        crafted.read_series("pos", [1, 2, 3], out=out)


@pytest.mark.parametrize("name, frames, error, message", [
    ("sometimes", [0, 2, 3], KeyError, "frame 3 / chunk sometimes not found in: "),
    ("sometimes", None, KeyError, "frame 1 / chunk sometimes not found in: "),
    ("nothing", [4], KeyError, "frame 4 / chunk nothing not found in: "),
    ("pos", [0, FRAMES], KeyError, f"frame {FRAMES} / chunk pos not found in: "),
    ("pos", [3, -1], KeyError, "frame -1 / chunk pos not found in: "),
    ("pos", range(2, -3, -1), KeyError, "frame -1 / chunk pos not found in: "),
    ("pos", "abc", TypeError, "frames must be"),
])
def test_series_errors(crafted, name, frames, error, message):
    with pytest.raises(error, match=message):
        crafted.read_series(name, frames)


def test_series_differing_shape_names_first_frame_that_differs(new_file):
    f = new_file()
    for t, rows in enumerate([2, 2, 3, 2]):
        f.write_chunk("x", np.zeros(rows, np.float32))
        f.end_frame()
    with pytest.raises(ValueError, match="chunk x differs in type or shape at frame 2 in: "):
        f.read_series("x")
    assert f.read_series("x", [0, 1, 3]).shape == (3, 2)


@pytest.mark.parametrize("frame", [FRAMES, -1])
def test_frame_out_of_range(crafted, frame):
    with pytest.raises(KeyError, match=f"frame {frame} not found in: "):
        crafted.read_frame(frame)


@pytest.mark.parametrize("method, args", [("read_series", ("x",)), ("read_frame", (0,))])
def test_closed_file(new_file, method, args):
    f = new_file()
    f.close()
    with pytest.raises(ValueError, match="File is not open"):
        getattr(f, method)(*args)


@pytest.mark.parametrize("read_before", [False, True])  # the mapping kept from a read before
@pytest.mark.parametrize("name", ["pos", "e"])  # one read, and a copy through a mapping
def test_file_cut_under_a_reader_is_not_read_past_its_end(crafted, name, read_before):
    if read_before:
        crafted.read_series(name)
        crafted.read_frame(FRAMES - 1)
    os.truncate(crafted.name, os.path.getsize(crafted.name) - 200)
    with pytest.raises(OSError):
        crafted.read_series(name)
    with pytest.raises(OSError):
        crafted.read_frame(FRAMES - 1)


def test_frame_names_follow_a_truncation(new_file):
    f = new_file()
    f.write_chunk("a", np.arange(3.0))
    f.end_frame()
    assert list(f.read_frame(0)) == ["a"]
    f.truncate()
    f.write_chunk("b", np.arange(2.0))  # the same id as "a" had
    f.end_frame()
    frame = f.read_frame(0)
    assert list(frame) == ["b"]
    np.testing.assert_array_equal(frame["b"], np.arange(2.0))


def test_threads_sharing_one_file_take_turns(tmp_path):
    """Series and frame reads through one object from several threads: the
    handle's kept data mapping is replaced by none of them under another."""
    path = tmp_path / "shared.rux"
    with fl.open(str(path), "w", application="a", schema="s", schema_version=(1, 0)) as f:
        for t in range(40):
            f.write_chunk("x", np.arange(6, dtype=np.float32).reshape(3, 2) + t)
            f.write_chunk("y", np.arange(3) + t)
            f.write_chunk("s", "text %d" % t)
            f.end_frame()
    script = """
import sys, threading, numpy as np, rux.fl as fl
expected = np.arange(6, dtype=np.float32).reshape(1, 3, 2) + np.arange(40).reshape(40, 1, 1)
for _ in range(3000):
    f = fl.open(sys.argv[1], "r")
    barrier = threading.Barrier(4)
    failures = []
    def work():
        barrier.wait()
        for _ in range(3):
            if not np.array_equal(f.read_series("x"), expected):
                failures.append(1)
    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads: thread.start()
    for thread in threads: thread.join()
    f.close()
    assert not failures
print("ok")
"""
    result = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr
