"""Converting between rux and extended XYZ, on a trajectory from ASE's molecular dynamics."""

import os
import re
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest
import rux
import rux.fl as fl
from rux import cli, xyz
from rux.md import schema

ase = pytest.importorskip("ase")
import ase.io  # noqa: E402
from ase.build import bulk  # noqa: E402
from ase.calculators.lj import LennardJones  # noqa: E402
from ase.calculators.singlepoint import SinglePointCalculator  # noqa: E402
from ase.md.velocitydistribution import MaxwellBoltzmannDistribution  # noqa: E402
from ase.md.verlet import VelocityVerlet  # noqa: E402

PACKAGE_PARENT = str(Path(os.path.abspath(fl.__file__)).parents[1])
ATOMS = 256
FRAMES = 200

RICH_XYZ = """\
3
Properties=species:S:1:pos:R:3:tags:I:1:label:S:1:move_mask:L:1:forces:R:3 energy=-1.5 \
title="water molecule" step=7 converged=T dipole="0.1 0.2 0.3" nested="_JSON {\\"a\\": [1, 2]}"
O 0.0 0.0 0.1 1 first T 0.1 0.2 0.3
H 0.75 0.0 -0.5 0 second F 0.0 0.0 0.0
H -0.75 0.0 -0.5 0 third T 0.0 0.0 0.0
2
Lattice="5.0 0.0 0.0 0.0 5.0 0.0 0.0 0.0 6.0" Properties=species:S:1:pos:R:3 pbc="T T F" \
temperature=300.5
Ar 0.0 0.0 0.0
Ar 2.5 2.5 3.0
0
Properties=species:S:1:pos:R:3 note=empty
"""


@pytest.fixture(scope="module")
def simulation(tmp_path_factory):
    """An FCC argon crystal of 256 atoms under Lennard-Jones forces, 200 steps of velocity Verlet.

    Each step is recorded three ways: the simulation's own values, a frame of a
    rux file written while the simulation runs, and (afterwards) ASE's XYZ file.
    """
    directory = tmp_path_factory.mktemp("md")
    atoms = bulk("Ar", "fcc", a=5.26, cubic=True).repeat((4, 4, 4))
    atoms.calc = LennardJones(sigma=3.405, epsilon=0.0103, rc=6.5)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        MaxwellBoltzmannDistribution(atoms, temperature_K=60, rng=np.random.default_rng(7))
    recorded = []
    live = xyz.create(directory / "live.rux")

    def record():
        frame = atoms.copy()
        frame.calc = SinglePointCalculator(frame, **atoms.calc.results)
        recorded.append(frame)
        xyz.write_frame(live, atoms)

    dynamics = VelocityVerlet(atoms, timestep=5 * ase.units.fs)
    dynamics.attach(record, interval=1)
    dynamics.run(FRAMES - 1)
    live.close()
    ase.io.write(directory / "md.xyz", recorded, format="extxyz")
    return {
        "frames": recorded,
        "live": str(directory / "live.rux"),
        "xyz": str(directory / "md.xyz"),
    }


def assert_rounded(actual, expected, ulps=4):
    """Floats equal to float64 rounding: what the schema's units leave of them."""
    actual, expected = np.asarray(actual, dtype=np.float64), np.asarray(expected, dtype=np.float64)
    assert actual.shape == expected.shape
    bound = ulps * np.spacing(np.maximum(np.abs(actual), np.abs(expected)))
    assert np.all(np.abs(actual - expected) <= bound), np.abs(actual - expected).max()


def assert_same_value(actual, expected, key):
    if isinstance(expected, np.ndarray) and expected.dtype.kind == "f":
        assert_rounded(actual, expected)
    else:
        assert np.asarray(actual).tolist() == np.asarray(expected).tolist(), key


def assert_same_atoms(expected, actual):
    assert np.array_equal(actual.numbers, expected.numbers)
    assert_rounded(actual.positions, expected.positions, ulps=1)
    assert_rounded(actual.cell.array, expected.cell.array, ulps=1)
    assert np.array_equal(actual.pbc, expected.pbc)
    assert sorted(actual.arrays) == sorted(expected.arrays)
    for key, value in expected.arrays.items():
        assert_same_value(actual.arrays[key], value, key)
    np.testing.assert_equal(actual.info, expected.info)
    assert [c.todict() for c in actual.constraints] == [c.todict() for c in expected.constraints]
    expected_results = expected.calc.results if expected.calc else {}
    actual_results = actual.calc.results if actual.calc else {}
    assert sorted(actual_results) == sorted(expected_results)
    for key, value in expected_results.items():
        assert_rounded(actual_results[key], value)


