"""MDAnalysis reads and writes rux: its own conformance classes, and round trips of its test data."""

import numpy as np
import pytest

mda = pytest.importorskip("MDAnalysis")
pytest.importorskip("MDAnalysisTests")

import rux
from MDAnalysis.analysis import rms
from MDAnalysis.lib.mdamath import triclinic_vectors
from MDAnalysis.transformations import translate
from MDAnalysisTests import datafiles
from MDAnalysisTests.coordinates.base import BaseReference, BaseWriterTest, MultiframeReaderTest
from MDAnalysisTests.topology.base import ParserBase
from numpy.testing import assert_allclose, assert_array_equal
from rux.md import schema
from rux.md.check import check_schema
from rux.mdanalysis import RUXParser, RUXReader, RUXWriter

pytestmark = pytest.mark.filterwarnings("ignore:DCDReader currently makes independent timesteps")

# The attributes a round trip keeps, where the source has them.
ATTRIBUTES = ("names", "types", "elements", "masses", "charges", "ids", "chainIDs", "resnames", "resids", "resnums", "segids")


def write_reference(path):
    """The 5-atom reference trajectory of MDAnalysisTests, written through rux.open, not RUXWriter."""
    u = mda.Universe(datafiles.COORDINATES_TOPOLOGY, datafiles.COORDINATES_TRR, convert_units=False)
    atoms = u.atoms
    with schema.create(path, "tests") as traj:
        for ts in u.trajectory:
            frame = {
                schema.POSITIONS: ts.positions.copy(),
                schema.VELOCITIES: ts.velocities.copy(),
                schema.FORCES: ts.forces.copy(),
                schema.BOX: triclinic_vectors(ts.dimensions).astype(np.float64),
                schema.TIME: np.float64(ts.time),
                schema.STEP: np.int64(10 * ts.frame),
                schema.POTENTIAL_ENERGY: np.float64(-1.5 * ts.frame),
            }
            if ts.frame == 0:  # residues as runs: no atoms/resindices
                frame[schema.NAMES] = atoms.names.astype(str)
                frame[schema.RESNAMES] = atoms.resnames.astype(str)
                frame[schema.RESIDS] = atoms.resids.astype(np.int64)
                frame[schema.SEGIDS] = atoms.segids.astype(str)
                frame[schema.CHAINIDS] = atoms.chainIDs.astype(str)
                frame[schema.IDS] = atoms.ids.astype(np.int64)
            traj.append(frame)


@pytest.fixture(scope="module")
def coordinates_rux(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("reference") / "coordinates.rux")
    write_reference(path)
    return path


@pytest.fixture(scope="module")
def adk(tmp_path_factory):
    """PSF + DCD (3341 atoms, 98 frames) and the rux file RUXWriter made of it."""
    source = mda.Universe(datafiles.PSF, datafiles.DCD)
    path = str(tmp_path_factory.mktemp("adk") / "adk.rux")
    source.atoms.write(path, frames="all")
    return source, path


@pytest.fixture(scope="module")
def written(request, adk, tmp_path_factory):
    if request.param == "psf-dcd":
        return adk
    source = mda.Universe(datafiles.TPR, datafiles.XTC)
    path = str(tmp_path_factory.mktemp("tpr") / "adk_oplsaa.rux")
    source.atoms.write(path, frames="all")
    return source, path


# -- MDAnalysisTests' conformance classes ---------------------------------------------


class RUXReference(BaseReference):
    def __init__(self, path):
        super().__init__()
        self.trajectory = path
        self.topology = datafiles.COORDINATES_TOPOLOGY  # a PDB: rux for coordinates only
        self.reader = RUXReader
        self.writer = RUXWriter
        self.ext = "rux"
        self.prec = 3
        self.changing_dimensions = True
        for ts in (self.first_frame, self.second_frame, self.last_frame, self.jump_to_frame):
            ts.velocities = ts.positions / 10
            ts.forces = ts.positions / 100

    def iter_ts(self, i):
        ts = super().iter_ts(i)
        ts.velocities = ts.positions / 10
        ts.forces = ts.positions / 100
        return ts


class TestRUXReader(MultiframeReaderTest):
    @staticmethod
    @pytest.fixture()
    def ref(coordinates_rux):
        return RUXReference(coordinates_rux)


