"""ASE on rux files: the adapter rux.md.ase, ase.io's format "rux" and MD runs written through it."""

import shutil
import warnings

import numpy as np
import pytest
import rux
from rux.md import ase_legacy, schema

ase = pytest.importorskip("ase")
import ase.io  # noqa: E402
import ase.units  # noqa: E402
from ase.build import bulk, molecule  # noqa: E402
from ase.calculators.emt import EMT  # noqa: E402
from ase.calculators.singlepoint import SinglePointCalculator  # noqa: E402
from ase.constraints import FixAtoms, FixBondLength, FixCartesian  # noqa: E402
from ase.io.formats import filetype, string2index  # noqa: E402
from ase.md.velocitydistribution import MaxwellBoltzmannDistribution  # noqa: E402
from ase.md.verlet import VelocityVerlet  # noqa: E402
from rux.md.ase import ConversionError, Trajectory, TrajectoryReader, TrajectoryWriter  # noqa: E402

STEPS = 12


def assert_rounded(actual, expected, ulps=4):
    """Equal to float64 rounding, all that the conversion to the schema's units may cost."""
    actual, expected = np.asarray(actual, dtype=np.float64), np.asarray(expected, dtype=np.float64)
    assert actual.shape == expected.shape
    bound = ulps * np.spacing(np.maximum(np.abs(actual), np.abs(expected)))
    assert np.all(np.abs(actual - expected) <= bound), np.abs(actual - expected).max()


def assert_same(expected, actual):
    assert np.array_equal(actual.numbers, expected.numbers)
    assert_rounded(actual.positions, expected.positions, ulps=1)
    assert_rounded(actual.cell.array, expected.cell.array, ulps=1)
    assert actual.pbc.tolist() == expected.pbc.tolist()
    assert sorted(actual.arrays) == sorted(expected.arrays)
    for key, value in expected.arrays.items():
        if value.dtype.kind == "f":
            assert_rounded(actual.arrays[key], value)
        else:
            assert actual.arrays[key].tolist() == value.tolist(), key
    np.testing.assert_equal(actual.info, expected.info)
    assert [c.todict() for c in actual.constraints] == [c.todict() for c in expected.constraints]
    want = expected.calc.results if expected.calc is not None else {}
    got = actual.calc.results if actual.calc is not None else {}
    assert sorted(got) == sorted(want)
    for key, value in want.items():
        shape = np.shape(value)
        if key == "stress" and shape == (3, 3):  # ASE's own shape is Voigt's
            value = [value[0, 0], value[1, 1], value[2, 2], value[1, 2], value[0, 2], value[0, 1]]
        assert_rounded(got[key], value)


@pytest.fixture(scope="module")
def md(tmp_path_factory):
    """32 Cu atoms under EMT, STEPS steps of velocity Verlet recorded by a writer attached to the run."""
    path = tmp_path_factory.mktemp("md") / "md.rux"
    atoms = bulk("Cu", "fcc", a=3.6, cubic=True).repeat((2, 2, 2))
    atoms.calc = EMT()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        MaxwellBoltzmannDistribution(atoms, temperature_K=500, rng=np.random.default_rng(3))
    recorded = []

    def record():
        frame = atoms.copy()
        frame.calc = SinglePointCalculator(frame, **atoms.calc.results)
        recorded.append(frame)

    with TrajectoryWriter(path, "w", atoms) as writer:
        dynamics = VelocityVerlet(atoms, timestep=2 * ase.units.fs)
        dynamics.attach(writer.write, interval=1)
        dynamics.attach(record, interval=1)
        dynamics.run(STEPS - 1)
    return {"path": str(path), "frames": recorded}


