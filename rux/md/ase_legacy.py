"""The earlier convention of ``rux convert``: schema "ase-atoms" 1.0, ASE's own names and units.

Files that ``rux convert`` wrote before it wrote the MD schema hold, per frame:

===================  ==========================  ==================================
name                 type and shape              holds
===================  ==========================  ==================================
``positions``        float64 (N, 3)              Cartesian positions, Å
``numbers``          int64 (N,)                  atomic numbers
``cell``             float64 (3, 3)              cell vectors, one per row, Å
``pbc``              uint8 (3,)                  periodic directions, 0 or 1
``arrays/<key>``     (N,) or (N, k)              per-atom arrays (``Atoms.arrays``)
``info/<key>``       (1,), (k,), (k, l) or text  per-frame values (``Atoms.info``)
``info_json/<key>``  text                        other ``Atoms.info`` values, as JSON
``<property>``       as ASE computes it          calculator results: ``energy``,
                                                 ``forces``, ``stress``, ...
===================  ==========================  ==================================

This module reads them, and reads any other file that is not in the MD schema
the same way (so files of other schemas with ``positions`` and ``numbers``
convert, with ``names`` mapping the names above to the file's). It writes
them only where the MD schema cannot: a conversion that asks for names of
its own (``rux convert --names``). ``numbers``, ``cell`` and ``pbc`` follow
the once-written rule; every other chunk counts only in the frame that holds
it. Floats are float64, integers int64, booleans uint8; per-atom text is one
text with a value per line. ASE is imported only when a frame is converted.
"""

from __future__ import annotations

import json
import warnings
from typing import Any, Dict, Mapping, Optional

import numpy as np

APPLICATION = "rux convert"
SCHEMA = "ase-atoms"
SCHEMA_VERSION = (1, 0)

STRUCTURE = ("positions", "numbers", "cell", "pbc")
ARRAYS = "arrays/"
INFO = "info/"
INFO_JSON = "info_json/"
MOVE_MASK = "move_mask"

Names = Optional[Mapping[str, str]]


class ConversionError(ValueError):
    """A frame cannot be converted."""


def create(path: Any) -> Any:
    """A new rux file (mode "w") in this convention, for :func:`write_frame`."""
    from ..trajectory import open as open_trajectory

    return open_trajectory(path, "w", APPLICATION, SCHEMA, SCHEMA_VERSION)


# -- constraints, stored the same way in both conventions ----------------------


def move_mask(atoms: Any) -> Optional[np.ndarray]:
    """False where a FixAtoms or FixCartesian constraint fixes an atom (or a direction)."""
    from ase.constraints import FixAtoms, FixCartesian

    fixes = [c for c in atoms.constraints if isinstance(c, (FixAtoms, FixCartesian))]
    if not fixes:
        return None
    cartesian = any(isinstance(c, FixCartesian) for c in fixes)
    mask = np.ones((len(atoms), 3) if cartesian else len(atoms), dtype=bool)
    for constraint in fixes:
        if isinstance(constraint, FixAtoms):
            mask[constraint.index] = False
        else:
            mask[constraint.index] = ~constraint.mask & mask[constraint.index]
    return None if mask.all() else mask


def set_constraints(atoms: Any, mask: np.ndarray) -> None:
    """The FixAtoms or FixCartesian constraints that a move mask stands for."""
    from ase.constraints import FixAtoms, FixCartesian

    if mask.ndim == 1:
        atoms.set_constraint(FixAtoms(mask=~mask))
    else:
        atoms.set_constraint([FixCartesian(a, mask=~mask[a]) for a in range(len(atoms))])


# -- Atoms -> chunks -----------------------------------------------------------


def _as_chunk(value: np.ndarray) -> Optional[np.ndarray]:
    """The array in the element type that the convention uses for its kind, or None."""
    kind = value.dtype.kind
    if kind == "b":
        value = value.astype(np.uint8)
    elif kind in "iu":
        value = value.astype(np.int64)
    elif kind == "f":
        value = value.astype(np.float64)
    else:
        return None
    if value.ndim == 0:
        value = value.reshape(1)
    if value.ndim > 2:
        return None
    return np.ascontiguousarray(value)


def _text_array(value: np.ndarray) -> Optional[str]:
    """A one-dimensional array of strings as one text, one value per line, else None."""
    if value.ndim != 1:
        return None
    if value.dtype.kind in "US" or (
        value.dtype.kind == "O" and all(isinstance(item, str) for item in value)
    ):
        return "\n".join(str(item) for item in value)
    return None


def _per_atom_chunk(value: Any) -> Any:
    value = np.asarray(value)
    return _text_array(value) if value.dtype.kind in "USO" else _as_chunk(value)


def _info_chunk(key: str, value: Any) -> Any:
    """(name, data) for one Atoms.info value, or None when it cannot be stored."""
    if isinstance(value, str):
        return INFO + key, value
    if isinstance(value, (bool, int, float, np.bool_, np.integer, np.floating)):
        return INFO + key, _as_chunk(np.asarray(value))
    if isinstance(value, np.ndarray):
        text = _text_array(value)
        data = text if text is not None else _as_chunk(value)
        return (INFO + key, data) if data is not None else None
    try:
        return INFO_JSON + key, json.dumps(value)
    except (TypeError, ValueError):
        return None


