"""MDAnalysis reads and writes rux files in the MD schema (format "RUX").

MDAnalysis finds readers, writers and topology parsers through the classes
that register themselves when they are defined; it has no entry points. So
``import rux.mdanalysis`` (or ``rux.md.mdanalysis``) must run first; then::

    u = mda.Universe("run.rux")               # topology and coordinates
    u = mda.Universe("top.pdb", "run.rux")    # coordinates only
    u.atoms.write("out.rux", frames="all")
    with mda.Writer("out.rux", u.atoms.n_atoms) as w: ...

``RUXParser`` builds the topology from the names the first frame holds;
``RUXReader`` reads frames, with random access, slicing, pickling and a
``timeseries`` of one series read; ``RUXWriter`` writes the group's topology
once and then per frame positions, the box when it changes, time, step,
velocities and forces when the timestep has them, and the numeric
``Timestep.data`` values as observables.

Units: positions, velocities, forces and time are converted by MDAnalysis's
own machinery from the units that ``RUXReader.units`` and ``RUXWriter.units``
declare, the schema's; masses and charges through ``schema.factor``. Observables
pass as stored (the schema's units: kJ/mol, K, bar, nm^3), as MDAnalysis's
H5MD reader passes its observables.
"""

from __future__ import annotations

import errno
import warnings
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import MDAnalysis as mda
import numpy as np
from MDAnalysis.coordinates import base
from MDAnalysis.core.topology import Topology
from MDAnalysis.core.topologyattrs import (
    Atomids,
    Atomnames,
    Atomtypes,
    Bonds,
    ChainIDs,
    Charges,
    Elements,
    Masses,
    Resids,
    Resnames,
    Resnums,
    Segids,
)
from MDAnalysis.lib.mdamath import triclinic_box, triclinic_vectors
from MDAnalysis.lib.util import store_init_arguments
from MDAnalysis.topology.base import TopologyReaderBase
from MDAnalysis.units import MDANALYSIS_BASE_UNITS

from ..trajectory import Trajectory
from ..trajectory import open as open_trajectory
from . import schema

__all__ = ["FORMAT", "RUXParser", "RUXReader", "RUXWriter"]

FORMAT = "RUX"

# The schema's units in MDAnalysis's names, for its conversion machinery
# (convert_pos_from_native and the like); the schema spells them as MDAnalysis does.
_UNITS = {quantity: schema.UNITS[quantity] for quantity in ("time", "length", "velocity", "force")}
# MDAnalysis keeps masses and charges in its base units, with no machinery.
_MASS = schema.factor("mass", MDANALYSIS_BASE_UNITS["mass"])
_CHARGE = schema.factor("charge", MDANALYSIS_BASE_UNITS["charge"])

# Per-atom text: schema name, MDAnalysis attribute, its class.
_TEXT = (
    (schema.NAMES, "names", Atomnames),
    (schema.TYPES, "types", Atomtypes),
    (schema.ELEMENTS, "elements", Elements),
    (schema.CHAINIDS, "chainIDs", ChainIDs),
)
# Timestep.data keys that the schema stores under names of their own.
_NOT_OBSERVABLES = {"time", "step", "dt", "time_offset"}

Series = Tuple[np.ndarray, Optional[np.ndarray]]


# -- the file, through the trajectory layer ------------------------------------


def _open(path: str) -> Trajectory:
    """A read-only trajectory in the MD schema with at least one frame holding positions."""
    traj = open_trajectory(path)
    try:
        schema.require_md(traj)
        if len(traj) == 0:
            raise ValueError(f"{path} holds no frames")
        if schema.POSITIONS not in traj:
            raise ValueError(f"{path} holds no {schema.POSITIONS!r}, which every MD trajectory has")
    except BaseException:
        traj.close()
        raise
    return traj


def _file_frames(traj: Trajectory) -> np.ndarray:
    """The file frame of every frame of `traj` (files may hold frames of attributes only)."""
    return np.asarray(traj._store.file_frames(range(len(traj))), dtype=np.int64)


def _first_frame_values(traj: Trajectory, names: Sequence[str]) -> Dict[str, Any]:
    """The values of `names` that the first frame holds, read one by one."""
    store = traj._store
    frame = store.file_frame(0)
    found = {}
    for name in names:
        if name in traj and traj.file.chunk_exists(frame, name):
            found[name] = store.convert(name, traj.file.read_chunk(frame, name))
    return found


