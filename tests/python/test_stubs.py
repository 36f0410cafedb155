"""The type stubs describe the module as it is."""

import ast
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
import rux.fl as fl

PACKAGE_SOURCE = Path(__file__).resolve().parents[2] / "rux"
STUB = PACKAGE_SOURCE / "fl.pyi"
CLASS_DUNDERS = {"__enter__", "__exit__", "__reduce__"}


def stub_tree():
    return ast.parse(STUB.read_text())


def stub_class():
    return next(
        node
        for node in stub_tree().body
        if isinstance(node, ast.ClassDef) and node.name == "RUXFile"
    )


def test_marker_file_is_present():
    assert (PACKAGE_SOURCE / "py.typed").is_file()


def test_module_names_match():
    names = set()
    for node in stub_tree().body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(alias.asname for alias in node.names if alias.asname == alias.name)
    runtime = {name for name in vars(fl) if not name.startswith("__")}
    assert names == runtime


def test_class_members_match():
    members = {node.name for node in stub_class().body if isinstance(node, ast.FunctionDef)}
    runtime = {
        name for name in vars(fl.RUXFile) if not name.startswith("__") or name in CLASS_DUNDERS
    }
    assert members - {"__init__"} == runtime


def test_method_parameters_match_the_docstrings():
    for node in stub_class().body:
        if (
            not isinstance(node, ast.FunctionDef)
            or node.decorator_list
            or node.name in ("__init__", "__reduce__")
        ):
            continue  # properties, and methods whose docstring has no signature line
        documented = getattr(fl.RUXFile, node.name).__doc__.splitlines()[0]
        arguments = node.args.args[1:]
        defaults = [None] * (len(arguments) - len(node.args.defaults)) + node.args.defaults
        parameters = ", ".join(
            arg.arg if default is None else f"{arg.arg}={ast.unparse(default)}"
            for arg, default in zip(arguments, defaults)
        )
        assert documented == f"{node.name}({parameters})"


def test_stubtest_finds_no_difference(tmp_path):
    pytest.importorskip("mypy")
    package = tmp_path / "rux"
    package.mkdir()
    for name in ("__init__.py", "fl.pyi", "py.typed"):
        shutil.copy(PACKAGE_SOURCE / name, package / name)
    os.symlink(os.path.abspath(fl.__file__), package / Path(fl.__file__).name)
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "rux.fl"],
        env=dict(os.environ, PYTHONPATH=str(tmp_path)),
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
