"""read_chunk, chunk_exists and find_matching_chunk_names."""

import numpy
import pytest
import rux.fl as fl

from rux_files import CHARACTER, DATA_START, VERSION_1_0, Chunk, craft_file


@pytest.fixture
def three_frames(new_file, path):
    """A file whose frame k holds "step" = [k, k] and "pos" = a (2, 3) float32 array."""
    with new_file() as f:
        for k in range(3):
            f.write_chunk("step", numpy.array([k, k], dtype=numpy.int32))
            f.write_chunk("pos", numpy.full((2, 3), k, dtype=numpy.float32))
            f.end_frame()
    return path


def craft_with_unchecked_entry(path, bad):
    """Five chunks of frame 0; the middle one (id 2, name "c") is not probed at open."""
    good = [Chunk(frame=0, name_id=i, type=5, N=1, M=1, data=bytes([i])) for i in (0, 1, 3, 4)]
    return craft_file(path, [b"a", b"b", b"c", b"d", b"e"], good[:2] + [bad] + good[2:])


def test_reads_return_new_arrays(three_frames):
    with fl.open(three_frames, "r") as f:
        first = f.read_chunk(1, "pos")
        second = f.read_chunk(1, "pos")
        assert first.shape == (2, 3) and first.dtype == numpy.float32
        assert (first == 1).all()
        assert not numpy.shares_memory(first, second)
        assert first.flags.c_contiguous and first.flags.writeable
        step = f.read_chunk(2, "step")
        assert step.shape == (2,) and step.dtype == numpy.int32
        assert list(step) == [2, 2]


def test_read_logs_the_frame_as_given(three_frames, records):
    with fl.open(three_frames, "r") as f:
        records.clear()
        f.read_chunk(numpy.int64(1), "step")
        f.read_chunk(2.9, "step")
        assert (f.read_chunk(2.9, "step") == 2).all()
    assert records.messages[:2] == [
        ("debug", f"read chunk: {three_frames} - 1 - step"),
        ("debug", f"read chunk: {three_frames} - 2.9 - step"),
    ]


@pytest.mark.parametrize(
    "frame, name, text",
    [
        (3, "step", "3"),
        (-1, "step", "-1"),
        (0, "missing", "0"),
        (7.5, "step", "7.5"),
        (2**63 - 1, "pos", str(2**63 - 1)),
    ],
)
def test_missing_chunks_raise_key_error(three_frames, frame, name, text):
    with fl.open(three_frames, "r") as f:
        with pytest.raises(KeyError) as caught:
            f.read_chunk(frame, name)
        assert caught.value.args == (f"frame {text} / chunk {name} not found in: {three_frames}",)
        assert f.chunk_exists(frame, name) is False


