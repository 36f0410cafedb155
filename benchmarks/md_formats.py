"""MD formats through MDAnalysis: rux files against DCD, XTC, TRR and H5MD.

Two systems of the MDAnalysisTests data, their frames repeated to about
1,000 (`md_frames`): adenylate kinase in vacuum (PSF + DCD, 3,341 atoms) and
the same protein in water (TPR + XTC, 47,681 atoms). Each is written by
MDAnalysis's own writers (DCD, XTC, TRR, H5MD when h5py is there) and by the
rux adapter, every one through `AtomGroup.write(path, frames="all")` from
the same frames in memory. Every workload goes through MDAnalysis and makes
the same call on every format, on a new Universe per repetition:

- Universe(): `mda.Universe("run.rux")` against `mda.Universe(topology,
  trajectory)`. MDAnalysis keeps the frame offsets of XTC and TRR next to
  the file after the first build; the timed builds use them, as every build
  after the first does. The note gives XTC's first build, offsets scanned.
- RMSD: `rms.RMSD(u, select=...).run()` over every frame, the universe built
  beforehand.
- timeseries: `u.trajectory.timeseries(atomgroup, order="fac")` of all atoms, and
  of the C-alpha atoms next to rux's all-atom read in the same repetition.
- read_series with rows: rux.fl alone, open + `read_series("positions",
  rows=...)` of 1% of the rows (a sorted random sample, seeded, so that the
  rows lie apart) + close, against the same of every row; the note gives
  the same count of rows in one run.

Before timing, every file is read back through MDAnalysis and compared with
the frames it was written from.
"""

import glob
import importlib
import os
import shutil
import tempfile
import warnings
from dataclasses import dataclass, field
from typing import Dict, Optional

import numpy

from common import Row, Timer, h5py, interleave, median

FORMATS = ("dcd", "xtc", "trr", "h5md")
EXTENSIONS = {"rux": "rux", "dcd": "dcd", "xtc": "xtc", "trr": "trr", "h5md": "h5md"}
# Largest difference from the written positions (Angstrom) each format may
# read back: XTC keeps 0.001 nm; the others store float32, some in nm.
TOLERANCE = {"rux": 1e-3, "dcd": 1e-3, "xtc": 6e-3, "trr": 1e-3, "h5md": 1e-3}
# H5MD's usual units; the in-memory frames the files are written from carry none.
H5MD_UNITS = {"lengthunit": "nm", "timeunit": "ps"}
ROWS_FRACTION = 0.01
POSITIONS = "positions"  # the schema's name, also in rux.md.schema


@dataclass(frozen=True)
class System:
    key: str
    title: str
    topology: str  # names in MDAnalysisTests.datafiles
    trajectory: str
    native: str  # the format the system comes in
    rmsd_select: str


SYSTEMS = (
    System("psf_dcd", "PSF + DCD", "PSF", "DCD", "dcd", "backbone"),
    System("tpr_xtc", "TPR + XTC", "TPR", "XTC", "xtc", "name CA"),
)


@dataclass
class Files:
    system: System
    topology: str
    paths: Dict[str, str]
    n_atoms: int
    frames: int
    source_frames: int
    ca: numpy.ndarray
    sizes: Dict[str, int] = field(default_factory=dict)

    @property
    def description(self):
        return f"{self.system.title}, {self.n_atoms:,} atoms x {self.frames:,} frames"


def unavailable():
    """Why the family cannot run here, or None."""
    for module in ("MDAnalysis", "MDAnalysisTests.datafiles"):
        try:
            importlib.import_module(module)
        except ImportError:
            return f"{module.split('.')[0]} is not installed"
    return None


def adapter_missing():
    """Why the rux adapter cannot be used (its column is then n/a), or None."""
    try:
        importlib.import_module("rux.mdanalysis")
    except ImportError as error:
        return f"no rux MDAnalysis adapter here ({error})"
    return None


def rows_missing(fl, path):
    """Why read_series cannot select rows, or None."""
    with fl.open(path, "r") as f:
        try:
            f.read_series(POSITIONS, frames=[0], rows=[0])
        except TypeError as error:
            return f"read_series takes no rows here ({error})"
    return None


# ---- the files ----


def make_files(mda, system, config, directory, with_rux):
    """Every format of the system's frames, repeated to config.md_frames."""
    from MDAnalysis.coordinates.memory import MemoryReader

    datafiles = importlib.import_module("MDAnalysisTests.datafiles")
    topology = getattr(datafiles, system.topology)
    u = mda.Universe(topology, getattr(datafiles, system.trajectory))
    source_frames, dt = len(u.trajectory), u.trajectory.dt
    positions = numpy.stack([ts.positions.copy() for ts in u.trajectory])
    boxes = [None if ts.dimensions is None else ts.dimensions.copy() for ts in u.trajectory]
    pick = numpy.arange(config.md_frames) % source_frames
    dimensions = None if any(b is None for b in boxes) else numpy.stack(boxes)[pick]
    u.trajectory.close()
    u.load_new(positions[pick], format=MemoryReader, order="fac", dimensions=dimensions, dt=dt)
    del positions
    paths = {}
    for fmt in ("rux",) + FORMATS:
        if (fmt == "rux" and not with_rux) or (fmt == "h5md" and h5py is None):
            continue
        paths[fmt] = os.path.join(directory, f"{system.key}.{EXTENSIONS[fmt]}")
        u.atoms.write(paths[fmt], frames="all", **(H5MD_UNITS if fmt == "h5md" else {}))
    files = Files(system, topology, paths, u.atoms.n_atoms, config.md_frames, source_frames,
                  u.select_atoms("name CA").indices)
    files.sizes = {fmt: os.path.getsize(path) for fmt, path in paths.items()}
    check_files(mda, files, u)
    return files