@pytest.mark.parametrize("index", [":", "-1", "::2", "3", "-4:", "1:9:3", "0"])
def test_ase_io_read_gives_the_frames_of_the_run(md, index):
    chosen = string2index(index)
    expected = md["frames"][chosen]
    actual = ase.io.read(md["path"], index)
    if isinstance(chosen, int):
        assert_same(expected, actual)
        return
    assert len(actual) == len(expected) > 0
    for want, got in zip(expected, actual):
        assert_same(want, got)
    iterated = list(ase.io.iread(md["path"], index))
    assert [a.positions.tolist() for a in iterated] == [a.positions.tolist() for a in actual]


def test_the_run_is_stored_in_the_schema(md):
    first = md["frames"][0]
    with rux.open(md["path"]) as traj:
        assert traj.file.schema == schema.SCHEMA and traj.attrs["units"] == schema.UNITS
        assert len(traj) == STEPS
        # Topology, box and pbc once; the state of each step in every frame.
        for name in (schema.ELEMENTS, schema.BOX, schema.PBC):
            assert traj.written_in(name).tolist() == [0], name
        for name in (schema.POSITIONS, schema.VELOCITIES, schema.FORCES, schema.POTENTIAL_ENERGY):
            assert len(traj.written_in(name)) == STEPS, name
        assert schema.MASSES not in traj and schema.CHARGES not in traj  # ASE's defaults
        frame = traj[0]
        nm_per_ps = schema.factor("velocity", "sqrt(eV/amu)")
        assert_rounded(frame[schema.POSITIONS] * 10, first.positions, ulps=1)
        assert_rounded(frame[schema.VELOCITIES] * nm_per_ps, first.get_velocities())
        kj_per_mol = ase.units.kJ / ase.units.mol  # in eV, with ASE's (older) constants
        assert frame[schema.POTENTIAL_ENERGY] * kj_per_mol == pytest.approx(
            first.get_potential_energy(), rel=2e-8
        )
        assert frame[schema.ELEMENTS].tolist() == ["Cu"] * len(first)
        assert frame[schema.PBC].tolist() == [True] * 3


@pytest.mark.parametrize(
    "quantity, unit, ase_value",
    [
        ("length", "A", 10 * ase.units.Angstrom),
        ("time", "A*sqrt(amu/eV)", 1000 * ase.units.fs),
        ("velocity", "sqrt(eV/amu)", 10 * ase.units.Angstrom / (1000 * ase.units.fs)),
        ("energy", "eV", ase.units.kJ / ase.units.mol),
        ("force", "eV/A", ase.units.kJ / ase.units.mol / 10),
        ("pressure", "eV/A^3", ase.units.bar),
    ],
)
def test_the_schema_factors_agree_with_ase_units(quantity, unit, ase_value):
    # ASE's default constants are CODATA 2014, the schema's CODATA 2018: they
    # differ by about 1e-8, and a wrong formula by far more.
    assert schema.factor(quantity, unit) == pytest.approx(ase_value, rel=2e-8)


def test_a_dynamics_given_the_writer_as_its_trajectory(tmp_path):
    atoms = bulk("Cu", cubic=True)
    atoms.calc = EMT()
    with TrajectoryWriter(tmp_path / "opt.rux", "w") as writer:
        VelocityVerlet(atoms, timestep=ase.units.fs, trajectory=writer).run(3)
        assert len(writer) == 4
        assert writer.description["md-type"] == "VelocityVerlet"
    images = ase.io.read(tmp_path / "opt.rux", ":")
    assert len(images) == 4
    assert_rounded(images[-1].positions, atoms.positions, ulps=1)


