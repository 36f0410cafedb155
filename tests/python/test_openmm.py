"""The OpenMM reporter, on real simulations of a small Lennard-Jones box built here.

DCDReporter runs beside it as the reference for positions, box, time and
step; StateDataReporter for the energies and the temperature.
"""

import io
import logging
import os
import warnings

import numpy as np
import pytest

import rux
from rux.md import schema

openmm = pytest.importorskip("openmm")
from openmm import app, unit  # noqa: E402

from rux.openmm import RUXReporter  # noqa: E402

MOLECULES = 40  # dimers: 80 atoms
CHARGE = 0.3
STEP_SIZE = 0.002  # ps


def dimer_box(molecules=MOLECULES, periodic=True, names=("A", "B"), constrained=False, seed=0):
    """Argon-like dimers, one residue each, in two chains; atom B has no element.

    `constrained` makes the first two bonds constraints and adds a
    CMMotionRemover, which change the degrees of freedom.

    Half the molecules start shifted by a box length, so that wrapping moves
    them. Returns (topology, system, positions in nm, box length).
    """
    length = 2.0
    rng = np.random.default_rng(seed)
    grid = int(np.ceil(molecules ** (1 / 3)))
    cells = np.stack(np.meshgrid(*[np.arange(grid)] * 3, indexing="ij"), -1).reshape(-1, 3)
    centres = (cells[:molecules] + 0.5) * (length / grid) + rng.normal(0, 0.01, (molecules, 3))
    centres[::2, 0] += length
    positions = np.repeat(centres, 2, axis=0)
    positions[1::2] += [0.12, 0.0, 0.0]

    system = openmm.System()
    topology = app.Topology()
    nonbonded = openmm.NonbondedForce()
    nonbonded.setNonbondedMethod(
        openmm.NonbondedForce.CutoffPeriodic if periodic else openmm.NonbondedForce.CutoffNonPeriodic
    )
    nonbonded.setCutoffDistance(0.9)
    bonds = openmm.HarmonicBondForce()
    chains = [topology.addChain("P"), topology.addChain("Q")]
    for m in range(molecules):
        residue = topology.addResidue("DIM", chains[m * 2 // molecules], id=str(10 + m))
        first = topology.addAtom(names[0], app.element.argon, residue)
        second = topology.addAtom(names[1], None, residue)
        topology.addBond(first, second)
        for charge in (CHARGE, -CHARGE):
            system.addParticle(39.948)
            nonbonded.addParticle(charge, 0.3405, 0.996)
        if constrained and m < 2:
            system.addConstraint(2 * m, 2 * m + 1, 0.12)
        else:
            bonds.addBond(2 * m, 2 * m + 1, 0.12, 50000.0)
        nonbonded.addException(2 * m, 2 * m + 1, 0.0, 1.0, 0.0)
    system.addForce(nonbonded)
    system.addForce(bonds)
    if constrained:
        system.addForce(openmm.CMMotionRemover())
    if periodic:
        vectors = [openmm.Vec3(length, 0, 0), openmm.Vec3(0, length, 0), openmm.Vec3(0, 0, length)]
        system.setDefaultPeriodicBoxVectors(*vectors)
        topology.setPeriodicBoxVectors(vectors)
    return topology, system, positions, length


def simulation(periodic=True, names=("A", "B"), molecules=MOLECULES, constrained=False):
    topology, system, positions, _ = dimer_box(molecules, periodic, names, constrained)
    integrator = openmm.VerletIntegrator(STEP_SIZE)
    platform = openmm.Platform.getPlatformByName("Reference")
    sim = app.Simulation(topology, system, integrator, platform)
    sim.context.setPositions(positions)
    sim.context.setVelocitiesToTemperature(120 * unit.kelvin, 7)
    return sim


def dcd_frames(path):
    """(positions in nm, box lengths in nm, times, steps) of a DCD file, through MDAnalysis."""
    from MDAnalysis.coordinates.DCD import DCDReader

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        reader = DCDReader(str(path))
    header = reader._file.header
    positions, lengths, times = [], [], []
    for ts in reader:
        positions.append(ts.positions / 10)
        lengths.append(ts.dimensions[:3] / 10)
        times.append(ts.time)
    steps = header["istart"] + header["nsavc"] * np.arange(len(positions))
    reader.close()
    return np.array(positions), np.array(lengths), np.array(times), steps


@pytest.mark.parametrize("enforce", [None, False])
def test_frames_match_dcd(tmp_path, enforce):
    sim = simulation()
    reporter = RUXReporter(tmp_path / "run.rux", 5, enforcePeriodicBox=enforce)
    sim.reporters += [reporter, app.DCDReporter(str(tmp_path / "run.dcd"), 5, enforcePeriodicBox=enforce)]
    sim.step(20)
    reporter.close()
    del sim.reporters[:]

    positions, lengths, times, steps = dcd_frames(tmp_path / "run.dcd")
    with rux.open(tmp_path / "run.rux") as traj:
        assert len(traj) == 4
        stored = traj.series(schema.POSITIONS)
        assert stored.dtype == np.float32
        np.testing.assert_allclose(stored, positions, rtol=1e-6, atol=1e-6)
        box = traj.series(schema.BOX)
        np.testing.assert_allclose(np.linalg.norm(box, axis=2), lengths, rtol=1e-6)
        np.testing.assert_array_equal(box[0], np.diag([2.0] * 3))
        np.testing.assert_allclose(traj.series(schema.TIME), times, rtol=1e-6)
        np.testing.assert_allclose(traj.series(schema.TIME), STEP_SIZE * steps, rtol=1e-12)
        np.testing.assert_array_equal(traj.series(schema.STEP), steps)
        # The box does not change: it is stored once.
        assert traj[0].written.count(schema.BOX) == 1 and schema.BOX not in traj[1].written
    outside = (stored < 0) | (stored >= 2.0)
    # Molecules were started a box length away: wrapping must move them back.
    assert outside.any() == (enforce is False)


def test_topology(tmp_path):
    sim = simulation()
    with RUXReporter(tmp_path / "run.rux", 1) as reporter:
        sim.reporters.append(reporter)
        sim.step(2)
    with rux.open(tmp_path / "run.rux") as traj:
        first, second = traj[0], traj[1]
        atoms = 2 * MOLECULES
        assert list(first[schema.NAMES]) == ["A", "B"] * MOLECULES
        assert list(first[schema.ELEMENTS]) == ["Ar", ""] * MOLECULES
        np.testing.assert_array_equal(first[schema.MASSES], np.full(atoms, 39.948))
        np.testing.assert_allclose(first[schema.CHARGES], [CHARGE, -CHARGE] * MOLECULES)
        assert list(first[schema.RESNAMES]) == ["DIM"] * atoms
        np.testing.assert_array_equal(first[schema.RESINDICES], np.repeat(np.arange(MOLECULES), 2))
        np.testing.assert_array_equal(first[schema.RESIDS], 10 + np.repeat(np.arange(MOLECULES), 2))
        assert list(first[schema.CHAINIDS]) == ["P"] * MOLECULES + ["Q"] * MOLECULES
        np.testing.assert_array_equal(first[schema.BONDS], np.arange(atoms).reshape(-1, 2))
        # Written once; later frames take it by the once-written rule.
        assert schema.NAMES not in second.written and list(second[schema.NAMES]) == list(first[schema.NAMES])
        assert traj.attrs["units"] == schema.UNITS
        assert traj.file.schema == schema.SCHEMA and traj.file.schema_version == schema.VERSION
    try:
        import mdtraj
        from rux import mdtraj as rux_mdtraj
    except ImportError:
        return
    # The same topology through MDTraj's own conversion of OpenMM's.
    expected = mdtraj.Topology.from_openmm(sim.topology)
    loaded = rux_mdtraj.load(tmp_path / "run.rux").topology
    assert [(a.name, a.residue.resSeq, a.residue.chain.chain_id) for a in loaded.atoms] == [
        (a.name, a.residue.resSeq, a.residue.chain.chain_id) for a in expected.atoms]
    assert [b[0].index for b in loaded.bonds] == [b[0].index for b in expected.bonds]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_vectors_and_observables(tmp_path, dtype):
    sim = simulation(constrained=True)
    log = io.StringIO()
    sim.reporters.append(
        RUXReporter(tmp_path / "run.rux", 3, velocities=True, forces=True, potentialEnergy=True,
                    kineticEnergy=True, totalEnergy=True, temperature=True, dtype=dtype)
    )
    sim.reporters.append(
        app.StateDataReporter(log, 3, step=True, potentialEnergy=True, kineticEnergy=True,
                              totalEnergy=True, temperature=True)
    )
    sim.step(9)
    sim.reporters[0].close()
    state = sim.context.getState(positions=True, velocities=True, forces=True, enforcePeriodicBox=True)
    expected = np.loadtxt(io.StringIO(log.getvalue()), delimiter=",")
    with rux.open(tmp_path / "run.rux") as traj:
        np.testing.assert_array_equal(traj.series(schema.STEP), expected[:, 0])
        for column, name in enumerate(
            [schema.POTENTIAL_ENERGY, schema.KINETIC_ENERGY, schema.TOTAL_ENERGY, schema.TEMPERATURE], 1
        ):
            # StateDataReporter prints with str(): all the digits of a float64.
            np.testing.assert_allclose(traj.series(name), expected[:, column], rtol=1e-12)
        last = traj[-1]
        for name, values in [
            (schema.POSITIONS, state.getPositions(asNumpy=True)),
            (schema.VELOCITIES, state.getVelocities(asNumpy=True)),
            (schema.FORCES, state.getForces(asNumpy=True)),
        ]:
            assert last[name].dtype == dtype
            exact = values.value_in_unit(values.unit)
            np.testing.assert_array_equal(last[name], exact.astype(dtype))


def test_not_periodic(tmp_path):
    sim = simulation(periodic=False)
    reporter = RUXReporter(tmp_path / "run.rux", 2)
    assert reporter.describeNextReport(sim) == {"steps": 2, "periodic": None, "include": ["positions"]}
    sim.reporters.append(reporter)
    sim.step(4)
    reporter.close()
    with rux.open(tmp_path / "run.rux") as traj:
        np.testing.assert_array_equal(traj.series(schema.BOX), np.zeros((2, 3, 3)))
        assert schema.BOX not in traj[1].written
        assert (traj.series(schema.POSITIONS)[:, ::2, 0] > 2.0).any()  # never wrapped


def test_live_reader_sees_published_frames(tmp_path):
    sim = simulation()
    reporter = RUXReporter(tmp_path / "run.rux", 1, publish_every=0)
    sim.reporters.append(reporter)
    with rux.open(tmp_path / "run.rux") as reader:
        for step in (1, 2, 3):
            sim.step(1)
            assert reader.refresh() == step
            assert reader[-1][schema.STEP] == step
    reporter.close()


def run_with_checkpoint(path, checkpoint, steps_before, steps_after, interval, interval_after):
    """Run, checkpoint, run on (a run then abandoned), and continue from the checkpoint.

    After the checkpoint the abandoned run is perturbed, so frames that
    survive from it would not match an uninterrupted run.
    """
    sim = simulation()
    reporter = RUXReporter(path, interval)
    sim.reporters.append(reporter)
    sim.step(steps_before)
    sim.saveCheckpoint(str(checkpoint))
    sim.context.setVelocitiesToTemperature(300 * unit.kelvin, 99)
    sim.step(steps_after)
    reporter.close()

    restarted = simulation()
    restarted.loadCheckpoint(str(checkpoint))
    appended = RUXReporter(path, interval_after, append=True)
    restarted.reporters.append(appended)
    return restarted, appended


# (checkpoint step, steps the abandoned run went on for, report intervals before
# and after the restart); the run ends at step 50.
@pytest.mark.parametrize(
    "before, after, interval, interval_after",
    [
        (20, 15, 5, 5),
        (22, 13, 5, 5),  # the checkpoint falls between reports
        (20, 0, 5, 5),  # nothing to drop
        (0, 15, 5, 5),  # everything dropped: the topology is written again
        (20, 6, 2, 5),  # abandoned frames at 22 and 24 come before the first new report
    ],
)
def test_restart_from_checkpoint_continues_the_file(
    tmp_path, caplog, before, after, interval, interval_after
):
    reference = simulation()
    reference.reporters.append(RUXReporter(tmp_path / "reference.rux", 1))
    reference.step(50)
    reference.reporters[0].close()

    restarted, appended = run_with_checkpoint(
        tmp_path / "run.rux", tmp_path / "state.chk", before, after, interval, interval_after
    )
    with caplog.at_level(logging.WARNING, logger="rux.md.openmm"):
        restarted.step(50 - before)
    appended.close()
    abandoned = [s for s in range(interval, before + after + 1, interval) if s > before]
    assert ("dropping %d frames" % len(abandoned) in caplog.text) == bool(abandoned)

    steps = [s for s in range(interval, before + 1, interval)]
    steps += list(range(before + interval_after - before % interval_after, 51, interval_after))
    with rux.open(tmp_path / "reference.rux") as ref:
        expected = ref.series(schema.POSITIONS)[np.array(steps) - 1]
    with rux.open(tmp_path / "run.rux") as traj:
        np.testing.assert_array_equal(traj.series(schema.STEP), steps)
        np.testing.assert_array_equal(traj.series(schema.POSITIONS), expected)
        assert list(traj[0][schema.NAMES]) == ["A", "B"] * MOLECULES
        assert traj.attrs["units"] == schema.UNITS
    try:
        import MDAnalysis as mda
        from rux import mdanalysis  # noqa: F401  (registers the reader)
    except ImportError:
        return
    universe = mda.Universe(str(tmp_path / "run.rux"))
    assert universe.atoms.names.tolist() == ["A", "B"] * MOLECULES
    positions = np.array([ts.positions.copy() for ts in universe.trajectory])
    np.testing.assert_allclose(positions, expected * 10, rtol=1e-6)


@pytest.mark.parametrize(
    "change, message",
    [
        ({"molecules": MOLECULES - 1}, "holds 80 atoms but the simulation has 78"),
        ({"names": ("A", "C")}, "atoms/names differ (first at 1: 'B' in the file, 'C'"),
    ],
)
def test_append_refuses_another_system(tmp_path, change, message):
    path = tmp_path / "run.rux"
    sim = simulation()
    sim.reporters.append(RUXReporter(path, 5))
    sim.step(10)
    sim.reporters[0].close()
    before = path.read_bytes()

    other = simulation(**change)
    other.reporters.append(RUXReporter(path, 5, append=True))
    with pytest.raises(ValueError) as error:
        other.step(5)
    assert message in str(error.value)
    other.reporters[0].close()
    assert path.read_bytes() == before


def test_append_to_a_missing_file_creates_it(tmp_path):
    sim = simulation()
    with RUXReporter(tmp_path / "new.rux", 2, append=True) as reporter:
        sim.reporters.append(reporter)
        sim.step(4)
    with rux.open(tmp_path / "new.rux") as traj:
        assert traj.series(schema.STEP).tolist() == [2, 4]
        assert schema.NAMES in traj[0].written


@pytest.mark.parametrize(
    "options, error",
    [({"reportInterval": 0}, "reportInterval"), ({"dtype": np.int32}, "float32 or float64")],
)
def test_bad_options(tmp_path, options, error):
    arguments = dict({"file": tmp_path / "run.rux", "reportInterval": 5}, **options)
    with pytest.raises(ValueError, match=error):
        RUXReporter(**arguments)
    assert not os.path.exists(tmp_path / "run.rux")
