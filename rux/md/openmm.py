"""OpenMM: a reporter that writes a simulation to a rux file in the MD schema.

    from rux.openmm import RUXReporter
    simulation.reporters.append(RUXReporter("run.rux", 1000, velocities=True))

The first frame holds the topology (names, elements, masses from the System,
residues, chains, bonds, and charges where the System has a NonbondedForce);
every frame holds positions, time and step, and the box when it changed. With
``append=True`` a run restarted from a checkpoint continues its file: frames
after the step the simulation restarts from are dropped first, so steps never
repeat, and a file written for another system is refused.

OpenMM is an optional dependency (``pip install rux[openmm]``); this module
imports it.
"""

from __future__ import annotations

import logging
import os
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

try:
    import openmm
    from openmm import unit as _unit
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError('rux.openmm needs OpenMM: pip install "rux[openmm]"') from error

from ..trajectory import Trajectory
from ..trajectory import open as open_trajectory
from . import schema

__all__ = ["RUXReporter", "topology_chunks"]

APPLICATION = "OpenMM"

logger = logging.getLogger(__name__)

# OpenMM's own unit of each quantity stored: the openmm.unit that plain
# values are taken in, and its name for schema.factor. State and System give
# values in these units, so a State's arrays are read without unit objects.
_OPENMM_UNITS: Dict[str, Tuple[Any, str]] = {
    "length": (_unit.nanometer, "nm"),
    "time": (_unit.picosecond, "ps"),
    "velocity": (_unit.nanometer / _unit.picosecond, "nm/ps"),
    "force": (_unit.kilojoule_per_mole / _unit.nanometer, "kJ/(mol*nm)"),
    "energy": (_unit.kilojoule_per_mole, "kJ/mol"),
    "mass": (_unit.dalton, "amu"),
    "charge": (_unit.elementary_charge, "e"),
    "temperature": (_unit.kelvin, "K"),
}
# What a plain value in OpenMM's unit is multiplied by to be in the schema's.
_TO_SCHEMA = {q: 1.0 / schema.factor(q, name) for q, (_, name) in _OPENMM_UNITS.items()}


def _held(value: Any, quantity: str) -> Any:
    """What an openmm Quantity holds, in OpenMM's unit of `quantity`."""
    unit = _OPENMM_UNITS[quantity][0]
    # State gives its values in OpenMM's units: the conversion call, which
    # costs several times the lookup, is skipped when the unit is that one.
    return value._value if value.unit is unit else value.value_in_unit(unit)


def _plain(value: Any, quantity: str) -> float:
    """A scalar openmm Quantity as a float in the schema's unit."""
    return float(_held(value, quantity)) * _TO_SCHEMA[quantity]


# The per-atom vectors a report can hold: (schema name, State enum, unit).
_VECTORS = {
    "positions": (schema.POSITIONS, openmm.State.Positions, "length"),
    "velocities": (schema.VELOCITIES, openmm.State.Velocities, "velocity"),
    "forces": (schema.FORCES, openmm.State.Forces, "force"),
}
_PUBLIC_GETTERS = {"positions": "getPositions", "velocities": "getVelocities", "forces": "getForces"}


def _integers(texts: List[str]) -> Optional[np.ndarray]:
    """OpenMM's ids (str) as int64, or None when one of them is not an integer."""
    try:
        return np.array([int(text) for text in texts], dtype=np.int64)
    except (TypeError, ValueError):
        return None


