"""Construction of RUXFile objects in each access mode, and its argument checks."""

import os
import pathlib
import types

import numpy
import pytest
import rux.fl as fl

from rux_files import open_descriptor_count, read_header


def write_one_frame(f, value=1.0):
    f.write_chunk("value", numpy.array([value]))
    f.end_frame()


def test_mode_r_opens_for_reading_only(new_file, path):
    with new_file() as f:
        write_one_frame(f)
    with fl.open(path, "r") as f:
        assert f.mode == "r"
        assert f.nframes == 1
        with pytest.raises(RuntimeError, match="^File must be writable: "):
            f.end_frame()


@pytest.mark.parametrize("mode", ["r+", "a"])
def test_modes_r_plus_and_a_keep_and_extend_an_existing_file(new_file, path, mode):
    with new_file() as f:
        write_one_frame(f, 1.0)
    with fl.open(path, mode) as f:
        assert f.nframes == 1
        write_one_frame(f, 2.0)
    with fl.open(path, "r") as f:
        assert [f.read_chunk(i, "value")[0] for i in range(f.nframes)] == [1.0, 2.0]


def test_mode_w_replaces_an_existing_file(new_file, path):
    with new_file() as f:
        write_one_frame(f)
    with fl.open(path, "w", "other", "schema2", (3, 4)) as f:
        assert f.nframes == 0
        assert (f.application, f.schema, f.schema_version) == ("other", "schema2", (3, 4))
    assert os.path.getsize(path) == 5376


def test_mode_x_creates_a_new_file(path):
    with fl.open(path, "x", "app", "schema", (1, 0)) as f:
        assert f.rux_version == (2, 1)
    assert os.path.getsize(path) == 5376


def test_mode_x_leaves_an_existing_file_untouched(new_file, path):
    with new_file() as f:
        write_one_frame(f)
    before = pathlib.Path(path).read_bytes()
    with pytest.raises(FileExistsError):
        fl.open(path, "x", "app", "schema", (1, 0))
    assert pathlib.Path(path).read_bytes() == before


def test_mode_a_on_an_existing_file_needs_no_creation_arguments(new_file, path, records):
    new_file().close()
    records.clear()
    with fl.open(path, "a") as f:
        assert f.application == "app"
    assert records.messages[0] == ("info", f"opening file: {path} with mode: a")


def test_mode_a_on_a_missing_file_creates_it(path, records):
    with pytest.raises(ValueError, match="^Provide application when creating a file$"):
        fl.open(path, "a")
    assert not os.path.exists(path)
    with fl.open(path, "a", "app", "schema", (1, 2)) as f:
        assert f.schema_version == (1, 2)
    assert records.messages[0] == (
        "info",
        f"overwriting file: {path} with mode: a, application: app, schema: schema, "
        "and schema_version: (1, 2)",
    )


def test_mode_a_looks_up_os_at_call_time(monkeypatch, path):
    # A stand-in for os that claims the missing file exists: "a" then opens it.
    fake_os = types.SimpleNamespace(
        path=types.SimpleNamespace(exists=lambda name: True), strerror=os.strerror
    )
    monkeypatch.setattr(fl, "os", fake_os)
    with pytest.raises(FileNotFoundError):
        fl.open(path, "a", "app", "schema", (1, 0))


@pytest.mark.parametrize("mode", ["w", "x", "a"])
@pytest.mark.parametrize(
    "missing, message",
    [
        ("application", "Provide application when creating a file"),
        ("schema", "Provide schema when creating a file"),
        ("schema_version", "Provide schema_version when creating a file"),
    ],
)
def test_creation_needs_all_three_arguments(path, records, mode, missing, message):
    arguments = {"application": "app", "schema": "schema", "schema_version": (1, 0)}
    arguments[missing] = None
    with pytest.raises(ValueError) as caught:
        fl.open(path, mode, **arguments)
    assert caught.value.args == (message,)
    assert not os.path.exists(path)
    assert records.messages == []


def test_creation_arguments_are_checked_in_order(path):
    with pytest.raises(ValueError, match="^Provide application"):
        fl.open(path, "w")
    with pytest.raises(ValueError, match="^Provide schema when"):
        fl.open(path, "w", application="app")


@pytest.mark.parametrize("mode", ["rw", "R", "", "w+"])
def test_unknown_mode(path, mode):
    with pytest.raises(ValueError) as caught:
        fl.open(path, mode, "app", "schema", (1, 0))
    assert caught.value.args == ("Invalid mode: " + mode,)


@pytest.mark.parametrize(
    "name, mode, message",
    [
        ("f.rux", 1, "Expected str, got int"),
        ("f.rux", b"r", "Expected str, got bytes"),
        (None, None, None),
    ],
)
def test_mode_must_be_a_str(name, mode, message):
    with pytest.raises(TypeError) as caught:
        fl.RUXFile(name, mode, None, None, None)
    if message is not None:
        assert str(caught.value) == message


def test_name_must_be_a_str(records):
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        fl.RUXFile(3, "r", None, None, None)
    obj = fl.RUXFile.__new__(fl.RUXFile)
    with pytest.raises(TypeError):
        obj.__init__(None, "r", None, None, None)
    assert obj.name is None and obj.mode == "r"
    assert records.messages == []


def test_open_converts_a_path_object(tmp_path):
    target = tmp_path / "path.rux"
    with fl.open(target, "w", "app", "schema", (1, 0)) as f:
        assert f.name == str(target)
        assert type(f.name) is str


