"""MDTraj: rux files in the MD schema as ``mdtraj.Trajectory``, and back.

    import rux.mdtraj
    traj = rux.mdtraj.load("run.rux")                 # the file's own topology
    traj = mdtraj.load("run.rux", top="system.pdb")   # through MDTraj's registry
    rux.mdtraj.save(traj, "copy.rux")

Importing this module registers ``load`` for the ".rux" extension with
MDTraj's format registry. ``mdtraj.load`` always parses a ``top`` before it
calls a loader, and parses only the topology formats it knows, so it needs
``top=``; ``rux.mdtraj.load`` builds the topology from the file.

Series reads do the work: positions, box and time of all the frames chosen
come from one read per name, and `atom_indices` reads only those rows.
MDTraj is an optional dependency (``pip install rux[mdtraj]``).
"""

from __future__ import annotations

import os
from typing import Any, Dict, Iterable, Optional, Union

import numpy as np

try:
    import mdtraj as md
    from mdtraj.formats.registry import FormatRegistry
    from mdtraj.utils import cast_indices
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError('rux.mdtraj needs MDTraj: pip install "rux[mdtraj]"') from error

from ..trajectory import Frame, Trajectory
from ..trajectory import open as open_trajectory
from . import schema

__all__ = ["load", "save", "topology_of", "topology_chunks", "EXTENSION"]

APPLICATION = "MDTraj"
EXTENSION = ".rux"

# MDTraj's units (Trajectory.xyz, unitcell_vectors and time) and what a value
# in them is multiplied by to be in the schema's.
_TO_SCHEMA = {
    "length": 1.0 / schema.factor("length", "nm"),
    "time": 1.0 / schema.factor("time", "ps"),
}
_VIRTUAL = md.element.virtual
PathLike = Union[str, "os.PathLike[str]"]


def _element(symbol: str, known: Dict[str, Any]) -> Any:
    element = known.get(symbol)
    if element is None:
        try:
            element = md.element.get_by_symbol(symbol) if symbol else _VIRTUAL
        except KeyError:
            element = _VIRTUAL
        known[symbol] = element
    return element


def _optional(frame: Frame, name: str) -> Optional[np.ndarray]:
    return np.asarray(frame[name]) if name in frame else None


def _residue_starts(frame: Frame, count: int) -> np.ndarray:
    """The first atom of each residue: where resindices changes, else (resid, resname, segid)."""
    keys = [_optional(frame, schema.RESINDICES)]
    if keys[0] is None:
        keys = [_optional(frame, name) for name in (schema.RESIDS, schema.RESNAMES, schema.SEGIDS)]
    change = np.zeros(count, dtype=bool)
    if count:
        change[0] = True
    for key in keys:
        if key is not None and count > 1:
            change[1:] |= key[1:] != key[:-1]
    return np.flatnonzero(change)