def topology_chunks(topology: Any, system: Any) -> Dict[str, np.ndarray]:
    """The schema's topology names for an OpenMM Topology and its System.

    Masses come from the System (what the simulation integrates, also for
    atoms without an element), charges from its first NonbondedForce when it
    has one. Residue and atom ids are stored when every one is an integer.
    """
    atoms = list(topology.atoms())
    count = len(atoms)
    if system.getNumParticles() != count:
        raise ValueError(
            f"the System has {system.getNumParticles()} particles but the Topology {count} atoms"
        )
    residues = [atom.residue for atom in atoms]
    chunks: Dict[str, np.ndarray] = {
        schema.NAMES: schema.per_atom_text([atom.name for atom in atoms]),
        schema.ELEMENTS: schema.per_atom_text(
            ["" if atom.element is None else atom.element.symbol for atom in atoms]
        ),
        schema.MASSES: np.array(
            [_plain(system.getParticleMass(i), "mass") for i in range(count)], dtype=np.float64
        ),
        schema.RESNAMES: schema.per_atom_text([residue.name for residue in residues]),
        schema.RESINDICES: np.array([residue.index for residue in residues], dtype=np.int64),
        schema.CHAINIDS: schema.per_atom_text([residue.chain.id for residue in residues]),
    }
    resids = _integers([residue.id for residue in residues])
    if resids is not None:
        chunks[schema.RESIDS] = resids
    ids = _integers([atom.id for atom in atoms])
    if ids is not None:
        chunks[schema.IDS] = ids
    for force in system.getForces():
        if isinstance(force, openmm.NonbondedForce):
            chunks[schema.CHARGES] = np.array(
                [_plain(force.getParticleParameters(i)[0], "charge") for i in range(count)],
                dtype=np.float64,
            )
            break
    bonds = [(bond[0].index, bond[1].index) for bond in topology.bonds()]
    if bonds:
        chunks[schema.BONDS] = np.array(bonds, dtype=np.int64)
    return chunks


def _degrees_of_freedom(system: Any) -> int:
    """As OpenMM's StateDataReporter counts them, for the temperature."""
    moving = [_plain(system.getParticleMass(i), "mass") > 0 for i in range(system.getNumParticles())]
    dof = 3 * sum(moving)
    for i in range(system.getNumConstraints()):
        first, second, _ = system.getConstraintParameters(i)
        if moving[first] or moving[second]:
            dof -= 1
    if any(type(force) is openmm.CMMotionRemover for force in system.getForces()):
        dof -= 3
    return dof


def _first_difference(stored: np.ndarray, mine: np.ndarray) -> str:
    if stored.shape != mine.shape:
        return f"shape {stored.shape} in the file, {mine.shape} in the simulation"
    where = np.argwhere(stored != mine)[0]
    index = tuple(int(i) for i in where)
    at = index[0] if len(index) == 1 else index
    return f"first at {at}: {stored[index].item()!r} in the file, {mine[index].item()!r} in the simulation"


