"""OpenMM reporters: the time spent inside report(), rux against XTC and DCD.

An argon box of 8,000 atoms (Lennard-Jones, NonbondedForce, CPU platform)
and four reporters, each with its own file: rux's RUXReporter (frames
flushed when its buffer fills and at close, as by default), the same with
publish_every=0 (a flush, with its sync, after every frame), OpenMM's
XTCReporter and DCDReporter. Every repetition takes one integration step
(untimed) and then, for each reporter in a rotated order, a fresh State as
the Simulation would make it (untimed) and one report() (timed). Each
reporter's first report, which writes headers or the topology, is made
before timing and given in the note. The close of the rux file (its one
flush and sync) is timed apart and given in the note, spread over the
reports.

Targets: rux's report() takes at most the time of XTCReporter's and at most
a tenth of DCDReporter's.
"""

import os

import numpy

from common import Row, Timer, remove

try:
    import openmm
    from openmm import app
except ImportError:  # the row is left out, with a note
    openmm = None

CONTENDERS = ("rux", "rux_published", "xtc", "dcd")
TITLES = {"rux": "rux", "rux_published": "rux, publish_every=0", "xtc": "XTCReporter",
          "dcd": "DCDReporter"}
ARGON_MASS = 39.948  # amu
ARGON_SIGMA, ARGON_EPSILON = 0.3405, 0.996  # nm, kJ/mol
DENSITY = 21.0  # atoms per nm^3, liquid argon


def argon_simulation(atoms):
    """A Simulation of `atoms` argon atoms on a lattice in a periodic cube."""
    length = (atoms / DENSITY) ** (1 / 3)
    side = int(numpy.ceil(atoms ** (1 / 3)))
    grid = numpy.stack(numpy.meshgrid(*[numpy.arange(side)] * 3, indexing="ij"), -1)
    positions = grid.reshape(-1, 3)[:atoms] * (length / side)
    system = openmm.System()
    vectors = [openmm.Vec3(length, 0, 0), openmm.Vec3(0, length, 0), openmm.Vec3(0, 0, length)]
    system.setDefaultPeriodicBoxVectors(*vectors)
    force = openmm.NonbondedForce()
    force.setNonbondedMethod(openmm.NonbondedForce.CutoffPeriodic)
    force.setCutoffDistance(min(1.0, 0.49 * length))
    topology = app.Topology()
    chain = topology.addChain()
    for _ in range(atoms):
        system.addParticle(ARGON_MASS)
        force.addParticle(0.0, ARGON_SIGMA, ARGON_EPSILON)
        topology.addAtom("Ar", app.element.argon, topology.addResidue("AR", chain))
    system.addForce(force)
    topology.setPeriodicBoxVectors(vectors)
    platform = openmm.Platform.getPlatformByName("CPU")
    simulation = app.Simulation(topology, system, openmm.VerletIntegrator(0.002), platform,
                                {"Threads": "1"})
    simulation.context.setPositions(positions)
    simulation.context.setVelocitiesToTemperature(90, 1)
    return simulation


def reporter_times(config, data_dir):
    if openmm is None:
        return []
    from rux.openmm import RUXReporter

    atoms, reports = config.openmm_atoms, config.openmm_reports
    simulation = argon_simulation(atoms)
    paths = {name: os.path.join(data_dir, f"reporter.{name}.{name[:3]}") for name in CONTENDERS}
    reporters = {
        "rux": RUXReporter(paths["rux"], 1),
        "rux_published": RUXReporter(paths["rux_published"], 1, publish_every=0),
        "xtc": app.XTCReporter(paths["xtc"], 1),
        "dcd": app.DCDReporter(paths["dcd"], 1),
    }
    try:
        first = {}
        simulation.step(1)
        for name, reporter in reporters.items():
            state = simulation.context.getState(positions=True, enforcePeriodicBox=True)
            with Timer() as t:
                reporter.report(simulation, state)
            first[name] = t.seconds * 1e3

        def one_report(reporter):
            state = simulation.context.getState(positions=True, enforcePeriodicBox=True)
            with Timer() as t:
                reporter.report(simulation, state)
            return t.seconds * 1e6

        # One repetition is one report of each, in an order rotated each time,
        # so that the ratios pair reports made on the same step.
        names = list(reporters)
        values = {name: [] for name in names}
        for rep in range(reports):
            simulation.step(1)
            shift = rep % len(names)
            for name in names[shift:] + names[:shift]:
                values[name].append(one_report(reporters[name]))
        with Timer() as t:
            reporters["rux"].close()
        close_ms = t.seconds * 1e3
        reporters["rux_published"].close()
        import rux

        with rux.open(paths["rux"]) as traj:
            assert len(traj) == reports + 1 and traj[0]["positions"].shape == (atoms, 3)
    finally:
        for reporter in reporters.values():
            if hasattr(reporter, "close"):
                reporter.close()
        del reporters
        for path in paths.values():
            remove(path)
    note = (f"{atoms:,} argon atoms, {reports} reports each, interleaved; median per report(); "
            f"first report (topology or header) in ms: "
            + ", ".join(f"{TITLES[n]} {first[n]:.3g}" for n in CONTENDERS)
            + f"; closing the rux file (its flush and sync) {close_ms:.3g} ms, "
              f"{close_ms * 1e3 / (reports + 1):.3g} us per report")
    return [Row("openmm_reporter", f"OpenMM report(), {atoms:,} atoms", "us", False, values, note,
                limit="xtc", extra={"atoms": atoms, "reports": reports, "first_ms": first,
                                    "close_ms": close_ms})]


def table(rows, number, ratio, format_lines):
    header = ("workload", "unit") + tuple(TITLES[n] for n in CONTENDERS) + (
        "XTC / rux", "DCD / rux")
    lines = [header] + [
        (row.label, row.unit) + tuple(number(row.figure(n)) for n in CONTENDERS)
        + (ratio(row.ratio("xtc")), ratio(row.ratio("dcd")))
        for row in rows
    ]
    return format_lines(lines)