def topology_of(frame: Frame) -> "md.Topology":
    """An MDTraj Topology from the schema's topology names of a frame.

    Missing names take plain defaults: an atom without a name is named by its
    element, an unknown element is MDTraj's virtual site, residues without
    ids are numbered from 1, and atoms without chains share one chain.
    """
    count = int(np.shape(frame[schema.POSITIONS])[0])

    def text(name: str) -> Optional[np.ndarray]:
        values = _optional(frame, name)
        if values is not None and values.shape != (count,):
            raise ValueError(f"{frame.path}: {name} has shape {values.shape}, not ({count},)")
        return values

    elements = text(schema.ELEMENTS)
    names = text(schema.NAMES)
    if names is None:
        names = elements if elements is not None else np.full(count, "", dtype="U1")
    resnames, resids, segids = text(schema.RESNAMES), text(schema.RESIDS), text(schema.SEGIDS)
    chainids = text(schema.CHAINIDS)
    if chainids is None:
        chainids = segids
    ids = text(schema.IDS)
    starts = _residue_starts(frame, count)
    ends = np.append(starts[1:], count)

    topology = md.Topology()
    known: Dict[str, Any] = {}
    chain = None
    chain_id: Any = object()
    atoms = []
    names_list = names.tolist()
    symbols = elements.tolist() if elements is not None else [""] * count
    serials = ids.tolist() if ids is not None else [None] * count
    for number, (start, end) in enumerate(zip(starts.tolist(), ends.tolist())):
        this_chain = None if chainids is None else str(chainids[start])
        if chain is None or this_chain != chain_id:
            chain = topology.add_chain(chain_id=this_chain)
            chain_id = this_chain
        residue = topology.add_residue(
            "" if resnames is None else str(resnames[start]),
            chain,
            resSeq=number + 1 if resids is None else int(resids[start]),
            segment_id="" if segids is None else str(segids[start]),
        )
        for i in range(start, end):
            element = _element(symbols[i], known)
            atoms.append(topology.add_atom(names_list[i], element, residue, serial=serials[i]))
    bonds = _optional(frame, schema.BONDS)
    if bonds is not None and bonds.size:
        bonds = bonds.reshape(-1, 2)
        if bonds.min() < 0 or bonds.max() >= count:
            raise ValueError(f"{frame.path}: {schema.BONDS} refers to atoms outside 0..{count - 1}")
        for first, second in bonds.tolist():
            topology.add_bond(atoms[first], atoms[second])
    return topology


def topology_chunks(topology: "md.Topology") -> Dict[str, np.ndarray]:
    """The schema's topology names for an MDTraj Topology.

    Masses are those of the elements (MDTraj keeps no others); virtual sites
    have the element "". Segment ids are stored when one is set, atom serial
    numbers when every atom has one.
    """
    atoms = list(topology.atoms)
    residues = [atom.residue for atom in atoms]
    elements = ["" if atom.element in (None, _VIRTUAL) else atom.element.symbol for atom in atoms]
    chunks: Dict[str, np.ndarray] = {
        schema.NAMES: schema.per_atom_text([atom.name for atom in atoms]),
        schema.ELEMENTS: schema.per_atom_text(elements),
        schema.MASSES: np.array([0.0 if atom.element is None else atom.element.mass for atom in atoms]),
        schema.RESNAMES: schema.per_atom_text([residue.name for residue in residues]),
        schema.RESIDS: np.array([residue.resSeq for residue in residues], dtype=np.int64),
        schema.RESINDICES: np.array([residue.index for residue in residues], dtype=np.int64),
        schema.CHAINIDS: schema.per_atom_text(
            [str(residue.chain.index) if residue.chain.chain_id is None else residue.chain.chain_id
             for residue in residues]
        ),
    }
    segids = [residue.segment_id or "" for residue in residues]
    if any(segids):
        chunks[schema.SEGIDS] = schema.per_atom_text(segids)
    serials = [atom.serial for atom in atoms]
    if atoms and all(serial is not None for serial in serials):
        chunks[schema.IDS] = np.array(serials, dtype=np.int64)
    bonds = [(bond[0].index, bond[1].index) for bond in topology.bonds]
    if bonds:
        chunks[schema.BONDS] = np.array(bonds, dtype=np.int64)
    return chunks


def _given_topology(top: Any) -> "md.Topology":
    if isinstance(top, md.Topology):
        return top
    if isinstance(top, md.Trajectory):
        return top.topology
    return md.load_topology(os.fspath(top))


def _chosen(traj: Trajectory, stride: Optional[int], frame: Optional[int]) -> Trajectory:
    if frame is not None:
        index = int(frame)
        if not -len(traj) <= index < len(traj):
            raise IndexError(f"frame {frame} is out of range: {traj.path} has {len(traj)} frames")
        return traj[[index]]
    if stride is not None and int(stride) < 1:
        raise ValueError(f"stride must be at least 1, not {stride}")
    return traj[:: int(stride or 1)]