def _natoms(traj: Trajectory) -> int:
    frame = traj._store.file_frame(0)
    if not traj.file.chunk_exists(frame, schema.POSITIONS):
        raise ValueError(f"{traj.path}: the first frame holds no {schema.POSITIONS!r}")
    shape = np.shape(traj.file.read_chunk(frame, schema.POSITIONS))
    if len(shape) != 2 or shape[1] != 3:
        raise ValueError(f"{traj.path}: {schema.POSITIONS!r} has shape {shape}, not (N, 3)")
    return int(shape[0])


def _over_frames(traj: Trajectory, frames: np.ndarray, name: str) -> Optional[Series]:
    """`name` in every frame by the once-written rule, as (values, at).

    Frame i takes values[i] when `at` is None, else values[at[i]], and has no
    value where at[i] < 0 (no frame up to it wrote the name). None when the
    file does not hold `name`.
    """
    if name not in traj:
        return None
    try:
        return np.asarray(traj.series(name)), None
    except KeyError:  # the first frames do not hold it
        store = traj._store
        held = store.frames_holding(name)
        at = np.searchsorted(held, frames, side="right") - 1
        return np.asarray(store.series(name, held)), at


def _value(series: Optional[Series], frame: int) -> Any:
    if series is None:
        return None
    values, at = series
    if at is None:
        return values[frame]
    return None if at[frame] < 0 else values[at[frame]]


# -- topology ------------------------------------------------------------------


def _per_atom(values: Dict[str, Any], name: str, n_atoms: int, path: str) -> Optional[np.ndarray]:
    if name not in values:
        return None
    array = np.asarray(values[name])
    if array.shape != (n_atoms,):
        raise ValueError(f"{path}: {name!r} has shape {array.shape}; the first frame has {n_atoms} atoms")
    return array