def assert_same_text(actual, expected):
    """The same text but for numbers that differ in their last bits."""
    separators = r'([\s="]+)'
    actual, expected = re.split(separators, actual), re.split(separators, expected)
    assert len(actual) == len(expected)
    for got, want in zip(actual, expected):
        if got != want:
            assert_rounded(float(got), float(want))


def test_frames_read_back_from_rux_equal_the_simulations_own(simulation):
    frames = list(xyz.read_trajectory(simulation["live"]))
    assert len(frames) == FRAMES and len(frames[0]) == ATOMS
    assert not np.array_equal(frames[0].positions, frames[-1].positions)  # the atoms moved
    for expected, actual in zip(simulation["frames"], frames):
        assert_same_atoms(expected, actual)
        assert_rounded(actual.get_potential_energy(), expected.get_potential_energy())
        assert_rounded(actual.get_forces(), expected.get_forces())
        assert_rounded(actual.get_momenta(), expected.get_momenta())
    with fl.open(simulation["live"], "r") as handle:
        assert (handle.application, handle.schema, handle.schema_version) == (
            "rux convert",
            schema.SCHEMA,
            schema.VERSION,
        )
    with rux.open(simulation["live"]) as traj:
        frame = traj[3]
        assert frame[schema.POSITIONS].dtype == np.float64
        assert frame[schema.ELEMENTS].tolist() == ["Ar"] * ATOMS  # from frame 0
        assert np.ndim(frame[schema.POTENTIAL_ENERGY]) == 0
        assert frame[schema.FORCES].shape == (ATOMS, 3)


def test_xyz_to_rux_to_xyz_is_lossless(simulation, tmp_path, capsys):
    rux_path, back = tmp_path / "md.rux", tmp_path / "back.xyz"
    assert cli.main(["convert", simulation["xyz"], str(rux_path)]) == 0
    assert cli.main(["convert", str(rux_path), str(back)]) == 0
    assert capsys.readouterr().err == (
        f"{rux_path}: {FRAMES} frames written\n{back}: {FRAMES} frames written\n"
    )
    # ASE writes what it reads in the same text, so the trip gives the same text but
    # for the last bits of numbers that went through the schema's units.
    assert_same_text(back.read_text(), Path(simulation["xyz"]).read_text())

    from_xyz = ase.io.read(simulation["xyz"], index=":", format="extxyz")
    from_rux = list(xyz.read_trajectory(rux_path))
    assert len(from_rux) == FRAMES
    for parsed, stored in zip(from_xyz, from_rux):
        assert_same_atoms(parsed, stored)


def test_a_varied_file_survives_the_round_trip(tmp_path):
    source = tmp_path / "rich.xyz"
    source.write_text(RICH_XYZ)
    original = ase.io.read(source, index=":", format="extxyz")
    assert len(original) == 3 and original[0].constraints  # the fixed atom came through ASE

    assert xyz.xyz_to_rux(source, tmp_path / "rich.rux") == 3
    assert xyz.rux_to_xyz(tmp_path / "rich.rux", tmp_path / "back.xyz") == 3
    for expected, actual in zip(original, ase.io.read(tmp_path / "back.xyz", index=":")):
        assert_same_atoms(expected, actual)

    with rux.open(tmp_path / "rich.rux") as traj:
        first, second = traj[0], traj[1]
        assert first["arrays/label"].tolist() == ["first", "second", "third"]
        assert first["arrays/move_mask"].tolist() == [True, False, True]
        assert first["info/title"] == "water molecule"
        assert first["info/converged"] == np.bool_(True)
        assert first["info/nested"] == schema.JSON_PREFIX + '{"a": [1, 2]}'
        assert second["pbc"].tolist() == [True, True, False]
        assert schema.POTENTIAL_ENERGY not in second.written


def test_convert_picks_the_direction_by_extension_or_option(tmp_path, capsys):
    source = tmp_path / "rich.txt"
    source.write_text(RICH_XYZ)
    assert cli.main(["convert", str(source), str(tmp_path / "a.rux")]) == 1
    error = capsys.readouterr().err
    assert error.startswith(f"rux: {source}: MDAnalysis cannot read it") and error.count("\n") == 1
    assert cli.main(["convert", "--from", "xyz", str(source), str(tmp_path / "a.rux")]) == 0
    assert cli.main(["convert", str(tmp_path / "a.rux"), str(tmp_path / "b.EXTXYZ")]) == 0
    assert cli.main(["convert", str(tmp_path / "a.rux"), str(tmp_path / "c.rux")]) == 1
    assert len(ase.io.read(tmp_path / "b.EXTXYZ", index=":")) == 3