class TestRUXWriter(BaseWriterTest):
    @staticmethod
    @pytest.fixture()
    def ref(coordinates_rux):
        return RUXReference(coordinates_rux)


class TestRUXParserReference(ParserBase):
    parser = RUXParser
    expected_attrs = ["names", "resnames", "chainIDs"]
    guessed_attrs = ["types", "masses"]
    expected_n_atoms, expected_n_residues, expected_n_segments = 5, 5, 1

    @pytest.fixture
    def filename(self, coordinates_rux):
        return coordinates_rux


class TestRUXParserWritten(ParserBase):
    parser = RUXParser
    expected_attrs = ["names", "types", "masses", "charges", "resnames", "bonds"]
    expected_n_atoms, expected_n_residues, expected_n_segments = 3341, 214, 1

    @pytest.fixture
    def filename(self, adk):
        return adk[1]


class TestRUXParserPositionsOnly(ParserBase):
    """The defaults MDAnalysis needs, when the file states nothing but positions."""

    parser = RUXParser
    expected_n_atoms, expected_n_residues, expected_n_segments = 4, 1, 1

    @pytest.fixture
    def filename(self, tmp_path):
        path = str(tmp_path / "positions.rux")
        with schema.create(path, "tests") as traj:
            traj.append({schema.POSITIONS: np.zeros((4, 3), np.float32)})
        return path


# -- round trips of real data ------------------------------------------------------------


def bond_set(universe):
    return {tuple(sorted(pair)) for pair in universe.bonds.indices.tolist()}


@pytest.mark.parametrize("written", ["psf-dcd", "tpr-xtc"], indirect=True)
def test_round_trip(written):
    source, path = written
    copy = mda.Universe(path)
    assert copy.trajectory.n_frames == source.trajectory.n_frames
    compared = [a for a in ATTRIBUTES if hasattr(source.atoms, a)]
    assert {"names", "masses", "charges", "resids", "segids"} <= set(compared)
    for attribute in compared:
        assert_array_equal(getattr(copy.atoms, attribute), getattr(source.atoms, attribute), err_msg=attribute)
    assert len(copy.residues) == len(source.residues) and len(copy.segments) == len(source.segments)
    assert list(copy._topology.guessed_attributes) == []
    assert bond_set(copy) == bond_set(source)
    for theirs, ours in zip(source.trajectory, copy.trajectory):
        assert_allclose(ours.positions, theirs.positions, rtol=1e-6, atol=1e-5)
        assert ours.time == pytest.approx(theirs.time)
        assert ours.data["step"] == theirs.data.get("step", theirs.frame)
        if theirs.dimensions is None:
            assert ours.dimensions is None
        else:
            assert_allclose(ours.dimensions, theirs.dimensions, rtol=1e-5)
    expected = rms.RMSD(source, select="name CA").run().results.rmsd
    assert_allclose(rms.RMSD(copy, select="name CA").run().results.rmsd, expected, atol=1e-4)
    report = check_schema(path)
    assert report.clean, report.deviations


def test_analysis_runs_on_two_processes(adk):
    source, path = adk
    u = mda.Universe(path)
    parallel = rms.RMSD(u, select="backbone").run(backend="multiprocessing", n_workers=2)
    serial = rms.RMSD(source, select="backbone").run()
    assert_allclose(parallel.results.rmsd, serial.results.rmsd, atol=1e-4)


@pytest.mark.parametrize(
    "atoms, start, stop, step, order",
    [
        (None, None, None, None, "fac"),
        ("name CA", 5, 50, 7, "afc"),
        ([30, 2, 17, 2], None, None, -3, "cfa"),  # unsorted, repeated, backwards
        ("transformed", 1, 9, 2, "caf"),
    ],
)
def test_timeseries_is_the_frame_loop(adk, atoms, start, stop, step, order):
    u = mda.Universe(adk[1])
    if atoms == "transformed":
        u.trajectory.add_transformations(translate([1.0, 2.0, 3.0]))
        group = u.atoms[:10]
    elif isinstance(atoms, list):
        group = u.atoms[atoms]
    else:
        group = u.atoms if atoms is None else u.select_atoms(atoms)
    chosen = None if atoms is None else group
    result = u.trajectory.timeseries(atomgroup=chosen, start=start, stop=stop, step=step, order=order)
    loop = np.array([group.positions for _ in u.trajectory[start:stop:step]])
    assert result.dtype == np.float32 and len(loop) > 1
    assert_array_equal(result, np.einsum(f"fac->{order}", loop))