def test_open_takes_keywords_and_class_needs_all_five_arguments(path):
    with fl.open(name=path, mode="w", application="a", schema="s", schema_version=(1, 0)):
        pass
    with pytest.raises(TypeError):
        fl.RUXFile(path, "r")
    with pytest.raises(TypeError):
        fl.open(path)
    with pytest.raises(TypeError):
        fl.open(path, "r", unknown=1)
    with fl.RUXFile(name=path, mode="r", application=None, schema=None, schema_version=None):
        pass


def test_schema_is_checked_when_given(new_file, path):
    new_file().close()
    with fl.open(path, "r", schema="schema"):
        pass
    with pytest.raises(RuntimeError) as caught:
        fl.open(path, "r", schema="other")
    assert caught.value.args == (f"file {path} has incorrect schema: schema",)
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        fl.open(path, "r", schema=5)


def test_long_ascii_schema_is_cut_to_63_characters(path):
    schema = "s" * 40 + "t" * 40
    with fl.open(path, "w", "app", schema, (1, 0)) as f:
        assert f.schema == schema[:63]
    with fl.open(path, "r", schema=schema) as f:
        assert f.schema == schema[:63]
    with fl.open(path, "r", schema=schema[:63]):
        pass
    assert read_header(path)["schema"] == schema[:63].encode() + b"\0"


@pytest.mark.parametrize(
    "text, stored",
    [
        ("é" * 40, "é" * 31),  # 2-byte characters: 62 bytes fit
        ("€" * 30, "€" * 21),  # 3-byte characters: 63 bytes fit
        ("a" + "😀" * 20, "a" + "😀" * 15),  # 4-byte characters: 61 bytes fit
        ("é" * 20, "é" * 20),  # 40 bytes: kept whole
    ],
)
def test_non_ascii_texts_are_cut_at_a_character_boundary(path, text, stored):
    with fl.open(path, "w", text, text, (1, 0)) as f:
        assert f.schema == stored
        assert f.application == stored
    with fl.open(path, "r", schema=text) as f:
        assert f.application == stored
    header = read_header(path)
    assert header["schema"].rstrip(b"\0").decode() == stored


def test_schema_that_utf8_cannot_encode_never_matches(new_file, path):
    new_file().close()
    with pytest.raises(RuntimeError, match="has incorrect schema: schema$"):
        fl.open(path, "r", schema="sch\udc80")


@pytest.mark.parametrize(
    "version, expected",
    [
        ((1, 0), (1, 0)),
        ([2, 3], (2, 3)),
        ((65535, 65535), (65535, 65535)),
        ((1.9, 2.2), (1, 2)),
        (numpy.array([4, 5]), (4, 5)),
    ],
)
def test_schema_version_forms(path, version, expected):
    with fl.open(path, "w", "app", "schema", version) as f:
        assert f.schema_version == expected
        assert f.rux_version == (2, 1)


@pytest.mark.parametrize(
    "version, exception",
    [
        ((1,), IndexError),
        ((-1, 0), OverflowError),
        ((0, 2**32), OverflowError),
        (("1", 0), TypeError),
        (5, TypeError),
    ],
)
def test_bad_schema_version_fails_after_the_log_line(path, records, version, exception):
    with pytest.raises(exception):
        fl.open(path, "w", "app", "schema", version)
    assert records.messages[0][1].startswith(f"overwriting file: {path} with mode: w")
    assert not os.path.exists(path)


def test_non_integer_version_part_message(path):
    with pytest.raises(TypeError, match="^an integer is required$"):
        fl.open(path, "w", "app", "schema", ("1", 0))


@pytest.mark.parametrize("field", ["name", "application", "schema"])
def test_text_that_utf8_cannot_encode(tmp_path, records, field):
    arguments = {"name": str(tmp_path / "f.rux"), "application": "app", "schema": "schema"}
    arguments[field] = arguments[field] + "\udc80"
    with pytest.raises(UnicodeEncodeError):
        fl.open(arguments["name"], "w", arguments["application"], arguments["schema"], (1, 0))
    assert len(records.messages) == 1
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("field", ["application", "schema"])
def test_non_str_creation_text_fails_in_the_log_line(path, field):
    arguments = {"application": "app", "schema": "schema", field: 7}
    with pytest.raises(TypeError):
        fl.open(path, "w", schema_version=(1, 0), **arguments)
    assert not os.path.exists(path)


def test_failed_schema_check_releases_the_handle(new_file, path):
    new_file().close()
    before = open_descriptor_count()
    for _ in range(20):
        with pytest.raises(RuntimeError):
            fl.open(path, "r", schema="other")
        with pytest.raises(TypeError):
            fl.open(path, "r+", schema=1)
    assert open_descriptor_count() == before


def test_init_on_an_open_object_closes_its_handle_first(new_file, tmp_path, records):
    first = str(tmp_path / "first.rux")
    second = str(tmp_path / "second.rux")
    f = new_file(first)
    write_one_frame(f, 7.0)
    f.write_chunk("value", numpy.array([8.0]))  # staged, not yet in the file
    before = open_descriptor_count()
    records.clear()
    f.__init__(second, "w", "app", "schema", (1, 0))
    assert open_descriptor_count() == before
    assert f.name == second and f.nframes == 0
    assert records.messages[0] == ("info", f"closing file: {first}")
    f.close()
    with fl.open(first, "r") as reopened:
        assert reopened.nframes == 1
        assert reopened.read_chunk(0, "value")[0] == 7.0


def test_init_that_fails_leaves_the_object_not_open(new_file, path):
    f = new_file()
    with pytest.raises(ValueError):
        f.__init__(path, "bad", None, None, None)
    assert f.mode == "bad"
    with pytest.raises(ValueError, match="^File is not open$"):
        f.nframes
