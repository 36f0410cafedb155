"""Log records: their exact text, level, logger, and the lookup of rux.fl.logger."""

import logging

import numpy
import rux.fl as fl


def test_records_of_a_write_and_read_session(path, records):
    with fl.open(path, "w", "app", "schema", (1, 0)) as f:
        f.write_chunk("pos", numpy.zeros((2, 3), dtype=numpy.float32))
        f.write_chunk("pos", numpy.zeros((3, 2)).T)
        f.end_frame()
        f.flush()
        f.truncate()
    with fl.open(path, "r+", schema="schema") as f:
        f.upgrade()
        f.chunk_exists(0, "pos")
    assert records.messages == [
        (
            "info",
            f"overwriting file: {path} with mode: w, application: app, schema: schema, "
            "and schema_version: (1, 0)",
        ),
        ("debug", f"write chunk: {path} - pos"),
        ("warning", "implicit data copy when writing chunk: pos"),
        ("debug", f"write chunk: {path} - pos"),
        ("debug", f"end frame: {path}"),
        ("debug", f"flush: {path}"),
        ("info", f"truncating file: {path}"),
        ("info", f"closing file: {path}"),
        ("info", f"opening file: {path} with mode: r+"),
        ("info", f"upgrading file: {path}"),
        ("debug", f"chunk exists: {path} - pos"),
        ("info", f"closing file: {path}"),
    ]


def test_schema_version_is_logged_as_its_str(path, records):
    fl.open(path, "w", "app", "schema", [7, 8]).close()
    assert records.messages[0][1].endswith("and schema_version: [7, 8]")


def test_records_go_to_the_rux_fl_logger(path, caplog):
    with caplog.at_level(logging.DEBUG, logger="rux.fl"):
        with fl.open(path, "w", "app", "schema", (1, 0)) as f:
            f.write_chunk("a", [1.0])
    assert [(r.name, r.levelno) for r in caplog.records] == [
        ("rux.fl", logging.INFO),
        ("rux.fl", logging.WARNING),
        ("rux.fl", logging.DEBUG),
        ("rux.fl", logging.INFO),
    ]
    # Each record is one finished string, not a format with arguments.
    assert all(r.args == () and isinstance(r.msg, str) for r in caplog.records)
    assert caplog.records[1].getMessage() == "implicit data copy when writing chunk: a"


def test_logger_is_looked_up_at_every_call(monkeypatch, new_file, path, records):
    f = new_file()
    records.clear()
    replacement = type(records)()
    monkeypatch.setattr(fl, "logger", replacement)
    f.end_frame()
    assert records.messages == []
    assert replacement.messages == [("debug", f"end frame: {path}")]


def test_a_logger_that_raises_stops_the_operation(monkeypatch, new_file, path):
    class Refusing:
        def debug(self, message):
            raise LookupError(message)

    f = new_file()
    monkeypatch.setattr(fl, "logger", Refusing())
    try:
        f.end_frame()
    except LookupError as error:
        assert str(error) == f"end frame: {path}"
    else:
        raise AssertionError("end_frame did not propagate the logger's exception")
    monkeypatch.undo()
    assert f.nframes == 0
