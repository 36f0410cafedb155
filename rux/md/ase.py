"""ASE on the MD schema: ``ase.Atoms`` frames to and from rux files.

``TrajectoryWriter`` (``dyn.attach(writer.write, interval=k)``), ``write_rux``
and ``ase.io.write("run.rux", images)`` store each ``ase.Atoms`` as one frame
of the MD schema (docs/md_schema.md); ``TrajectoryReader``, ``read_rux`` and
``ase.io.read("run.rux", index)`` give ``ase.Atoms`` back from a file that any
tool wrote in the schema, and from files of the earlier "ase-atoms"
convention of ``rux convert`` (``rux.md.ase_legacy``), read as before.
ASE finds this module through the entry point ``rux`` of the group
``ase.ioformats``: by the extension ``.rux`` or the file's magic bytes.

ASE's units (Å, eV, amu, e and ASE's time, Å sqrt(amu/eV)) become the
schema's through ``rux.md.schema.factor``, here and nowhere else. Values come
back to float64 rounding, within an ulp or a few: even the division by 10
that makes nanometres of Å loses the last bit of some positions. docs/md.md
("ASE") has the full mapping; in short:

* every frame: ``positions``, and ``velocities`` (from the momenta) when the
  atoms have momenta;
* by the once-written rule (in the first frame, again only where they
  change): ``atoms/elements``, ``atoms/masses`` (where they differ from
  ASE's), ``atoms/charges`` (the initial charges, unless all zero), ``box``
  and ``pbc``;
* in each frame that has them: calculator results (``forces``,
  ``observables/...``), ``arrays/<key>`` (other per-atom arrays, ``tags``
  among them; ``arrays/move_mask`` for FixAtoms and FixCartesian) and
  ``info/<key>``. ASE ties these to one configuration, so a frame that does
  not hold them reads back without them, never with an earlier frame's.
"""

from __future__ import annotations

import copy
import json
import os
import types
import warnings
from typing import (
    Any,
    Callable,
    Dict,
    Iterable,
    Iterator,
    List,
    NamedTuple,
    Optional,
    Sequence,
    Set,
    Tuple,
    Union,
)

import numpy as np

try:
    from ase import Atoms
    from ase.calculators.calculator import BaseCalculator, Calculator, compare_atoms
    from ase.calculators.singlepoint import SinglePointCalculator
    from ase.constraints import FixAtoms, FixCartesian
    from ase.data import atomic_masses, atomic_numbers, chemical_symbols
    from ase.parallel import world
    from ase.utils.plugins import ExternalIOFormat
except ImportError as error:  # pragma: no cover - only without ASE
    raise ImportError("rux.md.ase needs ASE: pip install rux[ase]") from error

from .. import _format
from ..trajectory import Trajectory as RuxTrajectory
from ..trajectory import open as open_trajectory
from . import ase_legacy, schema
from .ase_legacy import ConversionError

__all__ = [
    "Trajectory",
    "TrajectoryWriter",
    "TrajectoryReader",
    "read_rux",
    "atoms_from_frame",
    "write_rux",
    "ase_io_format",
    "ConversionError",
]

APPLICATION = "ASE"

# ASE's units in the schema's: a value in the schema's unit times the factor
# is the value in ASE's unit.
_LENGTH = schema.factor("length", "A")
_VELOCITY = schema.factor("velocity", "sqrt(eV/amu)")
_ENERGY = schema.factor("energy", "eV")
_FORCE = schema.factor("force", "eV/A")
_PRESSURE = schema.factor("pressure", "eV/A^3")
_MASS = schema.factor("mass", "amu")
_CHARGE = schema.factor("charge", "e")
_DIPOLE = schema.factor("dipole", "e*A")
_POLARIZATION = schema.factor("polarization", "e/A^2")
_MAGNETIC_MOMENT = schema.factor("magnetic_moment", "mu_B")

# Every result a SinglePointCalculator holds: (schema name, factor, layout).
# Layouts: "voigt" is ASE's Voigt 6-vector stored as the schema's 3 x 3
# matrix; "voigt-atoms" (N, 6) and "tensor-atoms" (N, 3, 3) are stored as
# (N, 9), each row a 3 x 3 matrix row by row.
_RESULTS: Dict[str, Tuple[str, float, str]] = {
    "energy": (schema.POTENTIAL_ENERGY, _ENERGY, ""),
    "free_energy": (schema.FREE_ENERGY, _ENERGY, ""),
    "energies": (schema.OBSERVABLES + "energies", _ENERGY, ""),
    "forces": (schema.FORCES, _FORCE, ""),
    "stress": (schema.STRESS, _PRESSURE, "voigt"),
    "stresses": (schema.OBSERVABLES + "stresses", _PRESSURE, "voigt-atoms"),
    "charges": (schema.OBSERVABLES + "charges", _CHARGE, ""),
    "dipole": (schema.DIPOLE, _DIPOLE, ""),
    "magmom": (schema.OBSERVABLES + "magmom", _MAGNETIC_MOMENT, ""),
    "magmoms": (schema.OBSERVABLES + "magmoms", _MAGNETIC_MOMENT, ""),
    "polarization": (schema.OBSERVABLES + "polarization", _POLARIZATION, ""),
    "dielectric_tensor": (schema.OBSERVABLES + "dielectric_tensor", 1.0, ""),
    "born_effective_charges": (
        schema.OBSERVABLES + "born_effective_charges",
        _CHARGE,
        "tensor-atoms",
    ),
}
_RESULT_OF = {name: key for key, (name, _, _) in _RESULTS.items()}
_SCALAR_RESULTS = {"energy", "free_energy", "magmom"}

