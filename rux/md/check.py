"""Checking a file against the MD schema: ``rux check --schema``.

The element type and shape of every chunk under a schema name are taken from
the index entries of the frames readers see, so nothing but the bonds is read.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

import numpy as np

from .. import _format as fmt
from .._raw import RuxFileView
from ..trajectory import open as open_trajectory
from . import schema

# Element kinds of schema.Name by type code; character chunks are text.
_KIND_OF_TYPE = {code: "i" for code in range(1, 9)}
_KIND_OF_TYPE.update({9: "f", 10: "f", fmt.CHARACTER: "text"})


@dataclass
class SchemaReport:
    file: str
    schema: str
    version: Tuple[int, int]
    applies: bool  # False: the file follows another schema, and nothing was checked
    deviations: List[str] = field(default_factory=list)

    @property
    def clean(self) -> bool:
        return not self.deviations

    def as_dict(self) -> Dict[str, object]:
        return {
            "file": self.file,
            "schema": self.schema,
            "schema_version": list(self.version),
            "md_schema": self.applies,
            "ok": self.clean,
            "deviations": list(self.deviations),
        }


def check_schema(path: str) -> SchemaReport:
    """Every deviation of the file at `path` from the MD schema, in words."""
    with open_trajectory(path, "r") as traj:
        name, version = traj.file.schema, tuple(traj.file.schema_version)
        report = SchemaReport(path, name, (int(version[0]), int(version[1])), name == schema.SCHEMA)
        if report.applies:
            _Checker(traj, report.deviations).run()
    return report


class _Checker:
    def __init__(self, traj, deviations: List[str]) -> None:
        self.traj = traj
        self.store = traj._store
        self.say = deviations.append
        self.natoms: Optional[int] = None

    def run(self) -> None:
        major, minor = self.traj.file.schema_version
        if major != schema.VERSION[0]:
            self.say(
                f"schema version {major}.{minor}: this rux knows {schema.SCHEMA} "
                f"{schema.VERSION[0]}.x, so nothing more was checked"
            )
            return
        self.check_units()
        if len(self.traj) == 0:
            return
        entries = self.entries_by_name()
        self.check_positions(entries.get(schema.POSITIONS))
        for name, spec in schema.KNOWN.items():
            if name in entries and name != schema.POSITIONS:
                self.check_name(spec, entries[name])
        if schema.BONDS in entries and self.natoms is not None:
            self.check_bonds()

    def check_units(self) -> None:
        attrs = self.traj.attrs
        if "units" not in attrs:
            self.say(f"no 'units' attribute (the schema's units are {schema.UNITS})")
        elif attrs["units"] != schema.UNITS:
            self.say(f"units {attrs['units']} differ from the schema's {schema.UNITS}")

    def entries_by_name(self) -> Dict[str, np.ndarray]:
        """The index entries of each schema name in the frames readers see, by frame."""
        store = self.store
        with RuxFileView(self.traj.path) as view:
            names = view.names()
            used = min(view.used_entries(), len(view.index))
            index = np.array(view.index[:used])
        index = index[index["frame"] < np.uint64(store.nfile)]
        wanted = {i: n for i, n in enumerate(names) if n in schema.KNOWN}
        found: Dict[str, List[np.ndarray]] = {}
        for name_id, name in wanted.items():
            found.setdefault(name, []).append(index[index["id"] == name_id])
        return {name: np.sort(np.concatenate(parts), order="frame") for name, parts in found.items()}

    def frame(self, file_frame: int) -> int:
        return self.store.index_of(int(file_frame))

    def check_positions(self, entries: Optional[np.ndarray]) -> None:
        if entries is None or not len(entries):
            self.say("no positions")
            return
        visible = self.store.visible()
        missing = np.setdiff1d(visible, entries["frame"].astype(np.int64))
        if len(missing):
            count = f"{len(missing)} frames do not" if len(missing) > 1 else "the only one"
            self.say(f"frame {self.frame(missing[0])} holds no positions ({count})")
        self.check_name(schema.KNOWN[schema.POSITIONS], entries)
        counts = entries["N"]
        self.natoms = int(counts[0])
        changed = np.flatnonzero(counts != counts[0])
        if len(changed):
            where = self.frame(entries["frame"][changed[0]])
            self.say(f"N changes in frame {where}: {int(counts[changed[0]])} atoms, not {self.natoms}")

    def check_name(self, spec: schema.Name, entries: np.ndarray) -> None:
        name = spec.name
        if spec.topology and len(self.store.visible()):
            first = int(self.store.visible()[0])
            later = entries[entries["frame"] != np.uint64(first)]
            if len(later):
                self.say(f"{name} is written in frame {self.frame(later['frame'][0])}; topology belongs in the first frame only")
        kind = self.kind_of(name, entries)
        if kind is not None and kind not in spec.kinds:
            self.say(f"{name} holds {kind!r} values; the schema stores {spec.kinds!r}")
            return
        for entry in entries:
            problem = self.shape_problem(spec, kind, int(entry["N"]), int(entry["M"]))
            if problem:
                self.say(f"{name} in frame {self.frame(entry['frame'])}: {problem}")
                return

    def kind_of(self, name: str, entries: np.ndarray) -> Optional[str]:
        """The schema kind the entries hold ("f", "i", "U", "b"), or a description of another."""
        store = self.store
        if name in store.strings:
            return "U" if store.strings[name] == "U" else "bytes strings"
        if name in store.boolean:
            return "b"
        kinds = {_KIND_OF_TYPE.get(int(t), f"type {int(t)}") for t in np.unique(entries["type"])}
        if len(kinds) > 1:
            return " and ".join(sorted(kinds))
        kind = kinds.pop()
        return "plain text" if kind == "text" else kind

    def shape_problem(self, spec: schema.Name, kind: Optional[str], rows: int, columns: int) -> str:
        natoms = self.natoms
        if spec.shape == ():
            if spec.name not in self.store.scalar or (rows, columns) != (1, 1):
                return f"a scalar is expected, not ({rows}, {columns})"
            return ""
        if kind == "U":
            # One column a string; one string reads as text, none as an empty uint8 chunk.
            count = 0 if columns == 1 and rows == 0 else columns
            return "" if natoms is None or count == natoms else f"{count} strings for {natoms} atoms"
        expected = []
        for size in spec.shape:
            expected.append(natoms if size == "N" else None if size == "B" else size)
        got = (rows, columns) if len(expected) == 2 else (rows,)
        if len(expected) == 1 and columns != 1:
            return f"shape ({rows}, {columns}), not ({expected[0]},)"
        for want, have in zip(expected, got):
            if want is not None and want != have:
                shown = tuple("N" if s == "N" else "B" if s == "B" else s for s in spec.shape)
                return f"shape {got} where {shown} is expected (N = {natoms})"
        return ""

    def check_bonds(self) -> None:
        first = self.store.first_frame(schema.BONDS)
        bonds = np.asarray(self.traj.file.read_chunk(first, schema.BONDS)).reshape(-1, 2)
        bad = (bonds < 0) | (bonds >= self.natoms)
        if bad.any():
            row = int(np.flatnonzero(bad.any(axis=1))[0])
            self.say(f"bonds row {row} names atom {bonds[row].tolist()} outside 0..{self.natoms - 1}")
