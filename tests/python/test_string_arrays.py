"""numpy string arrays: rux.fl's write_strings and the trajectory layer's U and S names."""

import numpy
import pytest

from conftest import fl

import rux

VALUES = {
    "ascii": numpy.array(["CA", "N", "OXT", ""]),
    "utf-8": numpy.array(["Å", "ß", "C"]),
    "bytes": numpy.array([b"x", b"\x00y", b"zz"]),
    "one": numpy.array(["H"]),
    "one byte string": numpy.array([b"Na"]),
    "empty": numpy.zeros(0, dtype="U4"),
    "empty bytes": numpy.zeros(0, dtype="S2"),
}


def same_strings(got, expected):
    assert isinstance(got, numpy.ndarray) and got.dtype.kind == expected.dtype.kind
    assert got.shape == expected.shape
    assert got.tolist() == expected.tolist()


@pytest.mark.parametrize("key", VALUES)
def test_string_arrays_round_trip_through_every_read(path, key):
    value = VALUES[key]
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        traj.append({"s": value, "x": 0})
        traj.append({"x": 1})
        traj.append({"s": value, "x": 2})
    with rux.open(path) as traj:
        for i in range(3):
            same_strings(traj[i]["s"], value)
        same_strings(next(traj.frames(["s"]))["s"], value)
        series = traj.series("s")
        same_strings(series, numpy.array([value] * 3).reshape(3, len(value)))
        same_strings(traj[1:].series("s"), series[1:])


def test_a_list_of_str_is_a_unicode_array(path):
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        traj.append({"names": ["C1", "O2"]})
    with rux.open(path) as traj:
        same_strings(traj[0]["names"], numpy.array(["C1", "O2"]))


def test_a_series_whose_width_changes_is_read_frame_by_frame(path):
    frames = [numpy.array(["a", "b"]), numpy.array(["long", "é"]), numpy.array(["c", "d"])]
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        traj.extend({"s": value} for value in frames)
    with rux.open(path) as traj:
        assert traj.series("s").tolist() == [v.tolist() for v in frames]


def test_strings_are_stored_compactly_one_column_each(path):
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        traj.append({"s": numpy.array(["ab", "c"], dtype="U10"), "u": numpy.array(["é", "a"])})
    with fl.open(path, "r") as f:
        assert f.read_chunk(0, "s").tolist() == [[97, 98], [99, 0]]
        assert f.read_chunk(0, "u").view("S2")[:, 0].tolist() == ["é".encode(), b"a"]


@pytest.mark.parametrize(
    "value",
    [numpy.array([["a", "b"]]), numpy.array([b"\xff"])],
    ids=["two dimensions", "one string that is not UTF-8"],
)
def test_string_arrays_that_cannot_be_stored_are_refused_before_writing(path, value):
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        traj.append({"x": 0})
        with pytest.raises(ValueError, match="s$"):
            traj.append({"x": 1, "s": value})
        assert len(traj) == 1 and "s" not in traj


@pytest.mark.parametrize(
    "data, error",
    [
        ([b"a"], TypeError),
        (numpy.array(["a"]), ValueError),
        (numpy.array([[b"a"]]), ValueError),
        (numpy.array([b"ab", b"c", b"d"])[::2], ValueError),
        (numpy.zeros(0, dtype="S1"), RuntimeError),
    ],
    ids=["list", "unicode", "2-d", "strided", "empty"],
)
def test_write_strings_refuses_what_is_not_a_flat_bytes_array(new_file, data, error):
    f = new_file()
    with pytest.raises(error):
        f.write_strings("s", data)
    f.write_chunk("x", numpy.zeros(1))
    f.end_frame()
    f.close()
    with fl.open(f.name, "r") as f:
        assert f.nframes == 1 and not f.chunk_exists(0, "s")