# Atoms.arrays that have a schema name of their own (or are not stored).
_MAPPED_ARRAYS = {"positions", "numbers", "momenta", "masses", "initial_charges"}
MOVE_MASK = ase_legacy.MOVE_MASK
_RULE_NAMES = (schema.ELEMENTS, schema.MASSES, schema.CHARGES, schema.BOX, schema.PBC)

_SYMBOLS = np.array(chemical_symbols)
_MASS_TABLE = np.asarray(atomic_masses, dtype=np.float64)

# Frames read with one series read per name: enough to amortise the reads,
# few enough to keep a block near _BLOCK_BYTES.
_BLOCK_FRAMES = 1024
_BLOCK_BYTES = 32 << 20

ImageIndex = Union[int, slice, None]


# -- Atoms -> frame --------------------------------------------------------------


def _array_chunk(value: Any) -> Optional[np.ndarray]:
    """A per-atom array as arrays/ stores it (float64, int64, bool or text), or None."""
    array = np.asarray(value)
    kind = array.dtype.kind
    if kind == "O":
        if array.ndim != 1 or not all(isinstance(item, str) for item in array):
            return None
        return array.astype(str)
    if kind in "US":
        return array if array.ndim == 1 else None
    if array.ndim == 0 or array.ndim > 2:
        return None
    return _numeric(array)


def _numeric(array: np.ndarray) -> Optional[np.ndarray]:
    """Floats as float64, integers as int64, booleans as bool; None for other kinds."""
    kind = array.dtype.kind
    if kind == "b":
        return array.astype(bool)
    if kind in "iu":
        return array.astype(np.int64)
    if kind == "f":
        return array.astype(np.float64)
    return None


_SKIP = object()


def _info_chunk(value: Any) -> Any:
    """One Atoms.info value as info/ stores it, or _SKIP when nothing fits."""
    prefix = schema.JSON_PREFIX
    if isinstance(value, str):
        if value.isascii() and not value.startswith(prefix):
            return value
        return prefix + json.dumps(value)
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    try:
        if isinstance(value, (int, np.integer)):
            return np.int64(value)
    except OverflowError:
        pass
    if isinstance(value, (float, np.floating)):
        return np.float64(value)
    if isinstance(value, np.ndarray):
        data = _numeric(value) if value.ndim <= 2 else None
        if data is not None:
            return data[()] if value.ndim == 0 else data
        value = value.tolist()
    try:
        return prefix + json.dumps(value)
    except (TypeError, ValueError):
        return _SKIP


def _info_value(data: Any) -> Any:
    """An info/ value as Atoms.info holds it."""
    if isinstance(data, str):
        if data.startswith(schema.JSON_PREFIX):
            return json.loads(data[len(schema.JSON_PREFIX) :])
        return data
    if isinstance(data, np.generic):
        return data.item()
    return data


def _result_chunk(key: str, value: Any) -> Tuple[str, Any]:
    """(schema name, data) of one calculator result."""
    name, unit, layout = _RESULTS[key]
    if key in _SCALAR_RESULTS:
        return name, float(value) / unit
    data = np.asarray(value, dtype=np.float64)
    if layout == "voigt" and data.shape == (6,):
        data = _full(data)
    elif layout == "voigt-atoms" and data.ndim == 2 and data.shape[1] == 6:
        data = _full(data).reshape(-1, 9)
    elif layout in ("voigt-atoms", "tensor-atoms") and data.ndim == 3:
        data = data.reshape(len(data), -1)
    return name, data / unit


# ASE's Voigt order xx, yy, zz, yz, xz, xy, as positions in a 3 x 3 matrix.
_VOIGT_TO_FULL = np.array([[0, 5, 4], [5, 1, 3], [4, 3, 2]])


def _full(voigt: np.ndarray) -> np.ndarray:
    """Voigt 6-vectors (..., 6) as symmetric matrices (..., 3, 3)."""
    return voigt[..., _VOIGT_TO_FULL]


def _voigt(full: np.ndarray) -> np.ndarray:
    """Matrices (..., 3, 3) as Voigt 6-vectors (..., 6), the off-diagonal pairs averaged, as ASE does."""
    return np.stack(
        [
            full[..., 0, 0],
            full[..., 1, 1],
            full[..., 2, 2],
            (full[..., 1, 2] + full[..., 2, 1]) / 2,
            (full[..., 0, 2] + full[..., 2, 0]) / 2,
            (full[..., 0, 1] + full[..., 1, 0]) / 2,
        ],
        axis=-1,
    )


