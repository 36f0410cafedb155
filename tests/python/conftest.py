"""Fixtures shared by the tests of the extension module rux.fl."""

import sys
from pathlib import Path

import pytest

_SOURCE_ROOT = Path(__file__).resolve().parents[2]


def _import_fl():
    # The source tree holds the package rux without its compiled module; when
    # it shadows an installed rux (pytest started from the repository root),
    # drop it from the path so that the installed package is imported.
    try:
        import rux.fl as fl
    except ImportError:
        sys.path[:] = [entry for entry in sys.path if Path(entry or ".").resolve() != _SOURCE_ROOT]
        for module in [name for name in sys.modules if name == "rux" or name.startswith("rux.")]:
            del sys.modules[module]
        import rux.fl as fl
    return fl


fl = _import_fl()


class RecordingLogger:
    """Stands in for rux.fl.logger and keeps every call it receives."""

    def __init__(self):
        self.calls = []

    def _log(self, level, *args, **kwargs):
        self.calls.append((level, args, kwargs))

    def debug(self, *args, **kwargs):
        self._log("debug", *args, **kwargs)

    def info(self, *args, **kwargs):
        self._log("info", *args, **kwargs)

    def warning(self, *args, **kwargs):
        self._log("warning", *args, **kwargs)

    def error(self, *args, **kwargs):
        self._log("error", *args, **kwargs)

    @property
    def messages(self):
        """(level, message) of every call; each call must pass one str only."""
        result = []
        for level, args, kwargs in self.calls:
            assert len(args) == 1 and not kwargs, (level, args, kwargs)
            assert type(args[0]) is str
            result.append((level, args[0]))
        return result

    def clear(self):
        self.calls.clear()


@pytest.fixture
def records(monkeypatch):
    """Replaces the module logger by a RecordingLogger for one test."""
    recorder = RecordingLogger()
    monkeypatch.setattr(fl, "logger", recorder)
    return recorder


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "test.rux")


@pytest.fixture
def new_file(path):
    """Factory: a file created in mode "w" with fixed metadata."""
    opened = []

    def create(name=path, mode="w", application="app", schema="schema", schema_version=(1, 0)):
        handle = fl.open(name, mode, application, schema, schema_version)
        opened.append(handle)
        return handle

    yield create
    for handle in opened:
        handle.close()


# A dask cluster of two worker processes, for the tests that reach dask.
@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        yield client