@pytest.mark.parametrize(
    "frame, exception, message",
    [
        ("1", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
    ],
)
def test_frame_conversion_errors(three_frames, frame, exception, message):
    with fl.open(three_frames, "r") as f:
        for method in (f.read_chunk, f.chunk_exists):
            with pytest.raises(exception) as caught:
                method(frame, "step")
            if message:
                assert str(caught.value) == message


def test_name_must_be_text(three_frames):
    with fl.open(three_frames, "r") as f:
        for call, exception in (
            (lambda: f.read_chunk(0, b"step"), TypeError),
            (lambda: f.chunk_exists(0, 3), TypeError),
            (lambda: f.find_matching_chunk_names(None), AttributeError),
        ):
            with pytest.raises(exception):
                call()


def test_chunk_exists(three_frames, records):
    with fl.open(three_frames, "r") as f:
        records.clear()
        assert f.chunk_exists(0, "pos") is True
        assert f.chunk_exists(frame=2, name="step") is True
        assert f.chunk_exists(3, "pos") is False
    assert records.messages[:2] == [
        ("debug", f"chunk exists: {three_frames} - pos"),
        ("debug", f"chunk exists: {three_frames} - step"),
    ]


def test_after_close(three_frames, records):
    f = fl.open(three_frames, "r")
    f.close()
    records.clear()
    assert f.chunk_exists(0, "pos") is False
    assert records.messages == [("debug", f"chunk exists: {three_frames} - pos")]
    with pytest.raises(ValueError, match="^File is not open$"):
        f.read_chunk(0, "pos")
    with pytest.raises(ValueError, match="^File is not open$"):
        f.find_matching_chunk_names("")
    with pytest.raises(ValueError, match="^File is not open$"):
        f.read_chunk("not converted", 0)


def test_writable_handle_finds_ended_frames_without_flush(new_file):
    f = new_file()
    f.write_chunk("a", numpy.arange(3, dtype=numpy.uint64))
    f.end_frame()
    f.write_chunk("a", numpy.arange(4, dtype=numpy.uint64))
    assert f.find_matching_chunk_names("") == ["a"]
    assert list(f.read_chunk(0, "a")) == [0, 1, 2]
    assert f.chunk_exists(1, "a") is False


def test_find_matching_chunk_names(new_file):
    f = new_file()
    assert f.find_matching_chunk_names("") == []
    for name in ("log/a", "pos", "log/b", "lo", "émission"):
        f.write_chunk(name, numpy.zeros(1))
    f.end_frame()
    assert f.find_matching_chunk_names("") == ["log/a", "pos", "log/b", "lo", "émission"]
    assert f.find_matching_chunk_names("log/") == ["log/a", "log/b"]
    assert f.find_matching_chunk_names(match="lo") == ["log/a", "log/b", "lo"]
    assert f.find_matching_chunk_names("é") == ["émission"]
    assert f.find_matching_chunk_names("x") == []


def test_character_chunk_drops_trailing_nul_bytes(new_file, path):
    with new_file() as f:
        f.write_chunk("text", "abc\0\0")
        f.write_chunk("inner", "a\0b")
        f.end_frame()
    with fl.open(path, "r") as f:
        assert f.read_chunk(0, "text") == "abc"
        assert f.read_chunk(0, "inner") == "a\0b"


@pytest.mark.parametrize(
    "chunk, expected",
    [
        (
            Chunk(frame=0, name_id=0, type=CHARACTER, N=2, M=4, data=b"abcdefgh"),
            numpy.frombuffer(b"abcdefgh", dtype=numpy.int8).reshape(4, 2),
        ),
        (Chunk(frame=0, name_id=0, type=CHARACTER, N=3, M=1, data="añ".encode()), "añ"),
        (Chunk(frame=0, name_id=0, type=CHARACTER, N=0, M=1, location=DATA_START), ""),
        (
            Chunk(frame=0, name_id=0, type=6, N=0, M=1, location=DATA_START),
            numpy.zeros(0, dtype=numpy.int16),
        ),
        (
            Chunk(frame=0, name_id=0, type=10, N=3, M=0, location=DATA_START),
            numpy.zeros((3, 0), dtype=numpy.float64),
        ),
        (
            Chunk(frame=0, name_id=0, type=CHARACTER, N=2, M=0, location=DATA_START),
            numpy.zeros((0, 2), dtype=numpy.int8),
        ),
    ],
    ids=["chars-2x4", "utf8", "empty-text", "no-rows", "no-columns", "chars-no-columns"],
)
def test_crafted_chunk_shapes(path, chunk, expected):
    # The library refuses to read an empty chunk: the binding must not ask it to.
    craft_file(path, [b"c"], [chunk])
    with fl.open(path, "r") as f:
        result = f.read_chunk(0, "c")
    if isinstance(expected, str):
        assert result == expected
    else:
        assert result.dtype == expected.dtype and result.shape == expected.shape
        numpy.testing.assert_array_equal(result, expected)


def test_character_bytes_that_are_not_utf8(path):
    craft_file(
        path, [b"c"], [Chunk(frame=0, name_id=0, type=CHARACTER, N=2, M=1, data=b"\xff\xfe")]
    )
    with fl.open(path, "r") as f:
        with pytest.raises(UnicodeDecodeError):
            f.read_chunk(0, "c")


def test_stored_name_that_is_not_utf8(path):
    craft_file(path, [b"ok", b"bad\xff", b"other"], [])
    with fl.open(path, "r") as f:
        with pytest.raises(UnicodeDecodeError):
            f.find_matching_chunk_names("")
        assert f.find_matching_chunk_names("o") == ["ok", "other"]


@pytest.mark.parametrize("code", [0, 12, 255])
def test_entry_of_unknown_type(path, records, code):
    craft_with_unchecked_entry(path, Chunk(frame=0, name_id=2, type=code, N=1, M=1, data=b"x"))
    with fl.open(path, "r") as f:
        assert f.read_chunk(0, "d")[0] == 3
        records.clear()
        with pytest.raises(ValueError) as caught:
            f.read_chunk(0, "c")
        assert records.messages == []
    assert caught.value.args == ("invalid type for chunk: c",)


def test_chunk_beyond_the_end_of_the_file_is_corrupt(path):
    craft_with_unchecked_entry(path, Chunk(frame=0, name_id=2, type=5, N=1, M=1, location=1 << 40))
    with fl.open(path, "r") as f:
        with pytest.raises(RuntimeError) as caught:
            f.read_chunk(0, "c")
    assert caught.value.args == ("Corrupt RUX file: " + path,)


def test_version_1_file_is_read(path):
    craft_file(
        path,
        [b"x", b"y"],
        [
            Chunk(frame=0, name_id=1, type=7, N=1, M=1, data=numpy.int32(5).tobytes()),
            Chunk(frame=0, name_id=0, type=7, N=1, M=1, data=numpy.int32(4).tobytes()),
            Chunk(frame=2, name_id=1, type=7, N=1, M=1, data=numpy.int32(6).tobytes()),
        ],
        rux_version=VERSION_1_0,
    )
    with fl.open(path, "r") as f:
        assert f.nframes == 3
        assert f.find_matching_chunk_names("") == ["x", "y"]
        assert [f.read_chunk(0, "x")[0], f.read_chunk(0, "y")[0], f.read_chunk(2, "y")[0]] == [
            4,
            5,
            6,
        ]
        assert f.chunk_exists(1, "y") is False