def _in_ase_units(name: str, values: Any, owned: bool = False) -> Any:
    """Stored velocities or results of one frame, or of a block of frames, in ASE's units and layouts.

    With `owned`, the values are an array of the caller's own, converted in
    place: a block's arrays are large, and a new one costs a page fault per
    page on top of the multiplication.
    """
    if isinstance(values, list):
        return [_in_ase_units(name, value) for value in values]
    unit = _VELOCITY if name == schema.VELOCITIES else _RESULTS[_RESULT_OF[name]][1]
    layout = "" if name == schema.VELOCITIES else _RESULTS[_RESULT_OF[name]][2]
    data = _scaled(values, unit, owned)
    if layout == "voigt" and data.shape[-2:] == (3, 3):
        return _voigt(data)
    if layout in ("voigt-atoms", "tensor-atoms") and data.ndim >= 2 and data.shape[-1] == 9:
        data = data.reshape(data.shape[:-1] + (3, 3))
        return _voigt(data) if layout == "voigt-atoms" else data
    return data


def _scaled(values: Any, unit: float, owned: bool) -> np.ndarray:
    """float64 values times `unit`; in place where the values are the caller's float64 array."""
    if owned and isinstance(values, np.ndarray) and values.dtype == np.float64:
        values *= unit
        return values
    return np.asarray(values, dtype=np.float64) * unit


def _equal(a: np.ndarray, b: np.ndarray) -> bool:
    """Whether two arrays hold the same values, compared as bytes where the types agree.

    A change check made several times a frame: the bytes compare in one
    call, and a NaN that stays counts as unchanged.
    """
    if a.shape != b.shape:
        return False
    if a.dtype == b.dtype:
        return a.tobytes() == b.tobytes()
    return bool(np.array_equal(a, b))


def _custom_masses(stored: Optional[np.ndarray], numbers: np.ndarray) -> Optional[np.ndarray]:
    """Masses (ASE's unit) that differ from ASE's own for `numbers`; None where they do not."""
    if stored is None or len(stored) != len(numbers):
        return None
    masses = np.asarray(stored, dtype=np.float64) * _MASS
    return None if _equal(masses, _MASS_TABLE[numbers]) else masses


def _initial_charges(stored: Optional[np.ndarray], count: int) -> Optional[np.ndarray]:
    """Initial charges (e) unless there are none: absent, of another atom count or all zero."""
    if stored is None or len(stored) != count:
        return None
    charges = np.asarray(stored, dtype=np.float64) * _CHARGE
    return charges if charges.any() else None


def _same(a: Optional[np.ndarray], b: Optional[np.ndarray]) -> bool:
    if a is None or b is None:
        return a is b
    return _equal(a, b)


def _results_belong(calc: Any, atoms: Atoms) -> bool:
    """Whether the calculator's results were computed for these very atoms.

    What ``check_state`` establishes, at a fraction of its cost, which is paid
    every frame of a run.
    """
    reference = getattr(calc, "atoms", None)
    if not getattr(calc, "results", None) or reference is None:
        return False
    if len(reference) != len(atoms):
        return False
    if isinstance(calc, BaseCalculator) and not isinstance(calc, Calculator) and not calc.use_cache:
        return False  # such a calculator keeps no results across changes
    ignored = set(getattr(calc, "ignored_changes", ()))
    if not (
        _equal(reference.positions, atoms.positions)
        and _equal(reference.numbers, atoms.numbers)
        and ("cell" in ignored or _equal(reference.cell.array, atoms.cell.array))
        and ("pbc" in ignored or _equal(reference.pbc, atoms.pbc))
    ):
        return False
    for key in ("initial_charges", "initial_magmoms"):
        if key not in ignored and not _same(reference.arrays.get(key), atoms.arrays.get(key)):
            return False
    return True


class _Held:
    """What the file gives the next frame by the once-written rule, in ASE's terms."""

    def __init__(self) -> None:
        self.numbers: Optional[np.ndarray] = None
        self.masses: Optional[np.ndarray] = None  # as stored (amu), any atom count
        self.charges: Optional[np.ndarray] = None  # as stored (e), any atom count
        self.cell: Optional[np.ndarray] = None  # Å
        self.pbc: Optional[np.ndarray] = None
        self.defaults = np.zeros(0)  # ASE's masses of `numbers`

    def load(self, traj: RuxTrajectory) -> None:
        """Take the values of a file's last frame (a writer appending to it)."""
        last = traj[len(traj) - 1]
        if schema.ELEMENTS in last:
            self.numbers = _numbers_of(last[schema.ELEMENTS])
            self.defaults = _MASS_TABLE[self.numbers]
        if schema.MASSES in last:
            self.masses = np.asarray(last[schema.MASSES], dtype=np.float64)
        if schema.CHARGES in last:
            self.charges = np.asarray(last[schema.CHARGES], dtype=np.float64)
        if schema.BOX in last:
            self.cell = np.asarray(last[schema.BOX], dtype=np.float64) * _LENGTH
        if schema.PBC in last:
            self.pbc = np.asarray(last[schema.PBC], dtype=bool)