def universe(mda, files, fmt):
    if fmt == "rux":
        return mda.Universe(files.paths["rux"])
    return mda.Universe(files.topology, files.paths[fmt])


def close(u):
    u.trajectory.close()


def check_files(mda, files, written):
    """Each format reads back the frames and, for rux, the topology written."""
    expected = written.trajectory.timeseries(order="fac")
    for fmt in files.paths:
        u = universe(mda, files, fmt)
        try:
            assert u.atoms.n_atoms == files.n_atoms and len(u.trajectory) == files.frames, fmt
            ca = u.select_atoms("name CA")
            assert numpy.array_equal(ca.indices, files.ca), fmt
            got = u.trajectory.timeseries(atomgroup=ca, order="fac")
            assert numpy.allclose(got, expected[:, files.ca], rtol=0, atol=TOLERANCE[fmt]), fmt
            if fmt == "rux":
                got = u.trajectory.timeseries(order="fac")
                assert numpy.allclose(got, expected, rtol=0, atol=TOLERANCE[fmt]), fmt
                for attribute in ("names", "resnames", "resids", "segids"):
                    assert numpy.array_equal(getattr(u.atoms, attribute),
                                             getattr(written.atoms, attribute)), attribute
                assert len(u.residues) == len(written.residues)
                assert len(u.select_atoms(files.system.rmsd_select)) == len(
                    written.select_atoms(files.system.rmsd_select))
        finally:
            close(u)


def offsets_files(path):
    """The frame offsets MDAnalysis keeps beside an XTC or TRR file."""
    directory, name = os.path.split(path)
    return glob.glob(os.path.join(directory, f".{name}_offsets.*"))


# ---- one timed pass per contender; each returns milliseconds ----


def build_ms(mda, files, fmt, first=False):
    if first:
        for path in offsets_files(files.paths[fmt]):
            os.unlink(path)
    with Timer() as t:
        u = universe(mda, files, fmt)
    close(u)
    return t.seconds * 1e3


def rmsd_ms(mda, files, fmt):
    from MDAnalysis.analysis import rms

    u = universe(mda, files, fmt)
    with Timer() as t:
        rms.RMSD(u, select=files.system.rmsd_select).run()
    close(u)
    return t.seconds * 1e3


def timeseries_ms(mda, files, fmt, select=None):
    u = universe(mda, files, fmt)
    group = None if select is None else u.select_atoms(select)
    with Timer() as t:
        u.trajectory.timeseries(atomgroup=group, order="fac")
    close(u)
    return t.seconds * 1e3


def series_ms(fl, path, rows=None):
    with Timer() as t:
        f = fl.open(path, "r")
        if rows is None:
            f.read_series(POSITIONS)
        else:
            f.read_series(POSITIONS, rows=rows)
        f.close()
    return t.seconds * 1e3


# ---- the rows of one system ----


def per_format(files, run):
    """{fmt: callable} of every format written, rux first."""
    runs = {"rux": None}
    runs.update({fmt: (lambda fmt=fmt: run(fmt)) for fmt in files.paths})
    return runs


def md_row(workload, label, unit, values, note, files, limit):
    return Row(workload, label, unit, False, values, note, limit=limit,
               extra={"system": files.system.key, "atoms": files.n_atoms,
                      "frames": files.frames})


def check_rmsd(mda, files):
    """rux's RMSD is the native format's, to float32 rounding."""
    from MDAnalysis.analysis import rms

    results = {}
    for fmt in ("rux", files.system.native):
        u = universe(mda, files, fmt)
        results[fmt] = rms.RMSD(u, select=files.system.rmsd_select).run().results.rmsd[:, 2]
        close(u)
    assert numpy.allclose(results["rux"], results[files.system.native], rtol=0,
                          atol=TOLERANCE[files.system.native])


