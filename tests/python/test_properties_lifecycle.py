"""Properties, closing, deallocation and the methods that forward to the library."""

import errno
import gc
import os
import sys

import numpy
import pytest
import rux.fl as fl

from rux_files import (
    VERSION_1_0,
    Chunk,
    craft_file,
    header_bytes,
    open_descriptor_count,
    read_header,
)

DEFAULT_BUFFER_SIZE = 67108864
DEFAULT_INDEX_ENTRIES = 262144
HAVE_GC = 1 << 14


def descriptors_of(path):
    found = set()
    for entry in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{entry}") == path:
                found.add(int(entry))
        except OSError:
            pass  # the descriptor of the listing itself is gone by now
    return found


def test_new_object_before_init():
    f = fl.RUXFile.__new__(fl.RUXFile)
    assert f.name is None and f.mode is None
    assert f.rux_version == (0, 0) and f.schema_version == (0, 0)
    assert f.schema == "" and f.application == ""
    assert f.close() is None
    with pytest.raises(ValueError, match="^File is not open$"):
        f.nframes


def test_metadata_properties(new_file, path):
    with new_file(schema_version=(3, 65535)) as f:
        assert (f.name, f.mode) == (path, "w")
        assert f.rux_version == (2, 1)
        assert f.schema_version == (3, 65535)
        assert (f.schema, f.application) == ("schema", "app")
        assert f.nframes == 0
        for _ in range(3):
            f.end_frame()
        assert f.nframes == 3


def test_after_close_plain_attributes_stay_and_the_rest_refuses(new_file, path, records):
    f = new_file(schema_version=(4, 2))
    assert f.close() is None
    assert records.messages[-1] == ("info", f"closing file: {path}")
    records.clear()
    f.close()
    assert records.messages == []
    assert (f.name, f.mode, f.schema, f.application) == (path, "w", "schema", "app")
    assert (f.rux_version, f.schema_version) == ((2, 1), (4, 2))
    for method in (f.truncate, f.end_frame, f.flush, f.upgrade):
        with pytest.raises(ValueError, match="^File is not open$"):
            method()
    for prop in ("nframes", "maximum_write_buffer_size", "index_entries_to_buffer"):
        with pytest.raises(ValueError, match="^File is not open$"):
            getattr(f, prop)
    for prop in ("maximum_write_buffer_size", "index_entries_to_buffer"):
        with pytest.raises(ValueError, match="^File is not open$"):
            setattr(f, prop, "not even an int")
    assert records.messages == []


@pytest.mark.parametrize(
    "attribute",
    [
        "name",
        "mode",
        "rux_version",
        "schema_version",
        "schema",
        "application",
        "nframes",
        "anything_else",
    ],
)
def test_attributes_cannot_be_assigned(new_file, attribute):
    f = new_file()
    with pytest.raises(AttributeError):
        setattr(f, attribute, "x")


def test_no_instance_dictionary_and_no_garbage_collection(new_file):
    f = new_file()
    assert not hasattr(f, "__dict__")
    assert not gc.is_tracked(f)
    assert not fl.RUXFile.__flags__ & HAVE_GC


def test_class_can_be_subclassed(path):
    class Trajectory(fl.RUXFile):
        def describe(self):
            return f"{self.application}/{self.schema}"

    with Trajectory(path, "w", "app", "schema", (1, 0)) as f:
        assert isinstance(f, fl.RUXFile)
        assert f.describe() == "app/schema"
        f.write_chunk("a", numpy.arange(3))
        f.end_frame()
    with Trajectory(path, "r", None, None, None) as f:
        assert list(f.read_chunk(0, "a")) == [0, 1, 2]


