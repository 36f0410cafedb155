"""The MD schema: ``rux check --schema`` names every deviation, and only for files of the schema."""

import json

import numpy as np
import pytest
from rux import cli
from rux.md import schema

N = 4


def good_frame(step):
    return {
        schema.POSITIONS: np.full((N, 3), step, dtype=np.float32),
        schema.BOX: np.eye(3) * 2.0,
        schema.TIME: 0.5 * step,
        schema.STEP: step,
        schema.TEMPERATURE: 300.0,
    }


TOPOLOGY = {
    schema.NAMES: np.array(["C1", "C2", "O", "H"]),
    schema.RESIDS: np.arange(N),
    schema.MASSES: np.ones(N),
    schema.BONDS: np.array([[0, 1], [1, 2]]),
}


def write(path, changes=None, later=None, units=schema.UNITS):
    with schema.create(path, "test") as traj:
        if units is not schema.UNITS:
            traj.attrs["units"] = units
        traj.append({**good_frame(0), **TOPOLOGY, **(changes or {})})
        traj.append({**good_frame(1), **(later or {})})
    return path


def run(capsys, *argv):
    status = cli.main([str(arg) for arg in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def test_a_file_of_the_schema_passes(tmp_path, capsys):
    path = write(str(tmp_path / "md.rux"))
    status, out, _ = run(capsys, "check", "--schema", path)
    assert status == 0 and "follows the MD schema 1.0" in out


@pytest.mark.parametrize(
    "changes, later, deviation",
    [
        ({schema.STEP: 0.0}, None, "step holds 'f and i' values"),
        ({schema.NAMES: np.array(["a", "b"])}, None, "atoms/names in frame 0: 2 strings for 4 atoms"),
        ({schema.NAMES: "C1 C2 O H"}, None, "atoms/names holds 'plain text' values"),
        ({schema.MASSES: np.ones((N, 2))}, None, "atoms/masses in frame 0: shape (4, 2), not (4,)"),
        ({schema.BOX: np.eye(2)}, None, "box in frame 0: shape (2, 2) where (3, 3) is expected"),
        ({schema.PBC: np.ones(2, bool)}, None, "pbc in frame 0: shape (2,) where (3,) is expected"),
        ({schema.BONDS: np.array([[0, 4]])}, None, "bonds row 0 names atom [0, 4] outside 0..3"),
        (None, {schema.POSITIONS: np.zeros((N + 1, 3), np.float32)}, "N changes in frame 1: 5 atoms"),
        (None, {schema.MASSES: np.ones(N)}, "atoms/masses is written in frame 1; topology belongs"),
        ({schema.POSITIONS: np.zeros((N, 3), np.int32)}, None, "positions holds 'f and i' values"),
    ],
)
def test_each_deviation_is_named(tmp_path, capsys, changes, later, deviation):
    path = write(str(tmp_path / "md.rux"), changes, later)
    status, out, err = run(capsys, "check", "--schema", path)
    assert status == 1 and deviation in out, out
    assert out.count("\n") == 1 and "1 deviation from the MD schema" in err


def test_missing_positions_and_units_are_deviations(tmp_path, capsys):
    path = str(tmp_path / "md.rux")
    with schema.create(path, "test") as traj:
        traj.attrs["units"] = {"length": "Angstrom"}
        traj.append(good_frame(0))
        traj.append({schema.TIME: 1.0})
    status, out, _ = run(capsys, "check", "--schema", "--json", path)
    found = json.loads(out)["schema"]
    assert status == 1 and not found["ok"]
    assert [d.split(" ")[0] for d in found["deviations"]] == ["units", "frame"]
    assert "frame 1 holds no positions" in found["deviations"][1]


def test_files_of_other_schemas_are_not_an_error(tmp_path, capsys):
    import rux

    path = str(tmp_path / "other.rux")
    with rux.open(path, "w", "test", "lattice", (3, 1)) as traj:
        traj.append({"spins": np.ones(5)})
    status, out, _ = run(capsys, "check", "--schema", path)
    assert status == 0 and "its schema is 'lattice' 3.1, not the MD schema" in out


def test_a_newer_major_version_is_reported_not_checked(tmp_path, capsys):
    import rux

    path = str(tmp_path / "new.rux")
    with rux.open(path, "w", "test", schema.SCHEMA, (2, 0)) as traj:
        traj.append({"whatever": np.ones(5)})
    status, out, _ = run(capsys, "check", "--schema", path)
    assert status == 1 and "schema version 2.0" in out and out.count("\n") == 1