def frame_chunks(atoms: Any) -> Dict[str, Any]:
    """The chunks (name -> array or str) that one frame of ``atoms`` is stored as."""
    chunks: Dict[str, Any] = {
        "positions": np.ascontiguousarray(atoms.positions, dtype=np.float64),
        "numbers": atoms.numbers.astype(np.int64),
        "cell": np.ascontiguousarray(atoms.cell.array, dtype=np.float64),
        "pbc": atoms.pbc.astype(np.uint8),
    }
    skipped = []
    for key, value in atoms.arrays.items():
        if key in ("positions", "numbers"):
            continue
        data = _per_atom_chunk(value)
        if data is None:
            skipped.append(ARRAYS + key)
        else:
            chunks[ARRAYS + key] = data
    mask = move_mask(atoms)
    if mask is not None:
        chunks[ARRAYS + MOVE_MASK] = mask.astype(np.uint8)
    for key, value in atoms.info.items():
        stored = _info_chunk(str(key), value)
        if stored is None:
            skipped.append(INFO + str(key))
        else:
            chunks[stored[0]] = stored[1]
    if atoms.calc is not None:
        for key, value in atoms.calc.results.items():
            data = _as_chunk(np.asarray(value))
            if data is None:
                skipped.append(key)
            else:
                chunks[key] = data
    if skipped:
        warnings.warn("not stored (no chunk type fits): " + ", ".join(skipped), stacklevel=3)
    return chunks


def write_frame(handle: Any, atoms: Any, names: Names = None) -> None:
    """Writes one ``ase.Atoms`` as a frame of a writable trajectory (or ``RUXFile``)."""
    chunks = frame_chunks(atoms)
    if names:
        chunks = {names.get(name, name): data for name, data in chunks.items()}
    if hasattr(handle, "append"):
        handle.append(chunks)
        return
    for name, data in chunks.items():
        handle.write_chunk(name, data)
    handle.end_frame()


# -- chunks -> Atoms -----------------------------------------------------------


def _value(data: Any, scalar: bool) -> Any:
    if isinstance(data, str):
        return data
    if data.dtype == np.uint8:
        data = data.astype(bool)
    if scalar and data.shape == (1,):
        return data[0].item()
    return data


def _calculator_value(key: str, data: Any) -> Any:
    from ase.outputs import all_outputs

    output = all_outputs.get(key)
    return _value(data, scalar=output is not None and output.shapespec == ())


def _per_atom_value(data: Any, natoms: int) -> Any:
    if isinstance(data, str):
        # An object array of str, as ASE's own XYZ reader makes it.
        values = np.empty(natoms, dtype=object)
        values[:] = data.split("\n") if natoms else []
        return values
    return _value(data, scalar=False)


def atoms_from_frame(frame: Any, names: Names = None) -> Any:
    """The ``ase.Atoms`` of one ``rux.Frame`` of a file in this convention.

    ``names`` maps the names of this convention to the file's. ``numbers``,
    ``cell`` and ``pbc`` follow the once-written rule; every other chunk is
    taken only from a frame that holds it.
    """
    from ase import Atoms
    from ase.calculators.singlepoint import SinglePointCalculator

    to_file = dict(names or {})
    to_schema = {stored: name for name, stored in to_file.items()}
    for required in ("positions", "numbers"):
        if to_file.get(required, required) not in frame:
            raise ConversionError(
                f"frame {frame.index} of {frame.path} has no chunk "
                f"{to_file.get(required, required)!r}"
            )

    def structure(name: str) -> Any:
        stored = to_file.get(name, name)
        return frame[stored] if stored in frame else None

    cell = structure("cell")
    pbc = structure("pbc")
    atoms = Atoms(
        numbers=np.asarray(structure("numbers")).reshape(-1),
        positions=np.asarray(structure("positions"), dtype=np.float64).reshape(-1, 3),
        cell=np.asarray(cell).reshape(3, 3) if cell is not None else None,
        pbc=np.asarray(pbc).astype(bool).reshape(3) if pbc is not None else None,
    )
    results = {}
    for stored in frame.written:
        name = to_schema.get(stored, stored)
        if name in STRUCTURE:
            continue
        data = frame[stored]
        if isinstance(data, np.ndarray) and data.dtype == np.bool_:
            data = data.astype(np.uint8)
        if name.startswith(ARRAYS):
            key = name[len(ARRAYS) :]
            value = _per_atom_value(data, len(atoms))
            if key == MOVE_MASK:
                set_constraints(atoms, value)
            else:
                atoms.set_array(key, value)
        elif name.startswith(INFO_JSON):
            atoms.info[name[len(INFO_JSON) :]] = json.loads(data)
        elif name.startswith(INFO):
            atoms.info[name[len(INFO) :]] = _value(data, scalar=True)
        else:
            results[name] = _calculator_value(
                name, data if isinstance(data, str) else np.atleast_1d(data)
            )
    if results:
        atoms.calc = SinglePointCalculator(atoms, **results)
    return atoms
