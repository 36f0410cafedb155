"""ASE's own file I/O on rux files against ase.io.Trajectory.

Two workloads, rux (through rux.md.ase, found by ase.io from the file) side
by side with ASE's Trajectory format (.traj):

- reading: ``ase.io.read(path, ":")`` of the same frames, 256 Cu atoms
  each with momenta and the results of an EMT step (energy, free energy,
  per-atom energies, forces), from a warm page cache; microseconds per
  frame, from the call to the last Atoms.
- writing: one VelocityVerlet run of 256 Cu atoms under EMT, with a rux
  ``TrajectoryWriter`` and an ``ase.io.Trajectory`` both attached through
  ``dyn.attach(writer.write, interval=1)``: every step writes the same atoms
  to both files, one after the other, each call timed. Microseconds per
  frame, the mean of a run; each repetition is a run of its own.
"""

import os
import time

import numpy

from common import Row, Timer, interleave, remove

try:
    import ase
    import ase.io
    from ase.build import bulk
    from ase.calculators.emt import EMT
    from ase.calculators.singlepoint import SinglePointCalculator
    from ase.io.trajectory import Trajectory
    from ase.md.verlet import VelocityVerlet
except ImportError:  # the workloads are left out, with a note
    ase = None


def available():
    if ase is None:
        return False
    try:
        import rux.md.ase  # noqa: F401
    except ImportError:
        return False
    return "rux" in ase.io.formats.ioformats


def crystal():
    """256 Cu atoms: an fcc crystal of 4 x 4 x 4 cubic cells."""
    return bulk("Cu", "fcc", a=3.6, cubic=True).repeat((4, 4, 4))


def frames(count, seed=5):
    """Frames that look like an MD run: moving atoms, momenta and an EMT step's results."""
    rng = numpy.random.default_rng(seed)
    atoms = crystal()
    natoms = len(atoms)
    positions = atoms.positions.copy()
    for step in range(count):
        positions += rng.normal(scale=0.01, size=(natoms, 3))
        frame = atoms.copy()
        frame.positions = positions
        frame.set_momenta(rng.normal(scale=0.3, size=(natoms, 3)))
        energies = rng.normal(scale=0.01, size=natoms) - 0.01
        frame.calc = SinglePointCalculator(
            frame,
            energy=float(energies.sum()),
            free_energy=float(energies.sum()),
            energies=energies,
            forces=rng.normal(scale=0.5, size=(natoms, 3)),
        )
        yield frame


def write_read_files(config, data_dir):
    """The same frames as a rux file and as a .traj file."""
    from rux.md.ase import TrajectoryWriter

    paths = {"rux": os.path.join(data_dir, "ase.rux"), "ase_traj": os.path.join(data_dir, "ase.traj")}
    with TrajectoryWriter(paths["rux"], "w") as rux_file, Trajectory(paths["ase_traj"], "w") as traj:
        for atoms in frames(config.ase_frames):
            rux_file.write(atoms)
            traj.write(atoms)
    return paths


def check_same(paths):
    """Both files give the same frames (to float64 rounding of the unit conversions)."""
    first = ase.io.read(paths["ase_traj"], ":")
    second = ase.io.read(paths["rux"], ":")
    assert len(first) == len(second)
    for a, b in zip(first[:: max(1, len(first) // 50)], second[:: max(1, len(first) // 50)]):
        assert numpy.array_equal(a.numbers, b.numbers)
        assert numpy.allclose(a.positions, b.positions, rtol=1e-15, atol=0)
        assert numpy.allclose(a.get_momenta(), b.get_momenta(), rtol=1e-14, atol=1e-15)
        assert numpy.allclose(a.get_forces(), b.get_forces(), rtol=1e-14, atol=1e-15)
        assert numpy.isclose(a.get_potential_energy(), b.get_potential_energy(), rtol=1e-14)


def read_all(path, count):
    """Microseconds per frame of ase.io.read(path, ":")."""
    with Timer() as t:
        images = ase.io.read(path, ":")
    assert len(images) == count
    return t.seconds / count * 1e6


def reading(config, data_dir):
    paths = write_read_files(config, data_dir)
    try:
        check_same(paths)
        count = config.ase_frames
        values = interleave(
            {name: (lambda path=path: read_all(path, count)) for name, path in paths.items()},
            config.ase_repeat,
        )
    finally:
        for path in paths.values():
            remove(path)
    note = (f"{count:,} frames of 256 Cu atoms with momenta, energy, free energy, per-atom "
            f"energies and forces; ase.io.read(path, ':'), the format found by ase.io from the "
            f"file; page cache warm")
    return [Row("ase_read", "ase.io.read(':') of 256-atom frames", "us/frame", False, values,
                note, limit="ase_traj", extra={"frames": count})]


def md_run(config, data_dir, seed):
    """(rux, ase.io.Trajectory) mean microseconds per write over one MD run."""
    from rux.md.ase import TrajectoryWriter

    paths = {"rux": os.path.join(data_dir, "md.rux"), "ase_traj": os.path.join(data_dir, "md.traj")}
    atoms = crystal()
    atoms.rattle(0.05, seed=seed)
    atoms.calc = EMT()
    spent = {"rux": 0.0, "ase_traj": 0.0}
    writes = {"rux": 0, "ase_traj": 0}
    try:
        with TrajectoryWriter(paths["rux"], "w", atoms) as rux_file, \
                Trajectory(paths["ase_traj"], "w", atoms) as traj:
            writers = {"rux": rux_file, "ase_traj": traj}
            # Alternate which writes first, so neither always finds the
            # caches the other left.
            order = [["rux", "ase_traj"], ["ase_traj", "rux"]]

            def record():
                for name in order[writes["rux"] % 2]:
                    start = time.perf_counter()
                    writers[name].write()
                    spent[name] += time.perf_counter() - start
                    writes[name] += 1

            dynamics = VelocityVerlet(atoms, timestep=2 * ase.units.fs)
            dynamics.attach(record, interval=1)
            with Timer():  # the collector paused for the whole run, for both
                dynamics.run(config.ase_md_steps - 1)
        with ase.io.Trajectory(paths["ase_traj"]) as traj:
            assert len(traj) == writes["ase_traj"]
        assert len(ase.io.read(paths["rux"], ":")) == writes["rux"] == config.ase_md_steps
    finally:
        for path in paths.values():
            remove(path)
    return {name: spent[name] / writes[name] * 1e6 for name in spent}


def writing(config, data_dir):
    runs = [md_run(config, data_dir, seed) for seed in range(config.ase_repeat)]
    values = {name: [run[name] for run in runs] for name in ("rux", "ase_traj")}
    note = (f"VelocityVerlet of 256 Cu atoms under EMT, {config.ase_md_steps} steps a run, "
            f"{config.ase_repeat} runs; both writers attached with dyn.attach(..., interval=1) "
            f"and timed call by call, in alternating order")
    return [Row("ase_write", "write per MD step (dyn.attach), 256 atoms", "us/frame", False,
                values, note, limit="ase_traj", extra={"steps": config.ase_md_steps})]


def ase_io(config, data_dir):
    return reading(config, data_dir) + writing(config, data_dir)
