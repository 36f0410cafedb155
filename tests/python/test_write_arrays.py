"""write_chunk: type codes, dimensions, copies of the input and refusals."""

import numpy
import pytest
import rux.fl as fl

from rux_files import CHARACTER, TYPE_CODES, read_chunk_bytes, read_index, read_names

DTYPES = list(TYPE_CODES)
COPY_WARNING = "implicit data copy when writing chunk: "


def extreme_values(dtype, count):
    if numpy.issubdtype(dtype, numpy.integer):
        info = numpy.iinfo(dtype)
        values = [info.min, info.max, 0, 1, info.max // 3]
    else:
        info = numpy.finfo(dtype)
        values = [info.min, info.max, info.tiny, -0.0, numpy.inf, -numpy.inf, numpy.nan, 1.5]
    return numpy.resize(numpy.array(values, dtype=dtype), count)


def written_entries(f, path):
    f.close()
    return read_index(path)


@pytest.mark.parametrize("shape", [(5,), (3, 4), (1, 1)], ids=str)
@pytest.mark.parametrize("dtype", DTYPES)
def test_every_type_round_trips(new_file, path, dtype, shape):
    data = extreme_values(dtype, int(numpy.prod(shape))).reshape(shape)
    f = new_file()
    f.write_chunk("data", data)
    f.end_frame()
    (entry,) = written_entries(f, path)
    rows, columns = shape if len(shape) == 2 else (shape[0], 1)
    assert (entry.type, entry.N, entry.M, entry.frame) == (TYPE_CODES[dtype], rows, columns, 0)
    assert read_chunk_bytes(path, entry, data.itemsize) == data.tobytes()
    with fl.open(path, "r") as g:
        result = g.read_chunk(0, "data")
    assert result.dtype == numpy.dtype(dtype)
    assert result.shape == (shape if len(shape) == 2 and shape[1] != 1 else (rows,))
    numpy.testing.assert_array_equal(result.reshape(shape), data)


@pytest.mark.parametrize(
    "data",
    [
        numpy.arange(6, dtype=numpy.float32),
        numpy.arange(6, dtype=numpy.int16).reshape(2, 3),
        numpy.arange(12, dtype=numpy.uint8).reshape(3, 4)[1:],  # rows of a C array
    ],
    ids=["1d", "2d", "row-slice"],
)
def test_c_contiguous_arrays_are_not_copied(new_file, path, records, data):
    f = new_file()
    records.clear()
    f.write_chunk("data", data)
    assert records.messages == [("debug", f"write chunk: {path} - data")]


def test_read_only_arrays_are_accepted_without_copy(new_file, path, records):
    data = numpy.arange(8, dtype=numpy.int32).reshape(4, 2)
    data.setflags(write=False)
    f = new_file()
    records.clear()
    f.write_chunk("data", data)
    f.end_frame()
    assert [level for level, _ in records.messages] == ["debug", "debug"]
    f.close()
    with fl.open(path, "r") as g:
        numpy.testing.assert_array_equal(g.read_chunk(0, "data"), data)


class Tagged(numpy.ndarray):
    pass


@pytest.mark.parametrize(
    "data, code, rows, columns, expected",
    [
        (
            numpy.asfortranarray(numpy.arange(6.0).reshape(3, 2)),
            10,
            3,
            2,
            numpy.arange(6.0).reshape(3, 2),
        ),
        (numpy.arange(10, dtype=numpy.int8)[::2], 5, 5, 1, numpy.arange(0, 10, 2)),
        ([1.5, 2.5], 10, 2, 1, numpy.array([1.5, 2.5])),
        ([[1, 2, 3], [4, 5, 6]], 8, 2, 3, numpy.array([[1, 2, 3], [4, 5, 6]])),
        (2.5, 10, 1, 1, numpy.array([2.5])),
        (numpy.float32(4.0), 9, 1, 1, numpy.array([4.0])),
        (numpy.arange(4, dtype=numpy.uint16).view(Tagged), 2, 4, 1, numpy.arange(4)),
    ],
    ids=["fortran", "strided", "float-list", "int-list", "float", "scalar", "subclass"],
)
def test_other_inputs_are_copied_with_one_warning(
    new_file, path, records, data, code, rows, columns, expected
):
    f = new_file()
    records.clear()
    f.write_chunk("data", data)
    assert records.messages == [
        ("warning", COPY_WARNING + "data"),
        ("debug", f"write chunk: {path} - data"),
    ]
    f.end_frame()
    (entry,) = written_entries(f, path)
    assert (entry.type, entry.N, entry.M) == (code, rows, columns)
    with fl.open(path, "r") as g:
        numpy.testing.assert_array_equal(g.read_chunk(0, "data").reshape(expected.shape), expected)


@pytest.mark.parametrize(
    "data",
    [
        numpy.array([True, False]),
        numpy.zeros(3, dtype=numpy.float16),
        numpy.zeros(3, dtype=numpy.complex64),
        numpy.zeros(3, dtype=">f8"),
        numpy.zeros(3, dtype=">i4"),
        numpy.array([None, 1], dtype=object),
        numpy.array(["abc"]),
        numpy.array([b"abc"]),
        numpy.zeros(2, dtype="datetime64[s]"),
        numpy.zeros(2, dtype=[("x", "f4"), ("y", "f4")]),
        numpy.zeros(2, dtype=numpy.longdouble),
    ],
    ids=[
        "bool",
        "float16",
        "complex64",
        "big-f8",
        "big-i4",
        "object",
        "unicode",
        "bytes",
        "datetime",
        "structured",
        "longdouble",
    ],
)
def test_unsupported_types_are_refused(new_file, path, records, data):
    f = new_file()
    records.clear()
    with pytest.raises(ValueError) as caught:
        f.write_chunk("bad", data)
    assert caught.value.args == ("invalid type for chunk: bad",)
    assert records.messages == []
    f.end_frame()
    f.close()
    assert read_names(path) == []


def test_refusal_comes_after_the_copy_warning(new_file, records):
    f = new_file()
    records.clear()
    with pytest.raises(ValueError, match="^invalid type for chunk: flags$"):
        f.write_chunk("flags", [True, False])
    assert records.messages == [("warning", COPY_WARNING + "flags")]


@pytest.mark.parametrize(
    "data, warned",
    [
        (numpy.zeros((2, 2, 2)), False),
        (numpy.zeros((1, 1, 1), dtype=numpy.int8), False),
        (numpy.asfortranarray(numpy.zeros((2, 3, 4))), True),
        ([[[1]]], True),
    ],
)
def test_more_than_two_dimensions_are_refused(new_file, path, records, data, warned):
    f = new_file()
    records.clear()
    with pytest.raises(ValueError) as caught:
        f.write_chunk("cube", data)
    assert caught.value.args == ("RUX can only write 1 or 2 dimensional arrays: cube",)
    assert records.messages == ([("warning", COPY_WARNING + "cube")] if warned else [])
    f.end_frame()
    f.close()
    assert read_names(path) == []


def test_dimensions_are_checked_before_the_type(new_file):
    with pytest.raises(ValueError, match="dimensional"):
        new_file().write_chunk("cube", numpy.zeros((2, 2, 2), dtype=bool))


@pytest.mark.parametrize("text", ["abc", "a", "x" * 5000, "line\nwith\ttabs"])
def test_str_is_written_as_a_character_chunk(new_file, path, records, text):
    f = new_file()
    records.clear()
    f.write_chunk("text", text)
    assert records.messages == [("debug", f"write chunk: {path} - text")]
    f.end_frame()
    (entry,) = written_entries(f, path)
    assert (entry.type, entry.N, entry.M) == (CHARACTER, len(text), 1)
    assert read_chunk_bytes(path, entry, 1) == text.encode("ascii")
    with fl.open(path, "r") as g:
        assert g.read_chunk(0, "text") == text


def test_empty_str_is_an_empty_character_chunk(new_file, path):
    f = new_file()
    f.write_chunk("empty", "")
    f.end_frame()
    (entry,) = written_entries(f, path)
    assert (entry.type, entry.N, entry.M) == (CHARACTER, 0, 1)
    with fl.open(path, "r") as g:
        assert g.read_chunk(0, "empty") == ""


def test_non_ascii_str_is_refused(new_file):
    with pytest.raises(UnicodeEncodeError):
        new_file().write_chunk("text", "naïve")


class Text(str):
    pass


@pytest.mark.parametrize("data", [Text("abc"), b"abc"], ids=["str-subclass", "bytes"])
def test_str_subclasses_and_bytes_take_the_array_path(new_file, records, data):
    f = new_file()
    records.clear()
    with pytest.raises(ValueError, match="^invalid type for chunk: text$"):
        f.write_chunk("text", data)
    assert records.messages == [("warning", COPY_WARNING + "text")]


def test_empty_array_has_no_rows(new_file, path):
    f = new_file()
    f.write_chunk("none", numpy.zeros(0, dtype=numpy.uint32))
    f.end_frame()
    (entry,) = written_entries(f, path)
    assert (entry.type, entry.N, entry.M) == (3, 0, 1)
    with fl.open(path, "r") as g:
        result = g.read_chunk(0, "none")
    assert result.dtype == numpy.uint32 and result.shape == (0,)


def test_zero_columns_are_refused_by_the_library(new_file, path):
    with pytest.raises(RuntimeError) as caught:
        new_file().write_chunk("flat", numpy.zeros((5, 0)))
    assert caught.value.args == ("Invalid rux argument: " + path,)


def test_read_only_file_converts_before_refusing(new_file, path, records):
    new_file().close()
    with fl.open(path, "r") as f:
        records.clear()
        with pytest.raises(RuntimeError) as caught:
            f.write_chunk("data", [1, 2, 3])
    assert caught.value.args == ("File must be writable: " + path,)
    assert records.messages[:2] == [
        ("warning", COPY_WARNING + "data"),
        ("debug", f"write chunk: {path} - data"),
    ]


def test_closed_file_refuses_before_converting(new_file, records):
    f = new_file()
    f.close()
    records.clear()
    with pytest.raises(ValueError, match="^File is not open$"):
        f.write_chunk("data", [[1], [2, 3]])
    assert records.messages == []


def test_numpy_conversion_errors_propagate_before_logging(new_file, records):
    f = new_file()
    records.clear()
    with pytest.raises(ValueError):
        f.write_chunk("ragged", [[1], [2, 3]])
    assert records.messages == []


@pytest.mark.parametrize("data", [numpy.arange(3), [1, 2]], ids=["array", "list"])
def test_name_must_be_a_str(new_file, data):
    with pytest.raises(TypeError):
        new_file().write_chunk(b"name", data)


def test_keywords_and_argument_count(new_file, path):
    f = new_file()
    f.write_chunk(data=numpy.arange(2), name="kw")
    with pytest.raises(TypeError):
        f.write_chunk("only-name")
    with pytest.raises(TypeError):
        f.write_chunk("a", numpy.arange(2), 3)
    with pytest.raises(TypeError):
        f.write_chunk(name="a", values=numpy.arange(2))


def test_chunk_of_the_frame_in_progress_is_not_found_until_the_frame_ends(new_file):
    f = new_file()
    f.write_chunk("data", numpy.arange(3))
    assert f.chunk_exists(0, "data") is False
    with pytest.raises(KeyError):
        f.read_chunk(0, "data")
    f.end_frame()
    assert f.chunk_exists(0, "data") is True
    numpy.testing.assert_array_equal(f.read_chunk(0, "data"), numpy.arange(3))


@pytest.mark.parametrize("buffer_size", [1, 64, 1 << 26], ids=["direct", "small-buffer", "default"])
def test_caller_may_reuse_its_array_after_the_write(new_file, path, buffer_size):
    f = new_file()
    f.maximum_write_buffer_size = buffer_size
    data = numpy.arange(100, dtype=numpy.float64)
    for frame in range(5):
        data[:] = frame
        f.write_chunk("data", data)
        f.write_chunk("label", f"frame{frame}")
        f.end_frame()
    f.close()
    with fl.open(path, "r") as g:
        assert g.nframes == 5
        for frame in range(5):
            assert (g.read_chunk(frame, "data") == frame).all()
            assert g.read_chunk(frame, "label") == f"frame{frame}"


def test_name_is_cut_at_its_first_nul(new_file, path):
    f = new_file()
    f.write_chunk("cut\0away", numpy.arange(2))
    f.end_frame()
    assert f.find_matching_chunk_names("") == ["cut"]
    assert f.chunk_exists(0, "cut")