class TrajectoryWriter:
    """Writes ``ase.Atoms`` to a rux file in the MD schema, one frame per ``write``.

    As ``ase.io.Trajectory`` in mode "w" or "a": ``dyn.attach(writer.write,
    interval=k)`` records a run, ``write(atoms=None, **properties)`` writes
    the writer's own atoms when given none, and extra keyword arguments are
    calculator results (``energy=...``) stored with the frame. Mode "w"
    replaces the file, "x" refuses an existing one, "a" appends to a file in
    the schema. `properties` limits the results stored to those named,
    computing them where needed; by default the results the calculator has
    already computed for these positions are stored. With `master` (default:
    rank 0 of `comm`) False, the writer writes nothing.
    """

    def __init__(
        self,
        filename: Any,
        mode: str = "w",
        atoms: Optional[Atoms] = None,
        properties: Optional[Sequence[str]] = None,
        master: Optional[bool] = None,
        comm: Any = world,
        *,
        application: str = APPLICATION,
    ) -> None:
        if mode not in ("w", "x", "a"):
            raise ValueError(f'a TrajectoryWriter opens in mode "w", "x" or "a", not {mode!r}')
        unknown = [p for p in properties or () if p not in _RESULTS]
        if unknown:
            raise ValueError(f"no such calculator property: {', '.join(map(str, unknown))}")
        self.filename = os.fspath(filename)
        self.mode = mode
        self.atoms = atoms
        self.properties = None if properties is None else list(properties)
        self.master = comm.rank == 0 if master is None else bool(master)
        self.description: Dict[str, Any] = {}
        self._held = _Held()
        self._warned: Set[str] = set()
        self._traj: Optional[RuxTrajectory] = None
        if self.master:
            self._traj = schema.create(self.filename, application, mode)
            if len(self._traj):
                self._held.load(self._traj)

    # ASE's dynamics call these on the trajectory they are given.
    def set_description(self, description: Dict[str, Any]) -> None:
        """Kept for ASE's dynamics, which describe themselves; not stored."""
        self.description.update(description)

    def __len__(self) -> int:
        return len(self._traj) if self._traj is not None else 0

    def write(self, atoms: Optional[Atoms] = None, **properties: Any) -> None:
        """Write `atoms` (default: the writer's own) as one frame."""
        if atoms is None:
            atoms = self.atoms
        if atoms is None:
            raise ValueError("no atoms to write: give them to write() or to the writer")
        for key in properties:
            if key not in _RESULTS:
                raise ValueError(f"no such calculator property: {key}")
        if self._traj is None:
            return
        images = atoms.iterimages() if hasattr(atoms, "iterimages") else [atoms]
        for image in images:
            chunks, held = self._frame(image, properties)
            self._traj.append(chunks)
            self._held = held

    def close(self) -> None:
        if self._traj is not None:
            self._traj.close()

    def __enter__(self) -> "TrajectoryWriter":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # -- one frame ---------------------------------------------------------

    def _frame(self, atoms: Atoms, extra: Dict[str, Any]) -> Tuple[Dict[str, Any], _Held]:
        """The chunks of one frame, and what the file holds by the rule after it."""
        arrays = atoms.arrays
        numbers = arrays["numbers"]
        count = len(numbers)
        held, new = self._held, _Held()
        chunks: Dict[str, Any] = {schema.POSITIONS: arrays["positions"] / _LENGTH}

        new.__dict__.update(held.__dict__)
        if held.numbers is None or not _equal(held.numbers, numbers):
            chunks[schema.ELEMENTS] = _SYMBOLS[numbers]
            new.numbers = numbers.copy()
            new.defaults = _MASS_TABLE[numbers]
        defaults = new.defaults
        masses = arrays.get("masses")
        wanted = None if masses is None or _equal(masses, defaults) else masses
        if not _same(wanted, _custom_masses(held.masses, numbers)):
            new.masses = (defaults if wanted is None else wanted) / _MASS
            chunks[schema.MASSES] = new.masses
        charges = arrays.get("initial_charges")
        wanted = None if charges is None or not charges.any() else charges
        if not _same(wanted, _initial_charges(held.charges, count)):
            new.charges = np.zeros(count) if wanted is None else wanted / _CHARGE
            chunks[schema.CHARGES] = new.charges
        cell = atoms.cell.array
        if held.cell is None or not _equal(held.cell, cell):
            chunks[schema.BOX] = cell / _LENGTH
            new.cell = cell.copy()
        pbc = atoms.pbc
        if held.pbc is None or not _equal(held.pbc, pbc):
            chunks[schema.PBC] = pbc.copy()
            new.pbc = pbc.copy()

        momenta = arrays.get("momenta")
        if momenta is not None:
            weights = (defaults if masses is None else masses)[:, None] * _VELOCITY
            if weights.all():
                chunks[schema.VELOCITIES] = momenta / weights
            else:  # massless atoms keep a velocity of 0
                velocities = np.zeros(momenta.shape)
                np.divide(momenta, weights, out=velocities, where=weights != 0)
                chunks[schema.VELOCITIES] = velocities

        skipped: List[str] = []
        for key, value in arrays.items():
            if key in _MAPPED_ARRAYS:
                continue
            data = _array_chunk(value)
            if data is None:
                skipped.append(schema.ARRAYS + key)
            else:
                chunks[schema.ARRAYS + key] = data
        if atoms.constraints:
            mask = ase_legacy.move_mask(atoms)
            if mask is not None:
                chunks[schema.ARRAYS + MOVE_MASK] = mask
            skipped += [
                "constraint " + type(c).__name__
                for c in atoms.constraints
                if not isinstance(c, (FixAtoms, FixCartesian))
            ]
        for key, value in atoms.info.items():
            data = _info_chunk(value)
            if data is _SKIP:
                skipped.append(schema.INFO + str(key))
            else:
                chunks[schema.INFO + str(key)] = data
        for key, value in self._results(atoms, extra).items():
            if value is None:  # as ASE's calculators say "not computed"
                continue
            if key not in _RESULTS:
                skipped.append(key)
                continue
            name, data = _result_chunk(key, value)
            chunks[name] = data
        skipped = [name for name in skipped if name not in self._warned]
        if skipped:
            self._warned.update(skipped)
            warnings.warn("not stored (no chunk type fits): " + ", ".join(skipped), stacklevel=4)
        return chunks, new

    def _results(self, atoms: Atoms, extra: Dict[str, Any]) -> Dict[str, Any]:
        calc = atoms.calc
        results: Dict[str, Any] = {}
        if calc is not None:
            if self.properties is None:
                if _results_belong(calc, atoms):
                    results.update(calc.results)
            else:
                for key in self.properties:
                    results[key] = calc.get_property(key, atoms)
        results.update(extra)
        return results