def test_writer_stores_the_box_once_and_timestep_data(coordinates_rux, tmp_path):
    u = mda.Universe(coordinates_rux)
    path = str(tmp_path / "copy.rux")
    box = u.dimensions.copy()
    with mda.Writer(path, u.atoms.n_atoms) as writer:
        for ts in u.trajectory:
            ts.dimensions = box
            writer.write(u)
    with rux.open(path) as traj:
        assert traj.file.application.startswith("MDAnalysis")
        assert [schema.BOX in f.written for f in traj.frames([schema.BOX])] == [True] + [False] * 4
    copy = mda.Universe(path)
    for theirs, ours in zip(u.trajectory, copy.trajectory):
        assert ours.data["step"] == 10 * theirs.frame
        assert ours.data["potential_energy"] == -1.5 * theirs.frame
        assert_allclose(ours.dimensions, box, rtol=1e-6)


def test_once_written_names(tmp_path):
    """Box, velocities and observables from an earlier frame; none before the first that holds them."""
    path = str(tmp_path / "sparse.rux")
    x = np.arange(6, dtype=np.float64).reshape(2, 3)
    box = np.diag([2.0, 3.0, 4.0])
    with schema.create(path, "tests") as traj:
        traj.append({schema.POSITIONS: x})
        traj.append({schema.POSITIONS: x, schema.BOX: box, schema.VELOCITIES: x, schema.TEMPERATURE: 300.0})
        traj.append({schema.POSITIONS: x})
        traj.append({schema.POSITIONS: x, schema.BOX: schema.no_box()})
        traj.attrs["note"] = "set after the last frame, so stored in a frame of attributes only"
    reader = RUXReader(path)
    assert len(reader) == 4
    dims, velocities, temperatures = [], [], []
    for ts in reader:
        dims.append(None if ts.dimensions is None else ts.dimensions.tolist())
        velocities.append(ts.has_velocities and ts.velocities[1, 0])
        temperatures.append(ts.data.get("temperature"))
        assert_allclose(ts.positions, 10 * x)
    assert dims == [None, [20, 30, 40, 90, 90, 90], [20, 30, 40, 90, 90, 90], None]
    assert velocities == [False, 30, 30, 30]
    assert temperatures == [None, 300, 300, 300]


@pytest.mark.parametrize("problem", ["schema", "version", "no positions", "atom count"])
def test_refuses(tmp_path, problem):
    path = str(tmp_path / "bad.rux")
    frames = [{schema.POSITIONS: np.zeros((3, 3))} for _ in range(3)]
    if problem == "schema":
        traj = rux.open(path, "w", "tests", "ase-atoms", (1, 0))
    elif problem == "version":
        traj = rux.open(path, "w", "tests", schema.SCHEMA, (2, 0))
    else:
        traj = schema.create(path, "tests")
    if problem == "no positions":
        frames = [{schema.TIME: 0.0}]
    if problem == "atom count":
        frames[2] = {schema.POSITIONS: np.zeros((4, 3))}
    with traj:
        traj.extend(frames)
    if problem != "atom count":
        with pytest.raises(ValueError, match="MD trajectory|reads rux-md 1|holds no 'positions'"):
            mda.Universe(path)
        return
    reader = RUXReader(path)
    reader[1]
    for read in (lambda: reader[2], reader.timeseries):
        with pytest.raises(ValueError, match="frame 2 holds 'positions' of shape"):
            read()


def test_writer_refusals(tmp_path, coordinates_rux):
    u = mda.Universe(coordinates_rux)
    with pytest.raises(ValueError, match="no atoms"):
        RUXWriter(str(tmp_path / "none.rux"), 0)
    with RUXWriter(str(tmp_path / "other.rux"), 4) as writer:
        with pytest.raises(ValueError, match="5 atoms given"):
            writer.write(u)