@pytest.mark.parametrize(
    "prop, default",
    [
        ("maximum_write_buffer_size", DEFAULT_BUFFER_SIZE),
        ("index_entries_to_buffer", DEFAULT_INDEX_ENTRIES),
    ],
)
def test_buffer_properties(new_file, path, prop, default):
    f = new_file()
    assert getattr(f, prop) == default
    setattr(f, prop, 1024)
    assert getattr(f, prop) == 1024
    setattr(f, prop, 3.7)
    assert getattr(f, prop) == 3
    setattr(f, prop, numpy.uint64(2**64 - 1))
    assert getattr(f, prop) == 2**64 - 1
    setattr(f, prop, 5)
    with pytest.raises(RuntimeError) as caught:
        setattr(f, prop, 0)
    assert caught.value.args == ("Invalid rux argument: " + path,)
    for value, exception in (
        (-1, OverflowError),
        (2**64, OverflowError),
        ("7", TypeError),
        (None, TypeError),
    ):
        with pytest.raises(exception):
            setattr(f, prop, value)
    with pytest.raises(TypeError, match="^an integer is required$"):
        setattr(f, prop, "7")
    assert getattr(f, prop) == 5
    with pytest.raises(NotImplementedError) as caught:
        delattr(f, prop)
    assert caught.value.args == ("__del__",)


def test_buffer_properties_work_on_read_only_files(new_file, path):
    new_file().close()
    with fl.open(path, "r") as f:
        f.maximum_write_buffer_size = 10
        assert f.maximum_write_buffer_size == 10


def test_truncate_empties_the_file_and_keeps_the_metadata(new_file, path, records):
    f = new_file(schema_version=(5, 6))
    for i in range(10):
        f.write_chunk("value", numpy.array([i]))
        f.end_frame()
    f.flush()
    f.maximum_write_buffer_size = 1024
    f.truncate()
    assert records.messages[-1] == ("info", f"truncating file: {path}")
    assert f.nframes == 0
    assert f.maximum_write_buffer_size == DEFAULT_BUFFER_SIZE
    assert (f.application, f.schema, f.schema_version) == ("app", "schema", (5, 6))
    assert os.path.getsize(path) == 5376
    f.write_chunk("other", numpy.array([1.5]))
    f.end_frame()
    f.close()
    with fl.open(path, "r") as g:
        assert g.nframes == 1
        assert g.find_matching_chunk_names("") == ["other"]


def test_flush_makes_completed_frames_visible_to_readers(new_file, path, records):
    f = new_file()
    f.write_chunk("value", numpy.array([1.0]))
    f.end_frame()
    with fl.open(path, "r") as reader:
        assert reader.nframes == 0
    f.flush()
    assert records.messages[-1] == ("debug", f"flush: {path}")
    with fl.open(path, "r") as reader:
        assert reader.nframes == 1


def test_end_frame_logs_at_debug_level(new_file, path, records):
    new_file().end_frame()
    assert records.messages[-1] == ("debug", f"end frame: {path}")


def test_truncate_and_upgrade_of_read_only_files(new_file, path):
    new_file().close()
    with fl.open(path, "r") as f:
        with pytest.raises(RuntimeError) as caught:
            f.truncate()
        assert caught.value.args == ("File must be writable: " + path,)
        with pytest.raises(RuntimeError) as caught:
            f.upgrade()
        assert caught.value.args == ("Invalid rux argument: " + path,)


def test_upgrade_of_a_current_file_changes_nothing(new_file, path, records):
    with new_file() as f:
        f.write_chunk("a", numpy.arange(2))
        f.end_frame()
    before = open(path, "rb").read()
    with fl.open(path, "r+") as f:
        f.upgrade()
        assert ("info", f"upgrading file: {path}") in records.messages
    assert open(path, "rb").read() == before


def test_upgrade_with_an_unflushed_new_name_is_refused(new_file, path):
    f = new_file()
    f.write_chunk("fresh", numpy.arange(2))
    with pytest.raises(RuntimeError, match="^Invalid rux argument: "):
        f.upgrade()


def test_upgrade_of_a_version_1_file(tmp_path):
    path = str(tmp_path / "v1.rux")
    craft_file(
        path,
        [b"a", b"bc", b"d"],
        [
            Chunk(frame=0, name_id=2, type=8, N=1, M=1, data=numpy.int64(20).tobytes()),
            Chunk(frame=0, name_id=0, type=8, N=1, M=1, data=numpy.int64(0).tobytes()),
            Chunk(frame=0, name_id=1, type=8, N=1, M=1, data=numpy.int64(10).tobytes()),
        ],
        rux_version=VERSION_1_0,
    )
    with fl.open(path, "r+") as f:
        assert f.rux_version == (1, 0)
        f.upgrade()
        assert f.rux_version == (2, 1)
        assert f.find_matching_chunk_names("") == ["a", "bc", "d"]
        assert [f.read_chunk(0, name)[0] for name in ("a", "bc", "d")] == [0, 10, 20]
    assert read_header(path)["rux_version"] == 0x20001


@pytest.mark.parametrize("field", ["application", "schema"])
def test_header_text_without_nul_returns_all_64_bytes(path, field):
    fields = {"application": b"app", "schema": b"schema", field: b"x" * 64}
    with open(path, "wb") as out:
        out.write(header_bytes(application=fields["application"], schema=fields["schema"]))
        out.write(bytes(5120))
    with fl.open(path, "r") as f:
        assert getattr(f, field) == "x" * 64


def test_header_text_that_is_not_utf8(path):
    with open(path, "wb") as out:
        out.write(header_bytes(application=b"\xff\xfe"))
        out.write(bytes(5120))
    with fl.open(path, "r") as f:
        with pytest.raises(UnicodeDecodeError):
            f.application
        assert f.schema == "schema"


def test_dropping_an_open_file_closes_it(new_file, path, records):
    before = open_descriptor_count()
    f = fl.open(path, "w", "app", "schema", (1, 0))
    f.write_chunk("value", numpy.array([3.0]))
    f.end_frame()
    records.clear()
    del f
    assert records.messages == [("info", f"closing file: {path}")]
    assert open_descriptor_count() == before
    with fl.open(path, "r") as g:
        assert g.read_chunk(0, "value")[0] == 3.0


class FailingLogger:
    def info(self, message):
        raise RuntimeError("logger broke: " + message)


def test_failures_during_deallocation_go_to_the_unraisable_hook(monkeypatch, path, capsys):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    before = open_descriptor_count()
    f = fl.open(path, "w", "app", "schema", (1, 0))
    monkeypatch.setattr(fl, "logger", FailingLogger())
    del f
    assert open_descriptor_count() == before
    assert len(reports) == 1
    assert reports[0].object == "rux.fl.RUXFile.__dealloc__"
    assert isinstance(reports[0].exc_value, RuntimeError)
    assert str(reports[0].exc_value) == f"logger broke: closing file: {path}"
    assert "logger broke" in capsys.readouterr().err


def close_descriptor_behind_the_library(path, open_file):
    assert descriptors_of(path) == set()
    f = open_file()
    (descriptor,) = descriptors_of(path)
    os.close(descriptor)
    return f


@pytest.mark.parametrize("mode", ["r", "w"])
def test_failed_close_leaves_the_object_not_open(new_file, path, mode):
    new_file().close()
    f = close_descriptor_behind_the_library(
        path, lambda: fl.open(path, mode, "app", "schema", (1, 0))
    )
    with pytest.raises(OSError) as caught:
        f.close()
    assert caught.value.errno == errno.EBADF
    assert caught.value.filename == path
    assert f.close() is None
    assert f.chunk_exists(0, "anything") is False
    with pytest.raises(ValueError, match="^File is not open$"):
        f.nframes


def test_failed_flush_in_close(new_file, path):
    f = close_descriptor_behind_the_library(path, new_file)
    f.write_chunk("value", numpy.arange(4))
    f.end_frame()
    with pytest.raises(OSError) as caught:
        f.close()
    assert caught.value.errno == errno.EBADF
    assert f.chunk_exists(0, "value") is False
