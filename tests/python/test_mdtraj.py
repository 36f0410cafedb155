"""MDTraj loads and saves rux files; MDTraj's own XTC loader is the reference.

The data are MDAnalysisTests' cobrotoxin in water (19,385 atoms, 3 frames,
a PDB topology with virtual sites and an XTC).
"""

import numpy as np
import pytest

import rux
from rux.md import schema

md = pytest.importorskip("mdtraj")
datafiles = pytest.importorskip("MDAnalysisTests.datafiles")
import rux.mdtraj  # noqa: E402

PDB, XTC = datafiles.PDB_sub_sol, datafiles.XTC_sub_sol


@pytest.fixture(scope="module")
def topology():
    return md.load_topology(PDB)


@pytest.fixture(scope="module")
def reference(topology):
    return md.load(XTC, top=topology)


@pytest.fixture(scope="module")
def saved(reference, tmp_path_factory):
    path = tmp_path_factory.mktemp("mdtraj") / "cobrotoxin.rux"
    rux.mdtraj.save(reference, path)
    return path


def assert_same(loaded, expected):
    np.testing.assert_array_equal(loaded.xyz, expected.xyz)
    np.testing.assert_allclose(loaded.time, expected.time, rtol=1e-6)
    np.testing.assert_allclose(loaded.unitcell_vectors, expected.unitcell_vectors, atol=1e-6)
    assert loaded.topology == expected.topology


def test_round_trip(reference, saved):
    loaded = rux.mdtraj.load(saved)
    assert_same(loaded, reference)
    atoms, expected = list(loaded.topology.atoms), list(reference.topology.atoms)
    assert [a.serial for a in atoms] == [a.serial for a in expected]
    assert sum(a.element is md.element.virtual for a in atoms) == sum(
        a.element is md.element.virtual for a in expected) > 0
    assert [c.chain_id for c in loaded.topology.chains] == [c.chain_id for c in reference.topology.chains]
    assert loaded.topology.n_bonds == reference.topology.n_bonds > 0
    assert_same(rux.mdtraj.load(saved, frame=-1), reference[-1])
    with rux.open(saved) as traj:
        assert traj.file.schema == schema.SCHEMA and traj.file.application == "MDTraj"
        assert traj.series(schema.POSITIONS).dtype == np.float32
        np.testing.assert_array_equal(traj[0][schema.RESIDS][:3], [1, 1, 1])


SELECTIONS = [
    {},
    {"stride": 2},
    {"frame": 1},
    {"atom_indices": [0, 1, 2, 100, 19384]},
    {"atom_indices": np.arange(5000, 6000), "stride": 2},
    {"atom_indices": [7, 3, 5]},  # not sorted: MDTraj keeps the order of the rows
]


@pytest.mark.filterwarnings("ignore:atom_indices are not monotonically increasing")
@pytest.mark.parametrize("options", SELECTIONS, ids=lambda o: ",".join(sorted(o)) or "all")
@pytest.mark.parametrize("through", ["rux.mdtraj.load", "md.load"])
def test_selections_match_xtc(saved, topology, options, through):
    expected = md.load(XTC, top=topology, **options)
    if through == "md.load":
        loaded = md.load(str(saved), top=topology, **options)
    else:
        loaded = rux.mdtraj.load(saved, **options)
    assert_same(loaded, expected)


def test_md_load_with_a_topology_file(saved, reference):
    from mdtraj.formats.registry import FormatRegistry

    assert FormatRegistry.loaders[".rux"] is rux.mdtraj.load
    assert_same(md.load(str(saved), top=PDB, frame=2), reference[2])


def test_given_topology_replaces_the_files(saved, reference):
    renamed = reference.topology.copy()
    next(iter(renamed.atoms)).name = "X"
    loaded = rux.mdtraj.load(saved, top=renamed, frame=0)
    assert next(iter(loaded.topology.atoms)).name == "X"


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"frame": 3}, IndexError, "frame 3 is out of range"),
        ({"stride": 0}, ValueError, "stride must be at least 1"),
        ({"atom_indices": [19385]}, IndexError, "atom_indices outside"),
        ({"top": "small"}, ValueError, "the topology has 3 atoms but"),
    ],
)
def test_bad_requests(saved, reference, options, error, message):
    if options.get("top") == "small":
        options = {"top": reference.topology.subset([0, 1, 2])}
    with pytest.raises(error, match=message):
        rux.mdtraj.load(saved, **options)


def test_another_schema_is_refused(tmp_path):
    path = tmp_path / "other.rux"
    with rux.open(path, "w", "test", "other", (1, 0)) as traj:
        traj.append({schema.POSITIONS: np.zeros((2, 3), np.float32)})
    with pytest.raises(ValueError, match="is not an MD trajectory"):
        rux.mdtraj.load(path)


def test_changing_and_missing_boxes(reference, tmp_path):
    part = reference[:3]
    # The box of the data changes every frame; this one changes at frame 2 only.
    part.unitcell_lengths = np.repeat(part.unitcell_lengths[:1], 3, axis=0) * np.float32([[1], [1], [1.1]])
    rux.mdtraj.save(part, tmp_path / "growing.rux")
    with rux.open(tmp_path / "growing.rux") as traj:
        assert [schema.BOX in traj[i].written for i in range(3)] == [True, False, True]
    assert_same(rux.mdtraj.load(tmp_path / "growing.rux"), part)

    bare = md.Trajectory(reference.xyz[:2], reference.topology)
    rux.mdtraj.save(bare, tmp_path / "bare.rux")
    loaded = rux.mdtraj.load(tmp_path / "bare.rux")
    assert loaded.unitcell_vectors is None
    np.testing.assert_array_equal(loaded.xyz, bare.xyz)


@pytest.mark.parametrize(
    "topology, chains, residues",
    [
        ({}, [None], [("", 1)]),  # positions alone: one chain, one residue
        # Residues from runs of (resid, resname), chains from segids without chainids.
        ({schema.RESIDS: np.array([4, 4, 5, 4]), schema.RESNAMES: np.array(["A", "A", "A", "A"]),
          schema.SEGIDS: np.array(["S", "S", "S", "T"])}, ["S", "T"], [("A", 4), ("A", 5), ("A", 4)]),
        # resindices win over the runs.
        ({schema.RESINDICES: np.array([0, 0, 0, 1]), schema.RESIDS: np.array([1, 2, 3, 4])},
         [None], [("", 1), ("", 4)]),
    ],
)
def test_topology_defaults(tmp_path, topology, chains, residues):
    path = tmp_path / "written.rux"
    with schema.create(path, "test") as traj:
        traj.append(dict(topology, **{schema.POSITIONS: np.arange(12, dtype=np.float32).reshape(4, 3)}))
    loaded = rux.mdtraj.load(path)
    assert [chain.chain_id for chain in loaded.topology.chains] == chains
    assert [(r.name, r.resSeq) for r in loaded.topology.residues] == residues
    assert {atom.element for atom in loaded.topology.atoms} == {md.element.virtual}
    assert loaded.time.tolist() == [0.0]  # MDTraj's default without a stored time
    np.testing.assert_array_equal(loaded.xyz[0], np.arange(12).reshape(4, 3))


def test_empty_trajectory_is_not_saved(reference, tmp_path):
    with pytest.raises(ValueError, match="no frames"):
        rux.mdtraj.save(reference[:0], tmp_path / "empty.rux")
    assert not (tmp_path / "empty.rux").exists()