def test_convert_as_an_installed_command(tmp_path):
    source = tmp_path / "rich.extxyz"
    source.write_text(RICH_XYZ)
    environment = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)
    result = subprocess.run(
        [sys.executable, "-m", "rux", "convert", str(source), str(tmp_path / "r.rux")],
        capture_output=True,
        text=True,
        env=environment,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == f"{tmp_path / 'r.rux'}: 3 frames written\n"


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "No such file or directory"),
        ("2\n\nAr 0 0\n", "ase.io.extxyz: Frame has 1 atoms, expected 2"),
        ("hello\n", "ase.io.extxyz: Expected xyz header"),
    ],
    ids=["missing", "short-frame", "no-header"],
)
def test_bad_xyz_input_is_one_line_naming_the_file(content, message, tmp_path, capsys):
    source = tmp_path / "in.xyz"
    if content is not None:
        source.write_text(content)
    status = cli.main(["convert", str(source), str(tmp_path / "out.rux")])
    err = capsys.readouterr().err
    assert status == 1 and err.count("\n") == 1
    assert err.startswith(f"rux: {source}: {message}")


def test_a_rux_file_of_another_schema_is_refused_in_one_line(tmp_path, capsys):
    path = tmp_path / "other.rux"
    with fl.open(path, "w", "app", "other", (1, 0)) as handle:
        handle.write_chunk("coordinates", np.zeros((2, 3)))
        handle.end_frame()
    assert cli.main(["convert", str(path), str(tmp_path / "out.xyz")]) == 1
    assert capsys.readouterr().err == f"rux: frame 0 of {path} has no chunk 'positions'\n"


def test_values_without_a_chunk_type_are_left_out_with_a_warning(tmp_path):
    atoms = ase.Atoms("H2", positions=[[0, 0, 0], [0, 0, 0.7]])
    atoms.info["phase"] = np.array([1 + 2j])
    atoms.info["kept"] = 2.5
    with pytest.warns(UserWarning, match=r"not stored \(no chunk type fits\): info/phase"):
        xyz.write_trajectory(tmp_path / "c.rux", [atoms])
    (stored,) = xyz.read_trajectory(tmp_path / "c.rux")
    assert stored.info == {"kept": 2.5}


@pytest.mark.parametrize("names", ["", "positions=particles/position,numbers=particles/typeid"])
def test_convert_maps_names_and_reads_topology_written_once(tmp_path, capsys, names):
    path = tmp_path / "md.rux"
    to_file = cli._name_mapping(names)
    rng = np.random.default_rng(3)
    positions = rng.normal(size=(4, 4, 3)).astype(np.float32)
    with rux.open(path, "w", "sim", "md", (1, 0)) as traj:
        for i, frame in enumerate(positions):
            chunks = {to_file.get("positions", "positions"): frame}
            if i == 0:
                chunks[to_file.get("numbers", "numbers")] = np.array([1, 8, 1, 6])
            traj.append(chunks)
    argv = ["convert", str(path), str(tmp_path / "out.xyz")] + (["--names", names] if names else [])
    assert cli.main(argv) == 0, capsys.readouterr().err
    images = ase.io.read(str(tmp_path / "out.xyz"), index=":")
    assert [list(atoms.numbers) for atoms in images] == [[1, 8, 1, 6]] * 4
    assert np.allclose([atoms.positions for atoms in images], positions)
    assert cli.main(["convert", str(tmp_path / "out.xyz"), str(tmp_path / "back.rux")] + argv[3:]) == 0
    with rux.open(tmp_path / "back.rux") as traj:
        # Without names the file is in the MD schema (nm), with them in the earlier convention (Å).
        stored = traj.series(to_file.get("positions", "positions"))
        assert np.allclose(stored * (1 if names else schema.factor("length", "A")), positions)


def test_a_malformed_name_mapping_is_one_line(tmp_path, capsys):
    assert cli.main(["convert", "a.rux", "b.xyz", "--names", "positions"]) == 1
    assert "NAME=CHUNK" in capsys.readouterr().err