def write_rux(filename: Any, images: Union[Atoms, Iterable[Atoms]], append: bool = False) -> None:
    """``ase.io.write`` for format "rux": every image as a frame, appended with `append`."""
    if isinstance(images, Atoms):
        images = [images]
    with TrajectoryWriter(filename, "a" if append else "w") as writer:
        for atoms in images:
            writer.write(atoms)


# -- frame -> Atoms ---------------------------------------------------------------


def _numbers_of(symbols: Any) -> np.ndarray:
    """Atomic numbers of element symbols; 0 (ASE's "X") for "" and for unknown ones."""
    symbols = np.asarray(symbols).reshape(-1)
    if not len(symbols):
        return np.zeros(0, dtype=np.int64)
    unique, inverse = np.unique(symbols, return_inverse=True)
    numbers = []
    unknown = []
    for symbol in unique.tolist():
        number = atomic_numbers.get(symbol, atomic_numbers.get(symbol.capitalize()))
        if number is None:
            number = 0
            if symbol and symbol != "X":
                unknown.append(symbol)
        numbers.append(number)
    if unknown:
        warnings.warn(f"unknown element symbols read as X: {', '.join(unknown)}", stacklevel=4)
    return np.asarray(numbers, dtype=np.int64)[inverse.reshape(-1)]