def everything():
    """Atoms with every kind of thing the adapter maps."""
    atoms = molecule("CH3CH2OH")
    atoms.cell = [[8.0, 0.0, 0.0], [1.0, 9.0, 0.0], [0.5, 0.5, 10.0]]
    atoms.pbc = [True, False, True]
    count = len(atoms)
    rng = np.random.default_rng(11)
    atoms.set_masses(np.linspace(1.0, 20.0, count))
    atoms.set_initial_charges(rng.normal(size=count))
    atoms.set_initial_magnetic_moments(rng.normal(size=count))
    atoms.set_tags(np.arange(count) % 3)
    atoms.set_momenta(rng.normal(size=(count, 3)))
    atoms.set_array("label", np.array([f"atom{i}" for i in range(count)]))
    atoms.set_array("flag", np.arange(count) % 2 == 0)
    atoms.set_array("vectors", rng.normal(size=(count, 2)))
    atoms.info.update(
        text="plain", unicode="Å ångström", tricky="_JSON not json", number=3, real=2.5,
        yes=True, matrix=rng.normal(size=(2, 3)), mapping={"a": [1, 2]}, items=[1, "b"],
        nothing=None,
    )
    atoms.set_constraint([FixAtoms(indices=[0, 2])])
    atoms.calc = SinglePointCalculator(
        atoms,
        energy=-12.5, free_energy=-12.75, energies=rng.normal(size=count),
        forces=rng.normal(size=(count, 3)), stress=rng.normal(size=6),
        stresses=rng.normal(size=(count, 6)), charges=rng.normal(size=count),
        dipole=rng.normal(size=3), magmom=1.5, magmoms=rng.normal(size=count),
        polarization=rng.normal(size=3), dielectric_tensor=rng.normal(size=(3, 3)),
        born_effective_charges=rng.normal(size=(count, 3, 3)),
    )
    return atoms


def cartesian():
    atoms = bulk("NaCl", "rocksalt", a=5.6)
    atoms.set_constraint([FixCartesian(1, mask=[True, False, True])])
    square = np.arange(9.0).reshape(3, 3)
    atoms.calc = SinglePointCalculator(atoms, energy=1.0, stress=square + square.T)
    return atoms


@pytest.mark.parametrize(
    "make",
    [everything, cartesian, lambda: ase.Atoms(), lambda: molecule("H2O"),
     lambda: ase.Atoms("X2Og", positions=[[0, 0, 0], [1, 0, 0], [0, 1, 0]])],
    ids=["everything", "cartesian-stress-3x3", "empty", "no-cell", "dummy-and-odd-symbols"],
)
def test_atoms_round_trip(tmp_path, make):
    atoms = make()
    ase.io.write(tmp_path / "one.rux", atoms)
    assert_same(atoms, ase.io.read(tmp_path / "one.rux"))


def test_each_image_of_a_data_set_comes_back_as_it_was(tmp_path):
    # Images that change atom count, elements, masses and charges: each frame
    # that changes them writes them again, and a later image without custom
    # masses or charges is not given an earlier one's.
    water, methane = molecule("H2O"), molecule("CH4")
    heavy = water.copy()
    heavy.set_masses([16.0, 2.0, 2.0])
    charged = water.copy()
    charged.set_initial_charges([-0.8, 0.4, 0.4])
    ammonia = molecule("NH3")
    images = [heavy, water, charged, methane, water, ammonia, charged, heavy]
    ase.io.write(tmp_path / "set.rux", images)
    back = ase.io.read(tmp_path / "set.rux", ":")
    assert len(back) == len(images)
    for want, got in zip(images, back):
        assert_same(want, got)
    with rux.open(tmp_path / "set.rux") as traj:
        assert traj.written_in(schema.ELEMENTS).tolist() == [0, 3, 4, 5, 6]


def test_a_frame_without_results_does_not_take_an_earlier_frames(tmp_path):
    atoms = bulk("Cu", cubic=True)
    atoms.calc = EMT()
    atoms.get_forces()
    with TrajectoryWriter(tmp_path / "r.rux", "w", atoms) as writer:
        writer.write()
        atoms.positions += 0.05  # the results are of the old positions now
        writer.write()
        writer.write(energy=2.0)
    first, moved, given = ase.io.read(tmp_path / "r.rux", ":")
    assert "forces" in first.calc.results
    assert moved.calc is None
    assert given.calc.results == {"energy": pytest.approx(2.0, rel=1e-15)}