@FormatRegistry.register_loader(EXTENSION)
def load(
    filename: PathLike,
    top: Any = None,
    stride: Optional[int] = None,
    atom_indices: Optional[Iterable[int]] = None,
    frame: Optional[int] = None,
) -> "md.Trajectory":
    """Load a rux file in the MD schema as an ``mdtraj.Trajectory``.

    `top` (a Topology, Trajectory or topology file) replaces the file's own
    topology; without it the file's is used. `stride` keeps every stride-th
    frame, `frame` one frame (then `stride` is ignored), `atom_indices` those
    atoms, read alone from the file. A non-periodic box (all zeros) gives no
    unit cell.
    """
    with open_trajectory(filename, "r") as traj:
        schema.require_md(traj)
        if not len(traj):
            raise ValueError(f"{traj.path} holds no frames")
        first = traj[0]
        count = int(np.shape(first[schema.POSITIONS])[0])
        topology = topology_of(first) if top is None else _given_topology(top)
        if topology.n_atoms != count:
            raise ValueError(
                f"the topology has {topology.n_atoms} atoms but {traj.path} holds {count}"
            )
        rows = None
        if atom_indices is not None:
            rows = np.asarray(cast_indices(atom_indices), dtype=np.int64)
            if rows.size and (rows.min() < -count or rows.max() >= count):
                raise IndexError(f"atom_indices outside 0..{count - 1}")
            rows = np.where(rows < 0, rows + count, rows)
            topology = topology.subset(rows)
        view = _chosen(traj, stride, frame)
        xyz = np.asarray(view.series(schema.POSITIONS, rows=rows))
        xyz = xyz.reshape(len(view), -1, 3)
        if _TO_SCHEMA["length"] != 1.0:
            xyz = xyz / _TO_SCHEMA["length"]
        time = None
        if schema.TIME in traj:
            time = np.asarray(view.series(schema.TIME), dtype=np.float64) / _TO_SCHEMA["time"]
        box = None
        if schema.BOX in traj:
            box = np.asarray(view.series(schema.BOX), dtype=np.float64).reshape(-1, 3, 3)
            box = box / _TO_SCHEMA["length"] if schema.is_periodic(box) else None
    result = md.Trajectory(xyz.astype(np.float32, copy=False), topology, time=time)
    if box is not None:
        result.unitcell_vectors = box
    return result


def save(traj: "md.Trajectory", filename: PathLike, *, publish_every: Optional[float] = None) -> None:
    """Write an ``mdtraj.Trajectory`` to a rux file in the MD schema (replacing it).

    The first frame holds the topology; every frame its positions (float32,
    as MDTraj holds them) and time; the box is written when it changes.
    """
    if traj.n_frames == 0:
        raise ValueError("an mdtraj.Trajectory of no frames has no positions to save")
    xyz = np.ascontiguousarray(traj.xyz, dtype=np.float32)
    if _TO_SCHEMA["length"] != 1.0:
        xyz = xyz * np.float32(_TO_SCHEMA["length"])
    times = np.asarray(traj.time, dtype=np.float64) * _TO_SCHEMA["time"]
    vectors = traj.unitcell_vectors
    boxes = None if vectors is None else np.asarray(vectors, dtype=np.float64) * _TO_SCHEMA["length"]
    with schema.create(filename, APPLICATION, "w", publish_every=publish_every) as out:
        previous: Optional[np.ndarray] = None
        for i in range(traj.n_frames):
            chunks: Dict[str, Any] = topology_chunks(traj.topology) if i == 0 else {}
            chunks[schema.POSITIONS] = xyz[i]
            chunks[schema.TIME] = float(times[i])
            box = schema.no_box() if boxes is None else boxes[i]
            if previous is None or not np.array_equal(box, previous):
                chunks[schema.BOX] = box
                previous = box
            out.append(chunks)