class TrajectoryReader:
    """The frames of a rux file as ``ase.Atoms``: ``len``, ``[i]``, ``[a:b]``, iteration.

    Files in the MD schema are read through series reads, a block of frames
    per read of each name; files of other schemas through the earlier
    "ase-atoms" convention (``rux.md.ase_legacy``), one frame at a time.
    """

    def __init__(self, filename: Any) -> None:
        self.filename = os.fspath(filename)
        self._traj = open_trajectory(self.filename, "r")
        try:
            file = self._traj.file
            self.schema_file = file.schema == schema.SCHEMA
            if self.schema_file:
                schema.require_md(self._traj)
        except BaseException:
            self._traj.close()
            raise
        names = self._traj.names
        self._per_frame = [name for name in names if _is_per_frame(name)]
        self._rule = [name for name in _RULE_NAMES if name in self._traj]
        self._written: Dict[str, np.ndarray] = {}
        self._stored: Dict[Tuple[str, int], Any] = {}
        self._systems: Dict[Tuple[int, ...], _System] = {}
        self._bound: Optional[int] = None

    def __len__(self) -> int:
        return len(self._traj)

    def __getitem__(self, index: Union[int, slice]) -> Any:
        if isinstance(index, slice):
            return list(self.iread(range(len(self))[index]))
        count = len(self)
        if not -count <= index < count:
            raise IndexError(f"frame {index} out of range for {count} frames")
        return next(self.iread([index % count]))

    def __iter__(self) -> Iterator[Atoms]:
        return self.iread(range(len(self)))

    def close(self) -> None:
        self._traj.close()

    def __enter__(self) -> "TrajectoryReader":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def iread(self, indices: Iterable[int]) -> Iterator[Atoms]:
        """Yield the Atoms of the frames `indices`, in blocks that grow to a bound."""
        chosen = np.asarray(list(indices) if not isinstance(indices, range) else indices)
        chosen = chosen.astype(np.int64).reshape(-1)
        if not self.schema_file:
            for index in chosen.tolist():
                yield ase_legacy.atoms_from_frame(self._traj[index])
            return
        start, size = 0, 1
        while start < len(chosen):
            block = chosen[start : start + size]
            start += len(block)
            yield from self._block(block)
            size = min(size * 8, self._block_bound())

    def _block_bound(self) -> int:
        if self._bound is None:
            frame = self._traj[0] if len(self._traj) else None
            atoms = 1
            if frame is not None and schema.POSITIONS in frame:
                atoms = max(1, np.shape(frame[schema.POSITIONS])[0])
            # Positions, velocities, forces and the copies made of them.
            self._bound = max(1, min(_BLOCK_FRAMES, _BLOCK_BYTES // (atoms * 3 * 8 * 4)))
        return self._bound

    # -- reading -------------------------------------------------------------

    def _written_in(self, name: str) -> np.ndarray:
        held = self._written.get(name)
        if held is None:
            held = self._written[name] = self._traj.written_in(name)
        return held

    def _block(self, block: np.ndarray) -> List[Atoms]:
        traj = self._traj
        missing = f"frame {int(block[0])} of {self.filename} has no chunk 'positions'"
        if schema.POSITIONS not in traj:
            raise ConversionError(missing)
        try:
            positions = traj[block].series(schema.POSITIONS)
        except ValueError:
            # Frames of different atom counts: one frame at a time.
            return [self._one(int(index)) for index in block]
        except KeyError:
            raise ConversionError(missing) from None
        # Conversions are made once per block (or per system), not per frame.
        positions = _scaled(positions, _LENGTH, owned=True)
        count = positions.shape[1]
        columns: Dict[str, Sequence[Any]] = {}
        for name in self._per_frame:
            held = np.isin(block, self._written_in(name))
            if not held.any():
                continue
            values = self._series(block[held], name)
            if name == schema.VELOCITIES or name in _RESULT_OF:
                values = _in_ase_units(name, values, owned=True)
            if held.all():
                columns[name] = values
                continue
            column: List[Any] = [None] * len(block)
            for k, value in zip(np.flatnonzero(held).tolist(), values):
                column[k] = value
            columns[name] = column
        keys = [
            (count,) + tuple(frame_sources)
            for frame_sources in np.stack(
                [self._sources(name, block) for name in _RULE_NAMES], axis=1
            ).tolist()
        ]
        systems = [self._system_of(key, int(index)) for key, index in zip(keys, block)]
        velocities = columns.get(schema.VELOCITIES)
        if isinstance(velocities, np.ndarray) and len(set(keys)) == 1:
            velocities *= systems[0].weights[None, :, None]
            columns[_MOMENTA] = velocities
            del columns[schema.VELOCITIES]
        atoms = []
        for k, system in enumerate(systems):
            own = {name: column[k] for name, column in columns.items() if column[k] is not None}
            atoms.append(_frame_atoms(system, positions[k], own))
        return atoms

    def _series(self, indices: np.ndarray, name: str) -> Any:
        try:
            return self._traj[indices].series(name)
        except ValueError:  # shapes that change between the frames
            return [self._traj[[int(i)]].series(name)[0] for i in indices]

    def _sources(self, name: str, block: np.ndarray) -> np.ndarray:
        """For each frame, the latest frame at or before it that holds `name`; -1 for none."""
        if name not in self._traj:
            return np.full(len(block), -1, dtype=np.int64)
        held = self._written_in(name)
        at = np.searchsorted(held, block, side="right") - 1
        return np.where(at >= 0, held[np.maximum(at, 0)], -1)

    def _system_of(self, key: Tuple[int, ...], index: int) -> "_System":
        system = self._systems.get(key)
        if system is None:
            stored = {}
            for name, source in zip(_RULE_NAMES, key[1:]):
                if source >= 0:
                    if (name, source) not in self._stored:
                        self._stored[name, source] = self._traj[[source]].series(name)[0]
                    stored[name] = self._stored[name, source]
            where = f"frame {index} of {self.filename}"
            system = self._systems[key] = _system(key[0], where, stored)
        return system

    def _one(self, index: int) -> Atoms:
        return atoms_from_frame(self._traj[index])


def _is_per_frame(name: str) -> bool:
    """Whether a name counts only in the frames that hold it (see the module's docstring)."""
    return (
        name == schema.VELOCITIES
        or name in _RESULT_OF
        or name.startswith(schema.ARRAYS)
        or name.startswith(schema.INFO)
    )


def atoms_from_frame(frame: Any) -> Atoms:
    """The ``ase.Atoms`` of one ``rux.Frame`` of a file in the MD schema."""
    where = f"frame {frame.index} of {frame.path}"
    if schema.POSITIONS not in frame:
        raise ConversionError(f"{where} has no chunk 'positions'")
    positions = np.asarray(frame[schema.POSITIONS], dtype=np.float64) * _LENGTH
    stored = {name: frame[name] for name in _RULE_NAMES if name in frame}
    system = _system(len(positions), where, stored)
    own = {}
    for name in frame.written:
        if _is_per_frame(name):
            value = frame[name]
            if name == schema.VELOCITIES or name in _RESULT_OF:
                value = _in_ase_units(name, value)
            own[name] = value
    return _frame_atoms(system, positions, own)


def _system(count: int, where: str, stored: Dict[str, Any]) -> "_System":
    """What the once-written names give a frame of `count` atoms, in ASE's terms."""
    elements = stored.get(schema.ELEMENTS)
    numbers = np.zeros(count, dtype=np.int64) if elements is None else _numbers_of(elements)
    if len(numbers) != count:
        raise ConversionError(f"{where} has {len(numbers)} elements for {count} positions")
    box = stored.get(schema.BOX)
    cell = None if box is None else np.asarray(box, dtype=np.float64).reshape(3, 3) * _LENGTH
    pbc = stored.get(schema.PBC)
    if pbc is None:
        pbc = cell is not None and cell.any(axis=1)
    masses = _custom_masses(stored.get(schema.MASSES), numbers)
    charges = _initial_charges(stored.get(schema.CHARGES), count)
    template = Atoms(
        numbers=numbers,
        positions=np.zeros((count, 3)),
        cell=cell,
        pbc=pbc,
        masses=masses,
        charges=charges,
    )
    return _System(
        numbers=numbers,
        weights=_MASS_TABLE[numbers] if masses is None else masses,
        template=template,
    )


def _frame_atoms(system: "_System", positions: np.ndarray, own: Dict[str, Any]) -> Atoms:
    """The Atoms of one frame: positions in Å, `own` values in ASE's units."""
    # A copy of the system's atoms costs a fraction of the constructor,
    # which would be most of a frame's reading time.
    # Positions, momenta and results may be views of a block's arrays: each
    # frame has rows of its own, and the whole block lives while one does.
    made = {"positions": positions.reshape(-1, 3)}
    momenta = own.pop(_MOMENTA, None)
    velocities = own.pop(schema.VELOCITIES, None)
    if velocities is not None:
        momenta = velocities * system.weights[:, None]
    if momenta is not None:
        made["momenta"] = momenta
    atoms = _copy_atoms(system.template, **made)
    results = {}
    mask = None
    for name, value in own.items():
        if name.startswith(schema.ARRAYS):
            key = name[len(schema.ARRAYS) :]
            if key == MOVE_MASK:
                mask = np.asarray(value, dtype=bool)
            else:
                atoms.set_array(key, value)  # a copy
        elif name.startswith(schema.INFO):
            value = _info_value(value)
            atoms.info[name[len(schema.INFO) :]] = (
                value.copy() if isinstance(value, np.ndarray) else value
            )
        else:
            key = _RESULT_OF[name]
            results[key] = float(value) if key in _SCALAR_RESULTS else value
    if mask is not None:
        _set_constraints(atoms, mask)
    if results:
        atoms.calc = _calculator(atoms, results)
    return atoms


def _set_constraints(atoms: Atoms, mask: np.ndarray) -> None:
    """The FixAtoms, or FixCartesian of each atom with a fixed direction, of a move mask."""
    if mask.ndim == 1:
        ase_legacy.set_constraints(atoms, mask)
        return
    fixed = np.flatnonzero(~mask.all(axis=1))
    atoms.set_constraint([FixCartesian(int(a), mask=~mask[a]) for a in fixed])


class _System(NamedTuple):
    """What the once-written names give a frame, in ASE's units."""

    numbers: np.ndarray
    weights: np.ndarray  # the masses that turn velocities into momenta
    template: Atoms  # these atoms at the origin: each frame is a copy


_MOMENTA = "momenta"  # a block's momenta, made in one multiplication


def _copy_dict(value: Dict[Any, Any], target: Any) -> Dict[Any, Any]:
    copied = value.__class__(value)
    for key, item in copied.items():
        if isinstance(item, np.ndarray):
            copied[key] = item.copy()
    return copied


def _copier(value: Any, source: Any) -> Optional[Callable[[Any, Any], Any]]:
    """How a copy of `source` takes this value of its state: None to share it."""
    if isinstance(value, types.MethodType):
        if value.__self__ is source:
            return lambda method, target: types.MethodType(method.__func__, target)
        return None
    if isinstance(value, np.ndarray):
        return lambda array, target: array.copy()
    if isinstance(value, dict):
        return _copy_dict
    if isinstance(value, (list, set)):
        return lambda items, target: items.__class__(items)
    if hasattr(value, "copy") and not isinstance(value, (str, bytes)):
        return lambda item, target: item.copy()  # the cell
    return None


_PLANS: Dict[Tuple[Any, ...], List[Tuple[str, Optional[Callable[[Any, Any], Any]]]]] = {}


def _copy_state(source: Any, target: Any, leave: Tuple[str, ...] = ()) -> Any:
    """`target` given a copy of the state of `source`, but for the attributes to `leave`.

    Arrays and containers are copied, the rest shared, as a copy made by
    hand would; how each attribute is copied is worked out once for each
    type and set of attributes (the objects copied here are made the same
    way each time, so their attributes keep their types).
    """
    state = vars(source)
    layout = (type(source), leave, *state)
    plan = _PLANS.get(layout)
    if plan is None:
        plan = _PLANS[layout] = [
            (key, _copier(value, source)) for key, value in state.items() if key not in leave
        ]
    copied = target.__dict__
    for key, copier in plan:
        value = state[key]
        copied[key] = value if copier is None else copier(value, target)
    return target


# Whether copying an Atoms' state gives what Atoms.copy gives; decided at the
# first use, so that another version of ASE falls back to Atoms.copy.
_STATE_COPIES: List[bool] = []


def _copy_atoms(atoms: Atoms, **arrays: np.ndarray) -> Atoms:
    """``atoms.copy()`` for Atoms that have no calculator and no constraints, without the constructor.

    `arrays` replace (or join) the copies of the atoms' own: arrays made for
    the copy, which it takes as they are.
    """
    if _STATE_COPIES == [False]:
        copy_ = atoms.copy()
    else:
        copy_ = _copy_state(atoms, Atoms.__new__(Atoms), ("arrays",))
        copy_.arrays = {
            key: arrays[key] if key in arrays else value.copy()
            for key, value in atoms.arrays.items()
        }
        if not _STATE_COPIES:
            try:
                works = (
                    not compare_atoms(copy_, atoms, excluded_properties=list(arrays))
                    and copy_.numbers is not atoms.numbers
                    and copy_.cell is not atoms.cell
                    and copy_.get_chemical_formula() == atoms.get_chemical_formula()
                )
            except Exception:
                works = False
            _STATE_COPIES.append(works)
            if not works:
                copy_ = atoms.copy()
    copy_.arrays.update(arrays)
    return copy_


_CALCULATOR: List[SinglePointCalculator] = []


def _calculator(atoms: Atoms, results: Dict[str, Any]) -> SinglePointCalculator:
    """``SinglePointCalculator(atoms, **results)`` at a fraction of its cost.

    Most of a frame's reading time would go to two steps of that constructor
    that give the same result every time: setting up a calculator (its
    directory goes through pathlib) and copying the Atoms through their
    constructor. The state of one calculator made the usual way is copied
    instead (its own methods bound anew), and the atoms are copied state by
    state (``_copy_atoms``).
    """
    if not _CALCULATOR:
        _CALCULATOR.append(SinglePointCalculator(Atoms()))
    calc = _copy_state(
        _CALCULATOR[0], SinglePointCalculator.__new__(SinglePointCalculator), ("atoms", "results")
    )
    calc.results = results
    calc.atoms = _copy_atoms(atoms)
    return calc


def Trajectory(  # noqa: N802 - named and called as ase.io.Trajectory is
    filename: Any,
    mode: str = "r",
    atoms: Optional[Atoms] = None,
    properties: Optional[Sequence[str]] = None,
    master: Optional[bool] = None,
    comm: Any = world,
) -> Union[TrajectoryReader, TrajectoryWriter]:
    """A reader (mode "r") or a writer ("w", "x", "a") of a rux file, as ``ase.io.Trajectory``."""
    if mode == "r":
        return TrajectoryReader(filename)
    return TrajectoryWriter(filename, mode, atoms, properties, master, comm)


def _chosen(index: ImageIndex, count: int) -> range:
    if index is None:
        return range(count)
    if isinstance(index, slice):
        return range(count)[index]
    if isinstance(index, (int, np.integer)):
        position = int(index)
        if not -count <= position < count:
            raise IndexError(f"frame {position} out of range for {count} frames")
        position %= count
        return range(position, position + 1)
    raise TypeError(f"frames are chosen by an int or a slice, not {index!r}")


def read_rux(filename: Any, index: ImageIndex = None) -> Iterator[Atoms]:
    """``ase.io.read`` and ``iread`` for format "rux": the Atoms of the frames `index` chooses."""
    with TrajectoryReader(filename) as reader:
        yield from reader.iread(_chosen(index, len(reader)))


# What ASE's entry point group ase.ioformats loads: files named *.rux, and
# files of any name that begin with rux's magic bytes.
ase_io_format = ExternalIOFormat(
    desc="rux trajectory (MD schema)",
    code="+S",
    module=__name__,
    ext="rux",
    magic=_format.MAGIC.to_bytes(8, "little"),
)