class RUXReporter:
    """Writes frames of a Simulation to a rux file, every `reportInterval` steps.

    Each frame holds positions, time (ps) and step, and the box when it
    changed; on request velocities, forces and the observables
    potential_energy, kinetic_energy, total_energy and temperature (the
    temperature as StateDataReporter computes it). Positions, velocities and
    forces are float32 (as DCD and XTC store positions) unless `dtype` is
    numpy.float64.

    `enforcePeriodicBox` is DCDReporter's: None wraps molecules into the box
    when the System is periodic. `publish_every` (seconds) flushes frames for
    live readers at most that often; None flushes only when the write buffer
    fills and at ``close()``. `append` continues an existing file (and
    creates it if there is none), see ``rux.openmm``.
    """

    def __init__(
        self,
        file: "os.PathLike[str] | str",
        reportInterval: int,
        *,
        velocities: bool = False,
        forces: bool = False,
        potentialEnergy: bool = False,
        kineticEnergy: bool = False,
        totalEnergy: bool = False,
        temperature: bool = False,
        append: bool = False,
        enforcePeriodicBox: Optional[bool] = None,
        publish_every: Optional[float] = None,
        dtype: Any = np.float32,
    ) -> None:
        if int(reportInterval) < 1:
            raise ValueError(f"reportInterval must be at least 1, not {reportInterval}")
        self._interval = int(reportInterval)
        self._dtype = np.dtype(dtype)
        if self._dtype not in (np.dtype(np.float32), np.dtype(np.float64)):
            raise ValueError(f"dtype must be float32 or float64, not {self._dtype}")
        wanted = (("velocities", velocities), ("forces", forces))
        self._vectors = ["positions"] + [kind for kind, on in wanted if on]
        energies = (
            (schema.POTENTIAL_ENERGY, potentialEnergy),
            (schema.KINETIC_ENERGY, kineticEnergy),
            (schema.TOTAL_ENERGY, totalEnergy),
        )
        self._energies = [name for name, on in energies if on]
        self._temperature = bool(temperature)
        self._include = list(self._vectors)
        if self._energies or self._temperature:
            self._include.append("energy")
        self._enforce = enforcePeriodicBox
        self._append = bool(append)
        self._path = os.fspath(file)
        self._restart_step: Optional[int] = None
        self._begun = False
        self._box: Any = None
        self._periodic = True
        self._dof = 0
        self._count = 0
        self._buffers: Dict[str, Tuple[np.ndarray, np.ndarray]] = {}
        if self._append and os.path.exists(self._path):
            self._traj: Optional[Trajectory] = open_trajectory(
                self._path, "r+", schema=schema.SCHEMA, publish_every=publish_every
            )
            schema.require_md(self._traj)
        else:
            self._traj = schema.create(self._path, APPLICATION, "w", publish_every=publish_every)

    # -- OpenMM's reporter protocol -----------------------------------------

    def describeNextReport(self, simulation: Any) -> Dict[str, Any]:
        if self._restart_step is None:
            self._restart_step = simulation.currentStep
        steps = self._interval - simulation.currentStep % self._interval
        return {"steps": steps, "periodic": self._enforce, "include": self._include}

    def report(self, simulation: Any, state: Any) -> None:
        traj = self._traj
        if traj is None:
            raise ValueError(f"the reporter of {self._path} is closed")
        chunks: Dict[str, Any] = {}
        if not self._begun:
            chunks.update(self._begin(simulation))
        for kind in self._vectors:
            chunks[_VECTORS[kind][0]] = self._vector(state, kind)
        if self._periodic:
            box = _held(state.getPeriodicBoxVectors(), "length")  # three Vec3
            if box != self._box:
                self._box = box
                chunks[schema.BOX] = np.array(box, dtype=np.float64) * _TO_SCHEMA["length"]
        chunks[schema.TIME] = _plain(state.getTime(), "time")
        chunks[schema.STEP] = np.int64(simulation.currentStep)
        if self._energies or self._temperature:
            chunks.update(self._observables(simulation, state))
        traj.append(chunks)

    # -- the rest of the reporter -------------------------------------------

    @property
    def trajectory(self) -> Optional[Trajectory]:
        """The ``rux.Trajectory`` written to (None once closed)."""
        return self._traj

    def flush(self) -> None:
        """Make every reported frame durable and visible to readers."""
        if self._traj is not None:
            self._traj.flush()

    def close(self) -> None:
        """Flush and close the file; later reports raise."""
        traj, self._traj = self._traj, None
        if traj is not None:
            traj.close()

    def __enter__(self) -> "RUXReporter":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass  # nothing to report to at collection; close() raises when called

    # -- inside a report -----------------------------------------------------

    def _vector(self, state: Any, kind: str) -> np.ndarray:
        """A State's per-atom vectors as the schema stores them, without unit objects."""
        _, which, quantity = _VECTORS[kind]
        buffers = self._buffers.get(kind)
        if buffers is None:
            count = self._count
            buffers = (np.empty((count, 3), np.float64), np.empty((count, 3), self._dtype))
            self._buffers[kind] = buffers
        wide, stored = buffers
        fill = getattr(state, "_getVectorAsNumpy", None)
        if fill is not None:
            fill(which, wide)
        else:
            values = getattr(state, _PUBLIC_GETTERS[kind])(asNumpy=True)
            wide[...] = values.value_in_unit(_OPENMM_UNITS[quantity][0])
        scale = _TO_SCHEMA[quantity]
        if scale != 1.0:
            wide *= scale
        if stored.dtype == wide.dtype:
            return wide
        np.copyto(stored, wide, casting="same_kind")
        return stored

    def _observables(self, simulation: Any, state: Any) -> Dict[str, float]:
        values: Dict[str, float] = {}
        for name in self._energies:
            if name == schema.POTENTIAL_ENERGY:
                energy = state.getPotentialEnergy()
            elif name == schema.KINETIC_ENERGY:
                energy = state.getKineticEnergy()
            else:
                energy = state.getPotentialEnergy() + state.getKineticEnergy()
            values[name] = _plain(energy, "energy")
        if self._temperature:
            integrator = simulation.context.getIntegrator()
            if hasattr(integrator, "computeSystemTemperature"):
                values[schema.TEMPERATURE] = _plain(integrator.computeSystemTemperature(), "temperature")
            else:
                temperature = 2 * state.getKineticEnergy() / (self._dof * _unit.MOLAR_GAS_CONSTANT_R)
                values[schema.TEMPERATURE] = _plain(temperature, "temperature")
        return values

    def _begin(self, simulation: Any) -> Dict[str, Any]:
        """The first report: the topology, and on append the file's continuation.

        Returns the chunks the first frame adds (the topology, unless the file
        already holds it).
        """
        system = simulation.system
        self._periodic = bool(system.usesPeriodicBoundaryConditions())
        self._count = system.getNumParticles()
        if self._temperature:
            self._dof = _degrees_of_freedom(system)
        topology = topology_chunks(simulation.topology, system)
        traj = self._traj
        assert traj is not None
        first: Dict[str, Any] = {}
        if len(traj):
            self._continue(traj, topology, simulation.currentStep)
        if not len(traj):
            if "units" not in traj.attrs:
                traj.attrs["units"] = schema.UNITS
            first.update(topology)
            if not self._periodic:
                first[schema.BOX] = schema.no_box()
        self._begun = True
        return first

    def _continue(self, traj: Trajectory, topology: Dict[str, np.ndarray], step_now: int) -> None:
        """Check that the file is this system's and drop frames a restart replaces."""
        frame = traj[0]
        if schema.POSITIONS not in frame:
            raise ValueError(f"{traj.path} can't be appended to: its first frame has no positions")
        stored_positions = np.asarray(frame[schema.POSITIONS])
        count = len(topology[schema.NAMES])
        if stored_positions.shape[0] != count:
            raise ValueError(
                f"{traj.path} holds {stored_positions.shape[0]} atoms but the simulation has "
                f"{count}: append only to a file of the same system"
            )
        for name, mine in topology.items():
            if name not in frame:
                continue
            stored = np.asarray(frame[name])
            if stored.shape != mine.shape or not np.array_equal(stored, mine):
                raise ValueError(
                    f"{traj.path} was written for another system: its {name} differ "
                    f"({_first_difference(stored, mine)}); append only to a file of the same system"
                )
        if schema.STEP not in traj:
            raise ValueError(f"{traj.path} has no {schema.STEP}: can't tell which frames a restart replaces")
        # Frames past the step the run restarts from belong to the run that was
        # abandoned; one at or past the first step reported now would repeat it.
        restart = step_now if self._restart_step is None else min(self._restart_step, step_now)
        steps = np.asarray(traj.series(schema.STEP))
        stale = (steps > restart) | (steps >= step_now)
        keep = int(np.argmax(stale)) if stale.any() else len(steps)
        if keep < len(steps):
            logger.warning(
                "%s: dropping %d frames (steps %d to %d) past step %d, where the simulation restarts",
                traj.path, len(steps) - keep, int(steps[keep]), int(steps[-1]), restart,
            )
            traj.truncate(keep)
        # Continue in the file's precision, so that its series keep one dtype.
        self._dtype = stored_positions.dtype
