"""Converting trajectories between rux and extended XYZ, through ASE.

ASE reads and writes the XYZ side (``ase.io`` with format "extxyz");
``rux.md.ase`` maps each ``ase.Atoms`` frame to a frame of the MD schema
(docs/md_schema.md) and back, so a converted file opens in every MD tool
that reads rux. ASE is an optional dependency (``pip install rux[xyz]``) and
is imported only when it is needed.

Reading takes files in the MD schema (from any tool) and files in the
earlier "ase-atoms" convention of this module (``rux.md.ase_legacy``: Å,
``numbers``, ``cell``), which also serves files of other schemas. ``names``
(``rux convert --names``) maps the names of that earlier convention to a
file's own (``{"positions": "particles/position", "numbers":
"particles/typeid"}``); the MD schema's names are fixed, so a conversion
given ``names`` reads and writes the earlier convention.
"""

from __future__ import annotations

from typing import Any, Callable, Iterable, Iterator, Mapping, Optional

from .md.ase_legacy import ConversionError

__all__ = [
    "APPLICATION",
    "ConversionError",
    "MissingDependency",
    "atoms_from_frame",
    "create",
    "read_trajectory",
    "require_ase",
    "rux_to_xyz",
    "write_frame",
    "write_trajectory",
    "xyz_to_rux",
]

APPLICATION = "rux convert"

Progress = Callable[[int, Optional[int]], None]
Names = Optional[Mapping[str, str]]


class MissingDependency(ImportError):
    """ASE, needed to read and write XYZ, is not installed."""


def require_ase() -> Any:
    """Imports the parts of ASE the converter uses, or explains how to get them."""
    try:
        import ase
        import ase.io
        from ase.calculators.singlepoint import SinglePointCalculator  # noqa: F401
        from ase.constraints import FixAtoms, FixCartesian  # noqa: F401
    except ImportError:
        raise MissingDependency(
            "converting XYZ needs ASE, which is not installed: pip install rux[xyz]"
        ) from None
    return ase


def create(path: Any, names: Names = None) -> Any:
    """A new rux file for frames written with :func:`write_frame`.

    A ``rux.md.ase.TrajectoryWriter`` in the MD schema; with `names`, a
    writable trajectory in the earlier convention.
    """
    require_ase()
    if names:
        from .md import ase_legacy

        return ase_legacy.create(path)
    from .md.ase import TrajectoryWriter

    return TrajectoryWriter(path, "w", application=APPLICATION)


def write_frame(handle: Any, atoms: Any, names: Names = None) -> None:
    """Writes one ``ase.Atoms`` as a frame of a file that :func:`create` made.

    A ``TrajectoryWriter`` writes the MD schema; a trajectory (or ``RUXFile``)
    of another schema gets the chunks of the earlier convention, named by
    `names`.
    """
    from .md import ase_legacy, schema
    from .md.ase import TrajectoryWriter

    if isinstance(handle, TrajectoryWriter):
        if names:
            raise ConversionError("the MD schema's names are fixed: names need the earlier convention")
        handle.write(atoms)
        return
    file = handle.file if hasattr(handle, "file") else handle
    if file.schema == schema.SCHEMA:
        raise TypeError(
            "frames of the MD schema are written through a writer that keeps track of what "
            "the file holds: rux.md.ase.TrajectoryWriter, or rux.xyz.create"
        )
    ase_legacy.write_frame(handle, atoms, names)


def write_trajectory(
    path: Any, images: Iterable[Any], progress: Optional[Progress] = None, names: Names = None
) -> int:
    """Writes every frame of ``images`` to a new rux file; returns the number of frames."""
    count = 0
    with create(path, names) as handle:
        for atoms in images:
            write_frame(handle, atoms, names)
            count += 1
            if progress is not None:
                progress(count, None)
    return count


def atoms_from_frame(frame: Any, names: Names = None) -> Any:
    """The ``ase.Atoms`` of one ``rux.Frame``.

    Frames that hold ``numbers`` (the earlier convention) or are read with
    `names` convert as before; others as frames of the MD schema.
    """
    require_ase()
    from .md import ase_legacy
    from .md.ase import atoms_from_frame as schema_atoms

    if names or "numbers" in frame:
        return ase_legacy.atoms_from_frame(frame, names)
    return schema_atoms(frame)


def read_trajectory(path: Any, names: Names = None) -> Iterator[Any]:
    """Yields the frames of a rux file as ``ase.Atoms``."""
    require_ase()
    if names:
        yield from _legacy_frames(path, names)
        return
    from .md.ase import TrajectoryReader

    with TrajectoryReader(path) as reader:
        yield from reader


def _legacy_frames(path: Any, names: Names) -> Iterator[Any]:
    from .md import ase_legacy, schema
    from .trajectory import open as open_trajectory

    with open_trajectory(path, "r") as traj:
        if traj.file.schema == schema.SCHEMA:
            raise ConversionError(
                f"{path} is in the MD schema, whose names are fixed: convert it without names"
            )
        for frame in traj:
            yield ase_legacy.atoms_from_frame(frame, names)


# -- files ---------------------------------------------------------------------


def xyz_to_rux(
    xyz_path: Any, rux_path: Any, progress: Optional[Progress] = None, names: Names = None
) -> int:
    """Converts an extended XYZ file into a new rux file; returns the number of frames."""
    ase = require_ase()
    images = ase.io.iread(str(xyz_path), index=":", format="extxyz")
    return write_trajectory(rux_path, _naming_errors(images, xyz_path), progress, names)


def _naming_errors(images: Iterator[Any], xyz_path: Any) -> Iterator[Any]:
    """The frames of an XYZ reader, with the file's name added to its parse errors."""
    try:
        yield from images
    except (OSError, ValueError, IndexError) as error:
        if isinstance(error, OSError) and error.filename is not None:
            raise
        raise ConversionError(f"{xyz_path}: {error}") from error


def rux_to_xyz(
    rux_path: Any, xyz_path: Any, progress: Optional[Progress] = None, names: Names = None
) -> int:
    """Converts a rux file into a new extended XYZ file; returns the number of frames."""
    ase = require_ase()
    from .md.ase import TrajectoryReader

    with TrajectoryReader(rux_path) as reader:
        total = len(reader)
        frames = _legacy_frames(rux_path, names) if names else iter(reader)
        with open(xyz_path, "w") as out:
            for count, atoms in enumerate(frames, 1):
                ase.io.write(out, atoms, format="extxyz")
                if progress is not None:
                    progress(count, total)
    return total
