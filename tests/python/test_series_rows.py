"""read_series(rows=...) and Trajectory.series(rows=...), checked against
read_chunk of each frame indexed by numpy as the oracle."""

import numpy as np
import pytest
from conftest import fl

import rux

FRAMES = 9
N = 7


@pytest.fixture(scope="module")
def rows_file(tmp_path_factory):
    """pos (7, 3) float32 and ids (7,) int64 in every frame, apart from each
    other (a (300,) uint8 between); text; 'sometimes' in even frames only."""
    path = str(tmp_path_factory.mktemp("rows") / "rows.rux")
    rng = np.random.default_rng(5)
    with fl.open(path, "w", application="a", schema="s", schema_version=(1, 0)) as f:
        for t in range(FRAMES):
            f.write_chunk("pos", rng.standard_normal((N, 3)).astype(np.float32))
            f.write_chunk("pad", np.zeros(300, np.uint8))
            f.write_chunk("ids", rng.integers(0, 1000, N))
            f.write_chunk("txt", f"frame {t}")
            if t % 2 == 0:
                f.write_chunk("sometimes", np.arange(N, dtype=np.int16))
            f.end_frame()
    with fl.open(path, "r") as f:
        yield f


def oracle(f, name, frames, rows):
    """Each frame read whole, stacked, then its rows taken as numpy takes them."""
    every = range(f.nframes)
    frames = every if frames is None else every[frames] if isinstance(frames, slice) else frames
    stacked = np.stack([f.read_chunk(t, name) for t in frames])
    if rows is None:
        return stacked
    if isinstance(rows, (slice, np.ndarray)):
        return stacked[:, rows]
    return stacked[:, np.array(list(rows), dtype=np.int64)]


ROWS = [
    None,
    slice(2, 5),
    slice(None, None, -2),
    slice(5, 100),  # clipped, as numpy clips
    slice(-3, None),
    slice(3, 3),
    range(1, 7, 2),
    range(-1, -8, -3),
    range(-2, 3),  # negative, then not
    [4, -1, 4, 0],
    (6,),
    np.array([6, 0, 3], np.int16),
    np.array([1, 2], np.uint64),
    np.arange(N)[::-1],  # a strided view
    np.arange(2, 6),  # contiguous: one piece per chunk
    [],
    np.array([], np.int64),
]


@pytest.mark.parametrize("name", ["pos", "ids"])
@pytest.mark.parametrize("frames", [None, [8, 0, 0, 3], slice(1, None, 3)])
@pytest.mark.parametrize("rows", ROWS, ids=repr)
def test_rows_match_read_chunk(rows_file, name, frames, rows):
    expected = oracle(rows_file, name, frames, rows)
    series = rows_file.read_series(name, frames, rows=rows)
    assert series.dtype == expected.dtype and series.shape == expected.shape
    np.testing.assert_array_equal(series, expected)


@pytest.mark.parametrize("rows, shown", [
    ([N], N), ([0, -N - 1], -N - 1), (np.array([2**64 - 1], np.uint64), 2**64 - 1),
    (range(4, 9), N), (range(-9, 0, 3), -9),
])
def test_row_out_of_range_is_an_index_error(rows_file, rows, shown):
    with pytest.raises(IndexError, match=f"row {shown} out of range for chunk pos of {N} rows in: "):
        rows_file.read_series("pos", rows=rows)


@pytest.mark.parametrize("rows, error, message", [
    ("ab", TypeError, "rows must be None, a slice"),
    (3, TypeError, "rows must be None, a slice"),
    ([1.5], TypeError, "rows must be None, a slice"),
    ([2**70], TypeError, "rows must be None, a slice"),
    (np.array([], np.float64), TypeError, "rows must be None, a slice"),
    ([True, False], TypeError, "not booleans"),
    ([[1]], ValueError, "rows must be one-dimensional"),
    (slice(None, None, 0), ValueError, "slice step cannot be zero"),
])
def test_rows_that_select_nothing_are_refused(rows_file, rows, error, message):
    with pytest.raises(error, match=message):
        rows_file.read_series("pos", rows=rows)
    with pytest.raises(error, match=message):  # even with no frames to read
        rows_file.read_series("pos", [], rows=rows)


def test_rows_of_text_are_refused_and_text_reads_as_before(rows_file):
    with pytest.raises(ValueError, match="rows cannot be selected in a series of text: txt"):
        rows_file.read_series("txt", rows=[0])
    assert rows_file.read_series("txt", [2, 3]) == ["frame 2", "frame 3"]


def test_frames_are_checked_as_without_rows(rows_file):
    with pytest.raises(KeyError, match="frame 1 / chunk sometimes not found in: "):
        rows_file.read_series("sometimes", rows=[0])
    with pytest.raises(KeyError, match=f"frame {FRAMES} / chunk pos not found in: "):
        rows_file.read_series("pos", [0, FRAMES], rows=[0])
    # No frame, no chunk to check rows against: an empty array, as without rows.
    empty = rows_file.read_series("pos", [], rows=[99])
    assert empty.shape == (0,) and empty.dtype == np.float64


def test_out_receives_the_selected_rows(rows_file):
    out = np.full((FRAMES, 2, 3), np.nan, np.float32)
    assert rows_file.read_series("pos", out=out, rows=[5, 1]) is out
    np.testing.assert_array_equal(out, oracle(rows_file, "pos", None, [5, 1]))
    one_column = np.zeros((2, 3), np.int64)
    assert rows_file.read_series("ids", [4, 6], one_column, slice(0, 6, 2)) is one_column
    np.testing.assert_array_equal(one_column, oracle(rows_file, "ids", [4, 6], slice(0, 6, 2)))
    with pytest.raises(ValueError, match=r"out must be .* shape \(9, 2, 3\) for chunk pos"):
        rows_file.read_series("pos", out=np.zeros((FRAMES, N, 3), np.float32), rows=[5, 1])


def test_trajectory_series_passes_rows_through(tmp_path):
    path = str(tmp_path / "traj.rux")
    rng = np.random.default_rng(2)
    positions = rng.standard_normal((10, 6, 3)).astype(np.float32)
    with rux.open(path, "w", "test", "md", (1, 0)) as traj:
        for i in range(10):
            frame = {"particles/position": positions[i], "title": f"frame {i}"}
            if i in (0, 4):
                frame["box"] = np.full((3, 2), float(i))  # once written: frames 1-3, 5-9 lack it
            traj.append(frame)
    with rux.open(path) as traj:
        np.testing.assert_array_equal(traj.series("particles/position", rows=[5, 0, 5]),
                                      positions[:, [5, 0, 5]])
        view = traj[2:9:3]
        np.testing.assert_array_equal(view.series("particles/position", rows=slice(1, 3)),
                                      positions[2:9:3, 1:3])
        np.testing.assert_array_equal(traj[3:].series("box", rows=[-1]),
                                      traj[3:].series("box")[:, [-1]])
        assert traj.series("box", rows=range(1, 3)).shape == (10, 2, 2)
        with pytest.raises(IndexError, match="row 6 out of range"):
            view.series("particles/position", rows=[6])
        with pytest.raises(ValueError, match="rows cannot be selected in a series of text"):
            traj.series("title", rows=[0])
