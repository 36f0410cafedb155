"""``rux convert`` of MD formats through MDAnalysis, and its one-line errors."""

import sys

import numpy as np
import pytest

mda = pytest.importorskip("MDAnalysis")
datafiles = pytest.importorskip("MDAnalysisTests.datafiles")

import rux  # noqa: E402
import rux.mdanalysis  # noqa: E402,F401
from rux import cli  # noqa: E402
from rux.md import schema  # noqa: E402


def run(capsys, *argv):
    status = cli.main([str(arg) for arg in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


@pytest.fixture(scope="module")
def adk(tmp_path_factory):
    """PSF + DCD of adenylate kinase converted into rux by the command."""
    path = tmp_path_factory.mktemp("convert") / "adk.rux"
    assert cli.main(["convert", datafiles.PSF, datafiles.DCD, str(path)]) == 0
    return path


def test_topology_and_trajectory_convert_into_the_schema(adk, capsys):
    reference = mda.Universe(datafiles.PSF, datafiles.DCD)
    with rux.open(adk) as traj:
        assert traj.file.schema == schema.SCHEMA and len(traj) == len(reference.trajectory)
        positions = traj.series(schema.POSITIONS)
        assert traj[0][schema.NAMES].tolist() == reference.atoms.names.tolist()
    expected = np.array([ts.positions.copy() for ts in reference.trajectory])
    np.testing.assert_allclose(positions * 10.0, expected, rtol=1e-6, atol=1e-5)
    status, out, _ = run(capsys, "check", "--schema", adk)
    assert status == 0 and "follows the MD schema" in out


@pytest.mark.parametrize("suffix, tolerance", [("xtc", 1e-2), ("dcd", 1e-4), ("trr", 1e-4)])
def test_rux_converts_out_to_mdanalysis_writers(adk, tmp_path, suffix, tolerance):
    out = tmp_path / f"adk.{suffix}"
    assert cli.main(["convert", str(adk), str(out)]) == 0
    written = mda.Universe(datafiles.PSF, str(out))
    source = mda.Universe(str(adk))
    assert len(written.trajectory) == len(source.trajectory)
    for a, b in zip(written.trajectory[::10], source.trajectory[::10]):
        np.testing.assert_allclose(a.positions, b.positions, atol=tolerance)


@pytest.mark.parametrize(
    "argv, message",
    [
        (["{adk}", "{tmp}/out.nosuchformat"], "MDAnalysis cannot write it"),
        (["{tmp}/in.nosuchformat", "{tmp}/out.rux"], "MDAnalysis cannot read it"),
        (["{adk}", "{tmp}/copy.rux"], "not rux to rux"),
        (["{adk}", "{tmp}/out.xtc", "--names", "positions=x"], "--names applies to extended XYZ"),
        (["{tmp}/a", "{tmp}/b", "{tmp}/c", "{tmp}/d"], "two or three files"),
    ],
)
def test_bad_conversions_are_one_line(adk, tmp_path, capsys, argv, message):
    (tmp_path / "in.nosuchformat").write_text("nothing\n")
    for name in "abc":
        (tmp_path / name).write_text("")
    status, _, err = run(capsys, "convert", *(a.format(adk=adk, tmp=tmp_path) for a in argv))
    assert status == 1 and message in err and err.count("\n") == 1, err


def test_a_missing_mdanalysis_is_one_line(adk, tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "MDAnalysis", None)
    status, _, err = run(capsys, "convert", adk, tmp_path / "out.xtc")
    assert status == 1 and 'pip install "rux[mdanalysis]"' in err and err.count("\n") == 1
