"""Pickling of read-only files and use as a context manager."""

import copy
import pickle

import numpy
import pytest
import rux.fl as fl


@pytest.fixture
def written(new_file, path):
    with new_file(schema_version=(2, 5)) as f:
        f.write_chunk("data", numpy.arange(4, dtype=numpy.int16))
        f.end_frame()
    return path


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_read_only_file_round_trips_through_pickle(written, protocol):
    with fl.open(written, "r") as f:
        clone = pickle.loads(pickle.dumps(f, protocol=protocol))
    with clone:
        assert type(clone) is fl.RUXFile
        assert (clone.name, clone.mode) == (written, "r")
        assert (clone.schema, clone.application, clone.schema_version) == ("schema", "app", (2, 5))
        assert list(clone.read_chunk(0, "data")) == [0, 1, 2, 3]


def test_reduce_gives_the_class_and_the_five_arguments(written):
    with fl.open(written, "r") as f:
        assert f.__reduce__() == (fl.RUXFile, (written, "r", "app", "schema", (2, 5)))


def test_closed_read_only_file_still_pickles(written):
    f = fl.open(written, "r")
    f.close()
    with copy.copy(f) as clone:
        assert clone.nframes == 1


def test_subclass_instances_pickle_as_the_base_class(written):
    class Reader(fl.RUXFile):
        pass

    with Reader(written, "r", None, None, None) as f:
        assert f.__reduce__()[0] is fl.RUXFile


@pytest.mark.parametrize("mode", ["w", "r+", "x", "a"])
def test_writable_files_refuse_pickling(tmp_path, mode):
    path = str(tmp_path / f"{mode}.rux")
    if mode in ("r+",):
        fl.open(path, "w", "app", "schema", (1, 0)).close()
    with fl.open(path, mode, "app", "schema", (1, 0)) as f:
        with pytest.raises(pickle.PickleError) as caught:
            pickle.dumps(f)
    assert caught.value.args == ("Only read only RUXFiles can be pickled.",)


def test_pickle_error_is_looked_up_at_call_time(monkeypatch, new_file):
    class Refused(Exception):
        pass

    monkeypatch.setattr(fl, "PickleError", Refused)
    with pytest.raises(Refused):
        new_file().__reduce__()


def test_unpickling_checks_the_schema_again(written):
    with fl.open(written, "r") as f:
        data = pickle.dumps(f)
    fl.open(written, "w", "app", "changed", (1, 0)).close()
    with pytest.raises(RuntimeError, match="has incorrect schema: changed$"):
        pickle.loads(data)


def test_with_block_closes_the_file(written, records):
    with fl.open(written, "r") as f:
        assert f.__enter__() is f
        assert f.nframes == 1
    assert records.messages[-1] == ("info", f"closing file: {written}")
    with pytest.raises(ValueError, match="^File is not open$"):
        f.nframes


def test_with_block_closes_and_propagates_an_exception(written):
    with pytest.raises(ZeroDivisionError):
        with fl.open(written, "r") as f:
            1 / 0
    with pytest.raises(ValueError, match="^File is not open$"):
        f.nframes


def test_exit_calls_the_close_of_a_subclass(written):
    closed = []

    class Tracked(fl.RUXFile):
        def close(self):
            closed.append(self.name)
            super().close()

    with Tracked(written, "r", None, None, None):
        pass
    assert closed == [written]


def test_exception_from_close_propagates_from_exit(written):
    class Failing(fl.RUXFile):
        def close(self):
            super().close()
            raise OSError("close failed")

    with pytest.raises(OSError, match="^close failed$"):
        with Failing(written, "r", None, None, None):
            pass


def test_exit_needs_its_three_arguments(written):
    with fl.open(written, "r") as f:
        with pytest.raises(TypeError):
            f.__exit__(None, None)
        assert f.__exit__(exc_type=None, exc_value=None, traceback=None) is None
