"""The MD schema: the one home of its names, shapes, element types and units.

Every adapter (MDAnalysis, OpenMM, ASE, MDTraj, extended XYZ) maps its tool's
objects to these names and converts units through :func:`factor`; none
invents a name, a unit or a layout of its own. ``docs/md_schema.md`` is the
same schema in prose.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Optional, Sequence, Tuple

import numpy as np

SCHEMA = "rux-md"
VERSION = (1, 0)

# -- per-frame names -----------------------------------------------------------
POSITIONS = "positions"
VELOCITIES = "velocities"
FORCES = "forces"
BOX = "box"
PBC = "pbc"
TIME = "time"
STEP = "step"
OBSERVABLES = "observables/"

POTENTIAL_ENERGY = OBSERVABLES + "potential_energy"
FREE_ENERGY = OBSERVABLES + "free_energy"
KINETIC_ENERGY = OBSERVABLES + "kinetic_energy"
TOTAL_ENERGY = OBSERVABLES + "total_energy"
TEMPERATURE = OBSERVABLES + "temperature"
PRESSURE = OBSERVABLES + "pressure"
VOLUME = OBSERVABLES + "volume"
STRESS = OBSERVABLES + "stress"
DIPOLE = OBSERVABLES + "dipole"

# -- topology, written once in the first frame -------------------------------
ATOMS = "atoms/"
NAMES = ATOMS + "names"
TYPES = ATOMS + "types"
ELEMENTS = ATOMS + "elements"
MASSES = ATOMS + "masses"
CHARGES = ATOMS + "charges"
IDS = ATOMS + "ids"
RESNAMES = ATOMS + "resnames"
RESIDS = ATOMS + "resids"
RESINDICES = ATOMS + "resindices"
SEGIDS = ATOMS + "segids"
CHAINIDS = ATOMS + "chainids"
BONDS = "bonds"

# -- tool extras: per-atom arrays and per-frame values without a schema name --
ARRAYS = "arrays/"
INFO = "info/"
# A text value under info/ that begins with this holds JSON after it: the
# values that are neither arrays, scalars nor plain ASCII text (dicts, lists,
# None, non-ASCII text). Text that itself begins with it is stored as JSON too,
# so the prefix never misleads.
JSON_PREFIX = "_JSON "

# The schema's one system of units, as GROMACS, OpenMM and H5MD use it.
UNITS: Dict[str, str] = {
    "length": "nm",
    "time": "ps",
    "velocity": "nm/ps",
    "force": "kJ/(mol*nm)",
    "energy": "kJ/mol",
    "mass": "amu",
    "charge": "e",
    "temperature": "K",
    "pressure": "bar",
    "volume": "nm^3",
    "dipole": "e*nm",
    "polarization": "e/nm^2",
    "magnetic_moment": "mu_B",
}

# What one schema unit is in other units of the same quantity: a value in the
# schema's unit times factor(quantity, unit) is the value in `unit`.
_AVOGADRO = 6.02214076e23
_ELEMENTARY_CHARGE = 1.602176634e-19
_ATOMIC_MASS_UNIT_KG = 1.66053906660e-27  # CODATA 2018
_EV_IN_KJ_PER_MOL = _ELEMENTARY_CHARGE * _AVOGADRO / 1000.0
_BAR_IN_EV_PER_A3 = 1e5 * 1e-30 / _ELEMENTARY_CHARGE
_LENGTH = {"nm": 1.0, "Angstrom": 10.0, "A": 10.0, "Å": 10.0, "pm": 1000.0}
# ASE's unit of time follows from its Å, eV and amu: Å sqrt(amu/eV), about 10.18 fs.
_ASE_TIME_IN_PS = 1e-10 * (_ATOMIC_MASS_UNIT_KG / _ELEMENTARY_CHARGE) ** 0.5 * 1e12
_TIME = {"ps": 1.0, "fs": 1000.0, "ns": 1e-3, "A*sqrt(amu/eV)": 1.0 / _ASE_TIME_IN_PS}
_ENERGY = {"kJ/mol": 1.0, "kcal/mol": 1.0 / 4.184, "eV": 1.0 / _EV_IN_KJ_PER_MOL}
_FACTORS: Dict[str, Dict[str, float]] = {
    "length": _LENGTH,
    "time": _TIME,
    "velocity": {f"{l}/{t}": fl / ft for l, fl in _LENGTH.items() for t, ft in _TIME.items()},
    "force": {f"{e}/{l}": fe / fl for e, fe in _ENERGY.items() for l, fl in _LENGTH.items()},
    "energy": _ENERGY,
    "mass": {"amu": 1.0, "u": 1.0, "Da": 1.0, "g/mol": 1.0},
    "charge": {"e": 1.0},
    "temperature": {"K": 1.0},
    "pressure": {"bar": 1.0, "atm": 1.0 / 1.01325, "Pa": 1e5, "eV/A^3": _BAR_IN_EV_PER_A3},
    "volume": {"nm^3": 1.0, "A^3": 1000.0},
    "dipole": {"e*nm": 1.0, "e*A": 10.0},
    "polarization": {"e/nm^2": 1.0, "e/A^2": 0.01},
    "magnetic_moment": {"mu_B": 1.0},
}
_FACTORS["force"]["kJ/(mol*nm)"] = 1.0
_FACTORS["force"]["kJ/(mol*A)"] = 0.1
# ASE's unit of velocity, Å per its unit of time.
_FACTORS["velocity"]["sqrt(eV/amu)"] = _LENGTH["A"] / _TIME["A*sqrt(amu/eV)"]


def factor(quantity: str, unit: str) -> float:
    """The number that turns a value in the schema's unit of `quantity` into `unit`."""
    try:
        return _FACTORS[quantity][unit]
    except KeyError:
        raise ValueError(f"no conversion of {quantity} from {UNITS.get(quantity)} to {unit!r}") from None