def _first_of_each(labels: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """(index of each atom's group, first atom of each group); groups in order of first appearance."""
    _, first, inverse = np.unique(labels, return_index=True, return_inverse=True)
    order = np.argsort(first, kind="stable")
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    return rank[inverse.reshape(-1)], first[order]


def _residues(
    resindices: Optional[np.ndarray], columns: Sequence[Optional[np.ndarray]], n_atoms: int
) -> Tuple[np.ndarray, np.ndarray]:
    """(residue of each atom, first atom of each residue), as the schema defines residues."""
    if resindices is not None:
        return _first_of_each(resindices)
    # Runs of consecutive atoms with equal (resid, resname, segid).
    starts = np.zeros(n_atoms, dtype=bool)
    starts[:1] = True
    for column in columns:
        if column is not None:
            starts[1:] |= column[1:] != column[:-1]
    return np.cumsum(starts) - 1, np.flatnonzero(starts)


def _text_attribute(cls: Any, text: np.ndarray) -> Any:
    """A text attribute built from the distinct values, not value by value.

    MDAnalysis interns every value in a Python loop; from 2.11 on it takes the
    distinct values and an index instead, which numpy.unique gives in bulk.
    """
    from_lookup = getattr(cls, "_from_lookup", None)
    if from_lookup is None:
        return cls(text.astype(object))
    lookup, index = np.unique(text, return_inverse=True)
    return from_lookup(index.reshape(-1), lookup.astype(object))


def _topology(values: Dict[str, Any], n_atoms: int, path: str) -> Topology:
    def per_atom(name: str) -> Optional[np.ndarray]:
        return _per_atom(values, name, n_atoms, path)

    ids = per_atom(schema.IDS)
    attrs: List[Any] = [Atomids(np.arange(1, n_atoms + 1) if ids is None else ids.astype(np.int64))]
    for name, _, cls in _TEXT:
        text = per_atom(name)
        if text is not None:
            attrs.append(_text_attribute(cls, text))
    for name, cls, scale in ((schema.MASSES, Masses, _MASS), (schema.CHARGES, Charges, _CHARGE)):
        numbers = per_atom(name)
        if numbers is not None:
            attrs.append(cls(numbers.astype(np.float64) * scale))

    resindices, resids = per_atom(schema.RESINDICES), per_atom(schema.RESIDS)
    resnames, segids = per_atom(schema.RESNAMES), per_atom(schema.SEGIDS)
    if resindices is not None and bool((resindices < 0).any()):
        raise ValueError(f"{path}: {schema.RESINDICES!r} holds a negative residue index")
    atom_resindex, first = _residues(resindices, (resids, resnames, segids), n_atoms)
    residue_ids = np.arange(1, len(first) + 1) if resids is None else resids[first].astype(np.int64)
    attrs += [Resids(residue_ids), Resnums(residue_ids.copy())]
    if resnames is not None:
        attrs.append(_text_attribute(Resnames, resnames[first]))
    if segids is None:
        residue_segindex = np.zeros(len(first), dtype=np.int64)
        segment_ids = np.array(["SYSTEM"], dtype=object)
    else:
        residue_segindex, first_residue = _first_of_each(segids[first])
        segment_ids = segids[first][first_residue].astype(object)
    attrs.append(Segids(segment_ids))

    if schema.BONDS in values:
        bonds = np.asarray(values[schema.BONDS])
        if bonds.ndim != 2 or bonds.shape[1] != 2 or bonds.dtype.kind not in "iu":
            raise ValueError(f"{path}: {schema.BONDS!r} must be integer pairs (B, 2), not {bonds.dtype} {bonds.shape}")
        if bonds.size and (bonds.min() < 0 or bonds.max() >= n_atoms):
            raise ValueError(f"{path}: {schema.BONDS!r} names an atom outside 0..{n_atoms - 1}")
        # Python ints: MDAnalysis checks each pair value by value, which is
        # several times slower on numpy scalars.
        attrs.append(Bonds(bonds.tolist(), guessed=False))
    return Topology(
        n_atoms,
        len(first),
        len(segment_ids),
        attrs=attrs,
        atom_resindex=atom_resindex,
        residue_segindex=residue_segindex,
    )


class RUXParser(TopologyReaderBase):
    """The topology of a rux file: every schema name its first frame holds.

    Attributes the file holds are read, never guessed; the ones MDAnalysis
    needs and the file lacks get the usual defaults (ids 1..N, one residue
    with resid 1, segment "SYSTEM"). Residues follow ``atoms/resindices``, or
    runs of equal (resid, resname, segid); resnums are the resids.
    """

    format = FORMAT

    def parse(self, **kwargs: Any) -> Topology:
        with _open(str(self.filename)) as traj:
            names = [n.name for n in schema.TOPOLOGY_NAMES]
            values = _first_frame_values(traj, names)
            per_atom = [np.shape(v)[0] for k, v in values.items() if k != schema.BONDS and np.ndim(v) == 1]
            n_atoms = per_atom[0] if per_atom else _natoms(traj)
            return _topology(values, n_atoms, traj.path)


# -- coordinates -----------------------------------------------------------------


class RUXReader(base.ReaderBase):
    """Frames of a rux file in the MD schema.

    Per frame it reads positions (and velocities and forces when the file has
    them) straight into the timestep's arrays; box, time, step and the
    observables are read as series once, when the file is opened. A frame
    whose atom count differs from the first frame's raises ``ValueError``
    naming it. ``dt`` is the time between the first two frames.
    ``Timestep.data`` holds ``step`` and every observable by its name without
    the ``observables/`` prefix.
    """

    format = FORMAT
    units = _UNITS
    _CACHED = ("_traj", "_frames", "_box", "_time", "_step", "_observables")

    @store_init_arguments
    def __init__(self, filename: Any, convert_units: bool = True, **kwargs: Any) -> None:
        super().__init__(filename, convert_units=convert_units, **kwargs)
        self._traj: Optional[Trajectory] = None
        self._load()
        self.ts = self._Timestep(
            self.n_atoms,
            positions=True,
            velocities=self._has_velocities,
            forces=self._has_forces,
            **self._ts_kwargs,
        )
        time = self._time
        if "dt" not in self._ts_kwargs and time is not None and self.n_frames > 1:
            first, second = _value(time, 0), _value(time, 1)
            if first is not None and second is not None:
                self.ts.dt = self._time_from_native(float(second) - float(first))
        self._frame = -1
        self._read_next_timestep()

    def _load(self) -> None:
        """Open the file and read what every frame needs: frame numbers and the series."""
        traj = self._traj = _open(self.filename)
        self.n_frames = len(traj)
        self.n_atoms = _natoms(traj)
        self._frames = frames = _file_frames(traj)
        self._has_velocities = schema.VELOCITIES in traj
        self._has_forces = schema.FORCES in traj
        self._box = _over_frames(traj, frames, schema.BOX)
        self._time = _over_frames(traj, frames, schema.TIME)
        self._step = _over_frames(traj, frames, schema.STEP)
        self._observables: Dict[str, Series] = {}
        for name in traj.names:
            if not name.startswith(schema.OBSERVABLES):
                continue
            try:
                series = _over_frames(traj, frames, name)
            except ValueError:  # its shape or element type changes between frames
                series = None
            if series is not None and series[0].dtype.kind in "biuf":
                self._observables[name[len(schema.OBSERVABLES) :]] = series
            else:
                warnings.warn(f"{traj.path}: {name!r} is not a numeric series; it is left out of Timestep.data")

    @classmethod
    def parse_n_atoms(cls, filename: Any, **kwargs: Any) -> int:
        with _open(str(filename)) as traj:
            return _natoms(traj)

    def _file(self) -> Trajectory:
        if self._traj is None:
            self._load()
        assert self._traj is not None
        return self._traj

    def close(self) -> None:
        traj = self.__dict__.get("_traj")
        if traj is not None:
            traj.close()
            self._traj = None

    def _reopen(self) -> None:
        self._file()
        self._frame = -1

    def __getstate__(self) -> Dict[str, Any]:
        # The file and what was read from it are opened and read again on the other side.
        state = self.__dict__.copy()
        for key in self._CACHED:
            state.pop(key, None)
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._traj = None
        self._load()

    def Writer(self, filename: Any, n_atoms: Optional[int] = None, **kwargs: Any) -> "RUXWriter":
        kwargs.setdefault("convert_units", self.convert_units)
        return RUXWriter(filename, self.n_atoms if n_atoms is None else n_atoms, **kwargs)

    # -- one frame ---------------------------------------------------------

    def _read_next_timestep(self, ts: Optional[Any] = None) -> Any:
        if self._frame + 1 >= self.n_frames:
            raise IOError(errno.EIO, "trying to go over trajectory limit")
        return self._read_frame(self._frame + 1, ts)

    def _read_frame(self, frame: int, ts: Optional[Any] = None) -> Any:
        ts = self.ts if ts is None else ts
        self._file()
        self._read_atoms(schema.POSITIONS, frame, ts.positions)
        if self._has_velocities:
            ts.has_velocities = True
            ts.has_velocities = self._read_atoms(schema.VELOCITIES, frame, ts.velocities)
        if self._has_forces:
            ts.has_forces = True
            ts.has_forces = self._read_atoms(schema.FORCES, frame, ts.forces)
        ts.frame = self._frame = frame
        ts.dimensions = self._dimensions(frame)
        time = None if "dt" in self._ts_kwargs else _value(self._time, frame)
        values = {"time": None if time is None else self._time_from_native(float(time))}
        values["step"] = _value(self._step, frame)
        for key, series in self._observables.items():
            values[key] = _value(series, frame)
        for key, value in values.items():
            if value is None:
                ts.data.pop(key, None)
            else:
                ts.data[key] = value
        if self.convert_units:
            self.convert_pos_from_native(ts.positions)
            if ts.has_velocities:
                self.convert_velocities_from_native(ts.velocities)
            if ts.has_forces:
                self.convert_forces_from_native(ts.forces)
        return ts

    def _time_from_native(self, time: float) -> float:
        return float(self.convert_time_from_native(time)) if self.convert_units else time

    def _read_atoms(self, name: str, frame: int, out: np.ndarray) -> bool:
        """Read per-atom `name` of `frame` into `out`; False when no frame up to it holds the name."""
        traj = self._file()
        file_frame = int(self._frames[frame])
        try:
            traj.file.read_series(name, [file_frame], out=out[np.newaxis])
            return True
        except KeyError:  # the frame takes it from the latest earlier frame that holds it
            held = traj._store.frames_holding(name)
            k = int(np.searchsorted(held, file_frame, side="right")) - 1
            if k < 0:
                return False
            file_frame = int(held[k])
        except ValueError:  # another element type (or another atom count, checked below)
            pass
        value = traj.file.read_chunk(file_frame, name)
        if np.shape(value) != out.shape:
            raise ValueError(
                f"{self.filename}: frame {frame} holds {name!r} of shape {np.shape(value)}, "
                f"not {out.shape}: MDAnalysis reads files whose number of atoms does not change"
            )
        out[...] = value
        return True

    def _dimensions(self, frame: int) -> Optional[np.ndarray]:
        box = _value(self._box, frame)
        if not schema.is_periodic(box):
            return None
        vectors = np.array(box, dtype=np.float64)
        if self.convert_units:
            self.convert_pos_from_native(vectors)
        return triclinic_box(*vectors)

    # -- many frames -------------------------------------------------------

    def timeseries(
        self,
        asel: Optional[Any] = None,
        atomgroup: Optional[Any] = None,
        start: Optional[int] = None,
        stop: Optional[int] = None,
        step: Optional[int] = None,
        order: Optional[str] = "fac",
    ) -> np.ndarray:
        """Positions of `atomgroup` (all atoms when None) over frames, as one series read.

        The signature and the result are those of ``ReaderBase.timeseries``.
        With transformations it reads frame by frame, so that they apply.
        """
        if self.transformations:
            return super().timeseries(asel, atomgroup, start, stop, step, order)
        if asel is not None:
            warnings.warn(
                "asel argument to timeseries will be renamed to 'atomgroup' in 3.0, see #3911",
                category=DeprecationWarning,
            )
            if atomgroup:
                raise ValueError("Cannot provide both asel and atomgroup kwargs")
            atomgroup = asel
        start, stop, step = self.check_slice_indices(start, stop, step)
        indices = np.arange(start, stop, step, dtype=np.int64)
        rows: Optional[np.ndarray] = None
        if atomgroup is not None:
            if len(atomgroup) == 0:
                raise ValueError("Timeseries requires at least one atom to analyze")
            rows = np.asarray(atomgroup.indices, dtype=np.int64)
        coordinates = self._positions(indices, rows)
        if self.convert_units:
            self.convert_pos_from_native(coordinates)
        if order == "fac":
            return coordinates
        try:
            axes = ["fac".index(key) for key in str(order)]
        except ValueError:
            raise ValueError(f"Unrecognized order key in {order}, must be permutation of 'fac'") from None
        try:
            return np.moveaxis(coordinates, axes, [0, 1, 2])
        except ValueError:
            raise ValueError(
                f"Repeated or missing keys passed to argument `order`: {order}, each key must be used once"
            ) from None

    def _positions(self, indices: np.ndarray, rows: Optional[np.ndarray]) -> np.ndarray:
        """Stored positions of frames `indices`, (T, R, 3) float32: one series read."""
        count = self.n_atoms if rows is None else len(rows)
        if not len(indices):
            return np.empty((0, count, 3), dtype=np.float32)
        traj = self._file()
        try:
            values = traj.file.read_series(schema.POSITIONS, self._frames[indices], rows=rows)
        except (KeyError, ValueError):
            # A frame without positions (it takes an earlier frame's), element
            # types that differ, or an atom count that changes: frame by
            # frame, which names the frame.
            values = np.empty((len(indices), count, 3), dtype=np.float32)
            whole = np.empty((self.n_atoms, 3), dtype=np.float32)
            for k, frame in enumerate(indices.tolist()):
                self._read_atoms(schema.POSITIONS, frame, whole)
                values[k] = whole if rows is None else whole[rows]
        return np.ascontiguousarray(values, dtype=np.float32)


# -- writing -----------------------------------------------------------------------


def _topology_chunks(atoms: Any) -> Dict[str, np.ndarray]:
    """The schema names for the topology of an AtomGroup: the attributes its universe has."""
    chunks: Dict[str, np.ndarray] = {}
    topology = atoms.universe._topology
    for name, attribute, _ in _TEXT + ((schema.RESNAMES, "resnames", None), (schema.SEGIDS, "segids", None)):
        if hasattr(topology, attribute):
            chunks[name] = schema.per_atom_text(getattr(atoms, attribute))
    for name, attribute, scale in ((schema.MASSES, "masses", _MASS), (schema.CHARGES, "charges", _CHARGE)):
        if hasattr(topology, attribute):
            chunks[name] = np.asarray(getattr(atoms, attribute), dtype=np.float64) / scale
    for name, attribute in ((schema.IDS, "ids"), (schema.RESIDS, "resids")):
        if hasattr(topology, attribute):
            chunks[name] = np.asarray(getattr(atoms, attribute), dtype=np.int64)
    chunks[schema.RESINDICES] = np.unique(atoms.resindices, return_inverse=True)[1].astype(np.int64).reshape(-1)
    if hasattr(topology, "bonds"):
        position = np.full(len(atoms.universe.atoms), -1, dtype=np.int64)
        position[atoms.indices] = np.arange(len(atoms))
        pairs = position[np.asarray(atoms.bonds.indices, dtype=np.int64).reshape(-1, 2)]
        chunks[schema.BONDS] = np.ascontiguousarray(pairs[(pairs >= 0).all(axis=1)])
    return chunks


class RUXWriter(base.WriterBase):
    """Writes frames of an AtomGroup or Universe to a new rux file in the MD schema.

    The first frame holds the topology: the schema names of the attributes the
    group's universe has (and ``atoms/resindices``, its residues). Every frame
    holds positions, time and step (``Timestep.data["step"]``, else the frame
    number); velocities and forces when the timestep has them; the box when
    it differs from the last one written (none while the system is not
    periodic); the numeric ``Timestep.data`` values of the first frame as
    float64 observables ``observables/<key>``.
    """

    format = FORMAT
    multiframe = True
    units = _UNITS

    def __init__(
        self,
        filename: Any,
        n_atoms: int,
        convert_units: bool = True,
        application: Optional[str] = None,
        **kwargs: Any,
    ) -> None:
        if n_atoms is None or int(n_atoms) < 1:
            raise ValueError(f"RUXWriter: no atoms to write ({n_atoms!r})")
        self.filename = str(filename)
        self.n_atoms = int(n_atoms)
        self.convert_units = convert_units
        self._traj: Optional[Trajectory] = schema.create(
            self.filename, application or f"MDAnalysis {mda.__version__}"
        )
        self._box: Optional[np.ndarray] = None  # the box last written; None: none yet
        self._observables: Optional[Dict[str, Tuple[int, ...]]] = None
        self._count = 0

    def close(self) -> None:
        traj = self.__dict__.get("_traj")
        if traj is not None:
            self._traj = None
            traj.close()

    def _write_next_frame(self, obj: Any) -> None:
        try:
            atoms = obj.atoms
            ts = atoms.ts
        except AttributeError:
            raise TypeError(f"RUXWriter writes an AtomGroup or a Universe, not {type(obj).__name__}") from None
        if self._traj is None:
            raise ValueError(f"RUXWriter: {self.filename} is closed")
        if ts.n_atoms != self.n_atoms:
            raise ValueError(f"RUXWriter: {ts.n_atoms} atoms given; {self.filename} is written for {self.n_atoms}")
        chunks: Dict[str, Any] = _topology_chunks(atoms) if self._count == 0 else {}
        chunks[schema.POSITIONS] = self._native(ts.positions, self.convert_pos_to_native)
        if ts.has_velocities:
            chunks[schema.VELOCITIES] = self._native(ts.velocities, self.convert_velocities_to_native)
        if ts.has_forces:
            chunks[schema.FORCES] = self._native(ts.forces, self.convert_forces_to_native)
        box = schema.no_box() if ts.dimensions is None else triclinic_vectors(ts.dimensions).astype(np.float64)
        box = self._native(box, self.convert_pos_to_native)
        if (self._box is None and schema.is_periodic(box)) or (
            self._box is not None and not np.array_equal(box, self._box)
        ):
            chunks[schema.BOX] = self._box = box
        time = float(ts.time)
        chunks[schema.TIME] = np.float64(self.convert_time_to_native(time) if self.convert_units else time)
        chunks[schema.STEP] = np.int64(ts.data.get("step", ts.frame))
        chunks.update(self._observable_chunks(ts.data))
        self._traj.append(chunks)
        self._count += 1

    def _native(self, values: np.ndarray, convert: Any) -> np.ndarray:
        return convert(values, inplace=False) if self.convert_units else np.array(values)

    def _observable_chunks(self, data: Dict[str, Any]) -> Dict[str, Any]:
        if self._observables is None:  # the keys and shapes of the first frame
            self._observables = {}
            for key, value in data.items():
                array = np.asarray(value)
                if key not in _NOT_OBSERVABLES and array.dtype.kind in "biuf" and array.ndim <= 2:
                    self._observables[key] = array.shape
        chunks = {}
        for key, shape in self._observables.items():
            if key not in data or np.shape(data[key]) != shape:
                raise ValueError(
                    f"RUXWriter: Timestep.data[{key!r}] of frame {self._count} is missing or has "
                    f"another shape than in the first frame {shape}"
                )
            value = np.asarray(data[key], dtype=np.float64)
            chunks[schema.OBSERVABLES + key] = value if value.ndim else np.float64(value)
        return chunks