def system_rows(mda, fl, config, files, missing):
    rows = []
    system, repeat, described = files.system, config.md_repeat, files.description
    with_rux = "rux" in files.paths
    values = interleave({**per_format(files, lambda fmt: build_ms(mda, files, fmt)),
                         "xtc_first": lambda: build_ms(mda, files, "xtc", first=True)}, repeat)
    first = median(values.pop("xtc_first"))
    rows.append(md_row(
        "md_universe", f"Universe(), {described}", "ms", values,
        f"mda.Universe(rux file) against mda.Universe({system.title.replace(' + ', ', ')}) "
        f"and the same topology with each other format; XTC and TRR with their offsets "
        f"cached (the first XTC build, scanning them: {first:.4g} ms)",
        files, system.native))
    rows[-1].extra["xtc_first_build_ms"] = first

    if with_rux:
        check_rmsd(mda, files)
    values = interleave(per_format(files, lambda fmt: rmsd_ms(mda, files, fmt)), repeat)
    rows.append(md_row(
        "md_rmsd", f"RMSD of {system.rmsd_select}, {described}", "ms", values,
        f"rms.RMSD(u, select={system.rmsd_select!r}).run() over every frame, universe built "
        f"beforehand", files, "dcd"))

    values = interleave(per_format(files, lambda fmt: timeseries_ms(mda, files, fmt)), repeat)
    rows.append(md_row(
        "md_timeseries", f"timeseries, all atoms, {described}", "ms", values,
        "u.trajectory.timeseries(order='fac') of every atom, into a new array",
        files, "dcd"))

    runs = per_format(files, lambda fmt: timeseries_ms(mda, files, fmt, "name CA"))
    runs["rux_all"] = (lambda: timeseries_ms(mda, files, "rux")) if with_rux else None
    values = interleave(runs, repeat)
    rows.append(md_row(
        "md_timeseries_ca", f"timeseries, {len(files.ca)} C-alpha atoms, {described}", "ms",
        values, "u.trajectory.timeseries(atomgroup=u.select_atoms('name CA'), order='fac'); "
        "rux all atoms: the all-atom timeseries of the rux file in the same repetition",
        files, "rux_all"))

    count = max(1, round(files.n_atoms * ROWS_FRACTION))
    sample = numpy.sort(numpy.random.default_rng(5).choice(files.n_atoms, count, replace=False))
    # The same number of rows in one run, as a residue range selects them.
    block = numpy.arange(count) + (files.n_atoms - count) // 2
    rows_ok = with_rux and "rows" not in missing
    if rows_ok:
        with fl.open(files.paths["rux"], "r") as f:
            every = f.read_series(POSITIONS)
            for selection in (sample, block):
                assert numpy.array_equal(f.read_series(POSITIONS, rows=selection),
                                         every[:, selection])
            del every
    values = interleave({
        "rux": (lambda: series_ms(fl, files.paths["rux"], sample)) if rows_ok else None,
        "rux_all": (lambda: series_ms(fl, files.paths["rux"])) if with_rux else None,
        "rux_block": (lambda: series_ms(fl, files.paths["rux"], block)) if rows_ok else None,
    }, repeat)
    in_block = median(values.pop("rux_block"))
    rows.append(md_row(
        "md_read_series_rows", f"read_series, {count:,} rows (1%) spread, {described}", "ms",
        values, f"rux.fl: open, read_series('positions', rows=...) of {count:,} sorted rows drawn "
        f"at random, close; rux all rows: the same with every row; the same count of rows in one "
        f"run: {'n/a' if in_block is None else f'{in_block:.3g}'} ms", files, "rux_all"))
    rows[-1].extra["one_run_ms"] = in_block

    rows.append(Row("md_sizes", f"file size, {described}", "MB", False,
                    {fmt: [size / 1e6] for fmt, size in files.sizes.items()},
                    f"{files.source_frames} frames of MDAnalysisTests' {system.trajectory} "
                    f"repeated", extra={"system": system.key, "bytes": dict(files.sizes)}))
    return rows


def md_formats(fl, config, data_dir, progress):
    """The rows of both systems, and why rux's figures are n/a where they are."""
    import MDAnalysis as mda

    missing = {}
    reason = adapter_missing()
    if reason:
        missing["adapter"] = reason
    directory = tempfile.mkdtemp(prefix="md-", dir=data_dir)
    rows = []
    try:
        with warnings.catch_warnings():
            # MDAnalysis's own notices (DCD timesteps, guessed attributes) only.
            warnings.filterwarnings("ignore", module="MDAnalysis")
            for system in SYSTEMS:
                progress(f"MD formats: writing {system.title} x {config.md_frames:,} frames")
                files = make_files(mda, system, config, directory, "adapter" not in missing)
                if "rux" in files.paths and "rows" not in missing:
                    reason = rows_missing(fl, files.paths["rux"])
                    if reason:
                        missing["rows"] = reason
                progress(f"MD formats: {files.description}")
                rows += system_rows(mda, fl, config, files, missing)
                for path in list(files.paths.values()):
                    for extra in offsets_files(path):
                        os.unlink(extra)
                    os.unlink(path)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    for row in rows:
        reasons = [missing[key] for key in ("adapter", "rows") if key in missing and (
            key == "adapter" or row.workload == "md_read_series_rows")]
        if reasons and row.workload != "md_sizes":
            row.note += "; rux n/a: " + "; ".join(reasons)
    return rows