def test_named_properties_are_computed_when_missing(tmp_path):
    atoms = bulk("Cu", cubic=True)
    atoms.calc = EMT()
    with TrajectoryWriter(tmp_path / "p.rux", "w", atoms, properties=["energy", "stress"]) as writer:
        writer.write()
    (stored,) = ase.io.read(tmp_path / "p.rux", ":")
    assert sorted(stored.calc.results) == ["energy", "stress"]
    assert_rounded(stored.get_stress(), atoms.get_stress(), ulps=8)


def test_appending_continues_the_file_without_writing_topology_again(tmp_path):
    path = tmp_path / "a.rux"
    atoms = bulk("Cu", cubic=True)
    ase.io.write(path, [atoms, atoms])
    moved = atoms.copy()
    moved.positions += 0.1
    ase.io.write(path, [moved], append=True)
    with Trajectory(path, "a") as writer:
        writer.write(atoms)
        assert len(writer) == 4
    images = ase.io.read(path, ":")
    assert len(images) == 4
    assert_rounded(images[2].positions, moved.positions, ulps=1)
    with rux.open(path) as traj:
        assert traj.written_in(schema.ELEMENTS).tolist() == [0]
        assert traj.written_in(schema.BOX).tolist() == [0]


def test_magic_bytes_find_a_rux_file_of_any_name(md, tmp_path):
    for name in ("trajectory", "misnamed.traj", "data.xyz"):
        copy = tmp_path / name
        shutil.copy(md["path"], copy)
        assert filetype(str(copy)) == "rux"
        assert len(ase.io.read(str(copy), ":", format=None)) == STEPS


def test_files_of_the_earlier_convention_read_as_before(tmp_path):
    atoms = everything()
    del atoms.info["unicode"]  # text of that convention is ASCII
    atoms.calc = SinglePointCalculator(atoms, energy=-3.0, forces=np.ones((len(atoms), 3)))
    path = tmp_path / "old.rux"
    with ase_legacy.create(path) as traj:
        ase_legacy.write_frame(traj, atoms)
        ase_legacy.write_frame(traj, atoms)
    with rux.open(path) as traj:
        expected = ase_legacy.atoms_from_frame(traj[1])
    got = ase.io.read(path, ":")
    assert len(got) == 2
    # Å, as stored, and the very Atoms the convention's own reader makes.
    assert np.array_equal(got[1].positions, atoms.positions)
    assert got[1].get_potential_energy() == -3.0
    assert_same(expected, got[1])
    with pytest.raises(RuntimeError, match="incorrect schema"):
        TrajectoryWriter(path, "a")


def write_raw(path, frames, version=schema.VERSION):
    with rux.open(path, "w", "another tool", schema.SCHEMA, version) as traj:
        for chunks in frames:
            traj.append(chunks)


def test_a_file_from_another_tool_reads_with_what_ase_can_use(tmp_path):
    # float32 positions, elements that ASE does not know, no pbc (the box
    # says), masses of another table, topology that ASE has no place for.
    path = tmp_path / "other.rux"
    positions = np.arange(12, dtype=np.float32).reshape(4, 3) / 10
    write_raw(path, [
        {schema.POSITIONS: positions, schema.ELEMENTS: np.array(["C", "", "CL", "Zz"]),
         schema.MASSES: np.array([12.0, 1.0, 35.45, 1.0]), schema.NAMES: np.array(list("abcd")),
         schema.BOX: np.diag([2.0, 3.0, 0.0]), schema.TIME: 1.5,
         schema.KINETIC_ENERGY: 3.0},
        {schema.POSITIONS: positions + 1},
    ])
    with pytest.warns(UserWarning, match="unknown element symbols read as X: Zz"):
        first, second = ase.io.read(path, ":")
    assert first.get_chemical_symbols() == ["C", "X", "Cl", "X"]
    assert first.pbc.tolist() == [True, True, False]
    assert np.array_equal(first.positions, positions.astype(np.float64) * 10)
    assert np.array_equal(second.cell.array, np.diag([20.0, 30.0, 0.0]))
    assert first.has("masses") and first.get_masses().tolist() == [12.0, 1.0, 35.45, 1.0]
    assert first.calc is None and first.info == {}