# -- the names, with their element kinds and shapes ------------------------------

# Element kinds: "f" floating point, "i" integer (signed or unsigned), "U"
# per-atom text (a numpy string array), "b" booleans.
@dataclass(frozen=True)
class Name:
    name: str
    kinds: str
    shape: Tuple[Any, ...]  # "N" atoms, "B" bonds, ints fixed; () a scalar
    unit: Optional[str]  # a key of UNITS, or None for a pure number
    topology: bool  # written once, in the first frame


FRAME_NAMES = (
    Name(POSITIONS, "f", ("N", 3), "length", False),
    Name(VELOCITIES, "f", ("N", 3), "velocity", False),
    Name(FORCES, "f", ("N", 3), "force", False),
    Name(BOX, "f", (3, 3), "length", False),
    Name(PBC, "b", (3,), None, False),
    Name(TIME, "f", (), "time", False),
    Name(STEP, "i", (), None, False),
    Name(POTENTIAL_ENERGY, "f", (), "energy", False),
    Name(FREE_ENERGY, "f", (), "energy", False),
    Name(KINETIC_ENERGY, "f", (), "energy", False),
    Name(TOTAL_ENERGY, "f", (), "energy", False),
    Name(TEMPERATURE, "f", (), "temperature", False),
    Name(PRESSURE, "f", (), "pressure", False),
    Name(VOLUME, "f", (), "volume", False),
    Name(STRESS, "f", (3, 3), "pressure", False),
    Name(DIPOLE, "f", (3,), "dipole", False),
)
TOPOLOGY_NAMES = (
    Name(NAMES, "U", ("N",), None, True),
    Name(TYPES, "U", ("N",), None, True),
    Name(ELEMENTS, "U", ("N",), None, True),
    Name(MASSES, "f", ("N",), "mass", True),
    Name(CHARGES, "f", ("N",), "charge", True),
    Name(IDS, "i", ("N",), None, True),
    Name(RESNAMES, "U", ("N",), None, True),
    Name(RESIDS, "i", ("N",), None, True),
    Name(RESINDICES, "i", ("N",), None, True),
    Name(SEGIDS, "U", ("N",), None, True),
    Name(CHAINIDS, "U", ("N",), None, True),
    Name(BONDS, "i", ("B", 2), None, True),
)
KNOWN: Dict[str, Name] = {n.name: n for n in FRAME_NAMES + TOPOLOGY_NAMES}


def no_box() -> np.ndarray:
    """The box of a system that is not periodic: all zeros."""
    return np.zeros((3, 3), dtype=np.float64)


def is_periodic(box: Optional[np.ndarray]) -> bool:
    """Whether a stored box describes a periodic cell (no box and all zeros do not)."""
    return box is not None and bool(np.any(np.asarray(box) != 0))


def is_md_file(schema: str, version: Sequence[int]) -> bool:
    """Whether header fields name this schema in a major version this code reads."""
    return schema == SCHEMA and int(version[0]) == VERSION[0]


def require_md(traj: Any) -> None:
    """Refuse, with a clear error, a trajectory that is not in this schema."""
    file = traj.file
    if file.schema != SCHEMA:
        raise ValueError(
            f"{traj.path} is not an MD trajectory: its schema is {file.schema!r}, not {SCHEMA!r}"
        )
    major, minor = file.schema_version
    if major != VERSION[0]:
        raise ValueError(
            f"{traj.path} uses {SCHEMA} {major}.{minor}; this rux reads {SCHEMA} {VERSION[0]}.x"
        )


def create(path: Any, application: str, mode: str = "w", **options: Any) -> Any:
    """A new trajectory in this schema (a ``rux.Trajectory``), its units recorded."""
    from ..trajectory import open as open_trajectory

    traj = open_trajectory(path, mode, application, SCHEMA, VERSION, **options)
    traj.attrs["units"] = UNITS
    return traj


def per_atom_text(values: Any) -> np.ndarray:
    """Per-atom text as the schema stores it: a numpy str array of shape (N,)."""
    array = np.asarray(values)
    if array.dtype.kind == "U":
        return array.reshape(-1)
    return np.array([str(v) for v in array.reshape(-1)], dtype=str) if array.size else np.zeros(0, "U1")
