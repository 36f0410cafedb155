"""The module namespace, its import, and the exceptions raised for library errors."""

import errno
import logging
import os
import pickle
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import numpy
import pytest
import rux.fl as fl

import rux_files
from rux_files import Chunk, craft_file, header_bytes

# The directory that holds the package rux as imported here (symbolic links kept).
PACKAGE_PARENT = str(Path(os.path.abspath(fl.__file__)).parents[1])


def run_python(code, extra_path=()):
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join([*extra_path, PACKAGE_PARENT])
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=environment,
        cwd="/",
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_namespace_holds_the_documented_names():
    public = {name for name in vars(fl) if not name.startswith("__")}
    assert public == {"logging", "numpy", "os", "PickleError", "logger", "open", "RUXFile"}
    assert fl.logging is logging
    assert fl.numpy is numpy
    assert fl.os is os
    assert fl.PickleError is pickle.PickleError
    assert fl.logger is logging.getLogger("rux.fl")
    assert "create, read and write" in fl.__doc__


def test_class_name_and_module():
    assert fl.RUXFile.__module__ == "rux.fl"
    assert fl.RUXFile.__qualname__ == "RUXFile"
    assert fl.RUXFile.__mro__ == (fl.RUXFile, object)


def test_module_configures_no_handlers():
    logger = logging.getLogger("rux.fl")
    assert logger.handlers == []
    assert logger.level == logging.NOTSET


def test_error_mapping_is_internal():
    assert not any("raise_on_error" in name or "format_errno" in name for name in dir(fl))


def test_import_without_numpy_fails_with_import_error():
    result = run_python(
        """
        import sys
        class NoNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ImportError("numpy is hidden")
        sys.meta_path.insert(0, NoNumpy())
        try:
            import rux.fl
        except ImportError as error:
            print("ImportError:", error)
        print("still importable:", "rux.fl" in sys.modules)
        """
    )
    assert result.returncode == 0, result.stderr
    assert "ImportError: numpy.core.multiarray failed to import" in result.stdout
    assert "still importable: False" in result.stdout


def test_import_with_numpy_lacking_its_c_interface_fails(tmp_path):
    fake = tmp_path / "numpy"
    (fake / "_core").mkdir(parents=True)
    (fake / "__init__.py").write_text("")
    (fake / "_core" / "__init__.py").write_text("")
    (fake / "_core" / "_multiarray_umath.py").write_text("")
    result = run_python(
        """
        try:
            import rux.fl
        except ImportError as error:
            print("ImportError:", error)
        """,
        extra_path=[str(tmp_path)],
    )
    assert result.returncode == 0, result.stderr
    assert "ImportError: numpy.core.multiarray failed to import" in result.stdout


def test_missing_file_raises_file_not_found_with_errno_details(path):
    with pytest.raises(FileNotFoundError) as caught:
        fl.open(path, "r")
    error = caught.value
    assert error.errno == errno.ENOENT
    assert error.strerror == os.strerror(errno.ENOENT)
    assert error.filename == path
    assert str(error) == f"[Errno {errno.ENOENT}] {os.strerror(errno.ENOENT)}: '{path}'"


def test_existing_file_in_mode_x_raises_file_exists(new_file, path):
    new_file().close()
    with pytest.raises(FileExistsError) as caught:
        fl.open(path, "x", "app", "schema", (1, 0))
    assert caught.value.errno == errno.EEXIST
    assert caught.value.strerror == os.strerror(errno.EEXIST)
    assert caught.value.filename == path


@pytest.mark.parametrize(
    "name, exception, code",
    [
        ("directory", IsADirectoryError, errno.EISDIR),
        ("regular/below", NotADirectoryError, errno.ENOTDIR),
    ],
)
def test_io_errors_pick_the_errno_subclass(tmp_path, name, exception, code):
    (tmp_path / "directory").mkdir()
    (tmp_path / "regular").write_bytes(b"x")
    target = str(tmp_path / name)
    with pytest.raises(exception) as caught:
        fl.open(target, "r+")
    assert caught.value.errno == code
    assert caught.value.filename == target


def test_strerror_comes_from_the_module_attribute_os(monkeypatch, path):
    monkeypatch.setattr(fl, "os", types.SimpleNamespace(strerror=lambda number: f"text {number}"))
    with pytest.raises(FileNotFoundError) as caught:
        fl.open(path, "r")
    assert caught.value.strerror == f"text {errno.ENOENT}"


def craft_raw(path, content):
    with open(path, "wb") as out:
        out.write(content)
    return path


@pytest.mark.parametrize(
    "content, exception, prefix",
    [
        (b"x" * 100, RuntimeError, "Not a RUX file: "),
        (bytes(256), RuntimeError, "Not a RUX file: "),
        (
            header_bytes(rux_version=0x30000) + bytes(5120),
            RuntimeError,
            "Unsupported RUX file version: ",
        ),
        (
            header_bytes(rux_version=0x2) + bytes(5120),
            RuntimeError,
            "Unsupported RUX file version: ",
        ),
        (header_bytes() + bytes(5119) + b"x", RuntimeError, "Corrupt RUX file: "),
        (header_bytes(namelist_units=0) + bytes(5120), RuntimeError, "Invalid rux argument: "),
    ],
    ids=[
        "short",
        "bad-magic",
        "version-3.0",
        "version-0.2",
        "namelist-unterminated",
        "empty-namelist",
    ],
)
def test_library_codes_raise_with_prefix_and_file_name(path, content, exception, prefix):
    craft_raw(path, content)
    with pytest.raises(exception) as caught:
        fl.open(path, "r")
    assert type(caught.value) is exception
    assert caught.value.args == (prefix + path,)


def test_invalid_index_entry_is_corrupt(path):
    craft_file(path, [b"a"], [Chunk(frame=0, name_id=0, type=12, N=1, M=1, data=b"x")])
    with pytest.raises(RuntimeError, match="^Corrupt RUX file: "):
        fl.open(path, "r")


def test_write_on_read_only_file_must_be_writable(new_file, path):
    new_file().close()
    with fl.open(path, "r") as f:
        with pytest.raises(RuntimeError) as caught:
            f.write_chunk("a", numpy.zeros(3))
    assert caught.value.args == ("File must be writable: " + path,)


def test_failed_allocation_raises_memory_error(tmp_path):
    # A namelist block of 8 GiB in a sparse file, opened for writing (a
    # writer keeps the whole block) under an address space limit that leaves
    # no room for it.
    target = tmp_path / "huge-namelist.rux"
    units = (8 << 30) // 64
    with open(target, "wb") as out:
        out.write(header_bytes(namelist_location=rux_files.DATA_START, namelist_units=units))
        out.write(bytes(rux_files.DATA_START - 256))
        out.truncate(rux_files.DATA_START + units * 64)
    result = run_python(
        f"""
        import resource
        import rux.fl as fl
        with open("/proc/self/status") as status:
            size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
        limit = size * 1024 + (1 << 30)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            fl.open({str(target)!r}, "r+")
        except BaseException as error:
            print(type(error).__name__, error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"MemoryError Memory allocation failed: {target}"


@pytest.mark.parametrize(
    "obj, first_line, summary",
    [
        (fl.RUXFile, "RUXFile", "RUX file access interface."),
        (fl.open, "open(name, mode, application=None, schema=None, schema_version=None)", None),
        (fl.RUXFile.close, "close()", "Close the file."),
        (fl.RUXFile.truncate, "truncate()", "Truncate all data from the file."),
        (fl.RUXFile.end_frame, "end_frame()", "Complete writing the current frame."),
        (fl.RUXFile.flush, "flush()", "Flush all buffered frames to the file."),
        (fl.RUXFile.upgrade, "upgrade()", "Upgrade a RUX file to the v2 specification in place."),
        (fl.RUXFile.write_chunk, "write_chunk(name, data)", "Write a data chunk to the file."),
        (
            fl.RUXFile.read_chunk,
            "read_chunk(frame, name)",
            "Read a data chunk from the file and return it as a numpy array.",
        ),
        (fl.RUXFile.chunk_exists, "chunk_exists(frame, name)", "Test if a chunk exists."),
        (
            fl.RUXFile.find_matching_chunk_names,
            "find_matching_chunk_names(match)",
            "Find all the chunk names in the file that start with the string *match*.",
        ),
    ],
)
def test_docstrings_open_with_signature_and_summary(obj, first_line, summary):
    lines = obj.__doc__.splitlines()
    assert lines[0] == first_line
    assert lines[1] == ""
    if summary is not None:
        assert lines[2] == summary


def test_docstring_notes():
    assert "application, schema and schema version remain" in fl.RUXFile.truncate.__doc__
    assert "writable" in fl.RUXFile.upgrade.__doc__
    assert "ascontiguousarray" in fl.RUXFile.write_chunk.__doc__
    assert (
        fl.RUXFile.__reduce__.__doc__ == "Allows filehandles to be pickled when in read only mode."
    )
    assert "context manager" in fl.open.__doc__


def test_class_lists_methods_and_properties_in_order():
    members = [
        name
        for name in vars(fl.RUXFile)
        if name not in ("__new__", "__init__", "__doc__", "__module__", "__dealloc__")
    ]
    assert members == [
        "close",
        "truncate",
        "end_frame",
        "flush",
        "write_chunk",
        "chunk_exists",
        "read_chunk",
        "find_matching_chunk_names",
        "upgrade",
        "__enter__",
        "__exit__",
        "__reduce__",
        "read_series",
        "read_frame",
        "refresh",
        "write_strings",
        "truncate_frames",
        "refresh_keeping",
        "name",
        "mode",
        "rux_version",
        "schema_version",
        "schema",
        "application",
        "nframes",
        "maximum_write_buffer_size",
        "index_entries_to_buffer",
    ]