@pytest.mark.parametrize(
    "frames, message",
    [
        ([{schema.ELEMENTS: np.array(["H"])}], "has no chunk 'positions'"),
        ([{schema.POSITIONS: np.zeros((2, 3)), schema.ELEMENTS: np.array(["H"])}],
         "frame 0 of .* has 1 elements for 2 positions"),
        ([{schema.POSITIONS: np.zeros((1, 3)), schema.ELEMENTS: np.array(["H"])},
          {schema.POSITIONS: np.zeros((2, 3))}],
         "frame 1 of .* has 1 elements for 2 positions"),
    ],
    ids=["no-positions", "elements-short", "atoms-added-later"],
)
def test_frames_that_make_no_atoms_are_named(tmp_path, frames, message):
    path = tmp_path / "bad.rux"
    write_raw(path, frames)
    with pytest.raises(ConversionError, match=message):
        ase.io.read(path, ":")


def test_a_later_major_version_of_the_schema_is_refused(tmp_path):
    write_raw(tmp_path / "v2.rux", [{schema.POSITIONS: np.zeros((1, 3))}], version=(2, 0))
    with pytest.raises(ValueError, match="rux-md 2.0"):
        TrajectoryReader(tmp_path / "v2.rux")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda path: TrajectoryWriter(path, "r+"), 'mode "w", "x" or "a"'),
        (lambda path: TrajectoryWriter(path, properties=["enrgy"]), "no such calculator property"),
        (lambda path: TrajectoryWriter(path).write(), "no atoms to write"),
        (lambda path: TrajectoryWriter(path).write(bulk("Cu"), colour=1), "no such calculator"),
    ],
    ids=["mode", "property", "no-atoms", "keyword"],
)
def test_writer_misuse_is_refused(tmp_path, call, message):
    with pytest.raises(ValueError, match=message):
        call(tmp_path / "w.rux")


def test_values_without_a_place_are_left_out_with_one_warning(tmp_path):
    atoms = molecule("H2")
    atoms.info["phase"] = np.array([1 + 2j])
    atoms.set_array("tensor", np.zeros((2, 3, 3)))
    atoms.set_constraint(FixBondLength(0, 1))
    atoms.calc = SinglePointCalculator(atoms, energy=None)
    atoms.calc.results["fermi_level"] = -4.5  # a result ASE has no property for
    with TrajectoryWriter(tmp_path / "w.rux") as writer:
        with pytest.warns(
            UserWarning,
            match="not stored .*: arrays/tensor, constraint FixBondLengths, info/phase, fermi_level",
        ):
            writer.write(atoms)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            writer.write(atoms)  # said once
    for stored in ase.io.read(tmp_path / "w.rux", ":"):
        assert stored.info == {} and stored.calc is None and not stored.constraints


@pytest.mark.parametrize("index, count", [(slice(None), 5), (slice(-2, None), 2), (-1, 1), (2, 1)])
def test_reader_indexes_like_a_list(tmp_path, index, count):
    images = [molecule("H2O") for _ in range(5)]
    for i, atoms in enumerate(images):
        atoms.positions += i
    ase.io.write(tmp_path / "r.rux", images)
    with Trajectory(tmp_path / "r.rux") as reader:
        assert len(reader) == 5
        got = reader[index]
        expected = images[index]
        if isinstance(index, int):
            got, expected = [got], [expected]
        assert len(got) == count
        for want, have in zip(expected, got):
            assert_same(want, have)
        with pytest.raises(IndexError):
            reader[5]


def test_the_adapter_type_checks():
    pytest.importorskip("mypy")
    import subprocess
    import sys

    result = subprocess.run(
        [sys.executable, "-m", "mypy", "-p", "rux.md.ase", "-p", "rux.md.ase_legacy", "-p", "rux.xyz"],
        cwd="/", capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout
