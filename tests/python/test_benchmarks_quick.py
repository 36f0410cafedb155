"""The benchmark suite keeps working: its quick mode runs and reports every workload.

Timings are not checked here; only that the suite runs, measures each
contender it can and writes a complete JSON table.
"""

import importlib.util
import json
import subprocess
import sys
from pathlib import Path

import pytest

import rux
from rux import fl

RUN = Path(__file__).resolve().parents[2] / "benchmarks" / "run.py"
WORKLOADS = {
    "small_writes",
    "random_small_reads",
    "writable_reads",
    "large_writes",
    "large_reads",
    "open_first_read",
    "lookup",
    "memory",
    "series_positions",
    "series_many_frames",
    "series_scalar",
    "series_rows_index",
    "series_rows_slice",
    "frame_iteration",
    "open_read_close",
    "trajectory_msd",
    "trajectory_frame",
    "ase_read",
    "ase_write",
} | ({"openmm_reporter"} if importlib.util.find_spec("openmm") else set())
# The MD-format family, one row of each per system, when MDAnalysis and its
# test data are there (the family is skipped with a note otherwise).
HAVE_MDANALYSIS = all(importlib.util.find_spec(m) for m in ("MDAnalysis", "MDAnalysisTests"))
MD_WORKLOADS = {"md_universe", "md_rmsd", "md_timeseries", "md_timeseries_ca",
                "md_read_series_rows", "md_sizes"}
MD_SYSTEMS = {"psf_dcd", "tpr_xtc"}
if HAVE_MDANALYSIS:
    WORKLOADS |= MD_WORKLOADS
HAS_ADAPTER = importlib.util.find_spec("rux.mdanalysis") is not None
# Contenders with no figure by design: lookups make no system call, and the
# analysis reads race a copy from memory instead.
NO_BARE = {"lookup", "series_positions", "series_many_frames", "series_scalar",
           "series_rows_index", "series_rows_slice", "frame_iteration", "trajectory_msd",
           "trajectory_frame", "openmm_reporter", "ase_read", "ase_write"}
# Rows that race other contenders than h5py: OpenMM's own reporters.
NO_H5PY = {"openmm_reporter": ("rux_published", "xtc", "dcd")}
# Rows that race ASE's own trajectory format instead of h5py.
AGAINST_ASE = {"ase_read", "ase_write"}
# What the rux column of each analysis row needs; until it is there, that
# row's rux figure is n/a and the others still run.
HAS_READ_FRAME = hasattr(fl.RUXFile, "read_frame")
READS_ROWS = hasattr(fl.RUXFile, "read_series") and "rows=" in fl.RUXFile.read_series.__doc__
NEEDS = {
    "series_positions": hasattr(fl.RUXFile, "read_series"),
    "series_many_frames": hasattr(fl.RUXFile, "read_series"),
    "series_scalar": hasattr(fl.RUXFile, "read_series"),
    "series_rows_index": READS_ROWS,
    "series_rows_slice": READS_ROWS,
    "frame_iteration": HAS_READ_FRAME,
    "trajectory_msd": hasattr(rux, "open"),
    "trajectory_frame": hasattr(rux, "open"),
}
# Runs run.py with a module (argv[1]) made unimportable, as on a machine without it.
WITHOUT_MODULE = (
    "import runpy, sys; sys.modules[sys.argv[1]] = None; sys.argv = sys.argv[2:]; "
    "sys.path.insert(0, str(__import__('pathlib').Path(sys.argv[0]).parent)); "
    "runpy.run_path(sys.argv[0], run_name='__main__')"
)


def have_h5py():
    return importlib.util.find_spec("h5py") is not None


def run_quick(tmp_path, *extra, block=None):
    out = tmp_path / "results.json"
    data = tmp_path / "data"
    prefix = [sys.executable, "-c", WITHOUT_MODULE, block] if block else [sys.executable]
    completed = subprocess.run(
        prefix + [str(RUN), "--quick", "--json", str(out), "--data-dir", str(data), *extra],
        capture_output=True, text=True, timeout=300, cwd=tmp_path,
    )
    assert completed.returncode == 0, completed.stderr[-3000:]
    assert "Targets" in completed.stdout
    assert list(data.iterdir()) == []  # every file it wrote is gone
    return json.loads(out.read_text()), completed.stdout


def check_figures(row, expect_h5py):
    medians = row["median"]
    with_rux = NEEDS.get(row["workload"], True)
    assert (medians["rux"] is not None and medians["rux"] > 0) == with_rux, row
    assert len(row["repetitions"]["rux"]) >= 1 or not with_rux
    if row["workload"] in NO_H5PY:
        assert medians["h5py"] is None, row
        assert all(medians[other] > 0 for other in NO_H5PY[row["workload"]]), row
        return
    if row["workload"] in AGAINST_ASE:
        assert medians["ase_traj"] is not None and medians["ase_traj"] > 0, row
        assert row["rux_vs_limit"] is not None and row["rux_vs_limit"] > 0, row
        return
    assert (medians["h5py"] is not None) == expect_h5py, row
    if row["workload"] not in NO_BARE:
        assert medians["bare"] is not None, row
    if row["limit"] == "npy" or (row["limit"] == "read_frame" and HAS_READ_FRAME):
        assert medians[row["limit"]] is not None and medians[row["limit"]] > 0, row
    if row["workload"] != "memory" and expect_h5py and with_rux:
        assert row["rux_vs_h5py"] is not None and row["rux_vs_h5py"] > 0


def check_md_figures(row, expect_h5py):
    """rux where the adapter is, every MDAnalysis format on its rows, H5MD with h5py."""
    medians = row["median"]
    assert (medians["rux"] is not None and medians["rux"] > 0) == HAS_ADAPTER, row
    if row["workload"] in ("md_timeseries_ca", "md_read_series_rows"):
        assert (medians["rux_all"] is not None) == HAS_ADAPTER, row
        if HAS_ADAPTER:
            assert row["rux_vs_limit"] is not None and row["rux_vs_limit"] > 0, row
    if row["workload"] == "md_read_series_rows":
        assert not {"dcd", "xtc", "trr", "h5md"} & set(medians), row
        return
    for fmt in ("dcd", "xtc", "trr"):
        assert medians[fmt] is not None and medians[fmt] > 0, (fmt, row)
    assert (medians.get("h5md") is not None) == expect_h5py, row


def test_quick_mode_reports_every_workload(tmp_path):
    results, stdout = run_quick(tmp_path)
    assert results["quick"] is True
    without_ase = set() if importlib.util.find_spec("ase") else AGAINST_ASE
    assert {row["workload"] for row in results["rows"]} == WORKLOADS - without_ase
    for row in results["rows"]:
        if row["workload"] in MD_WORKLOADS:
            check_md_figures(row, have_h5py())
        else:
            check_figures(row, have_h5py())
        assert row["label"] in stdout
    for workload in MD_WORKLOADS & WORKLOADS:
        systems = [row["extra"]["system"] for row in results["rows"] if row["workload"] == workload]
        assert sorted(systems) == sorted(MD_SYSTEMS), workload
    opens = [row for row in results["rows"] if row["workload"] == "open_first_read"]
    assert len(opens) == len(results["config"]["open_entries"])
    closes = [row for row in results["rows"] if row["workload"] == "open_read_close"]
    assert len(closes) == len(results["config"]["close_entries"])
    for row in results["rows"]:
        if row["workload"] in NEEDS or row["workload"] == "open_read_close":
            # Both h5py layouts race, beside the per-chunk loop where there is one.
            assert (row["median"]["h5py_frame"] is not None) == have_h5py(), row
    names = {target["name"] for target in results["targets"]}
    assert {"open growth", "memory", "random small reads vs bare preadv",
            'reads on "r+" vs "r"', "large writes vs bare", "large reads vs bare",
            "series (256, 3) vs copy limit", "series (16, 3) vs h5py", "scalar series vs h5py",
            "read_frame vs per-chunk loop", "open + read + close growth", "msd vs in-memory",
            "1% of rows (an index array) vs all rows", "1% of rows (a slice) vs all rows",
            "msd vs h5py", "traj[i] vs read_frame"} <= names
    if "openmm_reporter" in WORKLOADS:
        assert {"OpenMM reporter vs XTC", "OpenMM reporter vs DCD"} <= names
    if not without_ase:
        assert {"ase.io.read vs Trajectory", "MD writes vs Trajectory"} <= names
    if HAVE_MDANALYSIS:
        assert {"md Universe vs PSF + DCD", "md Universe vs TPR + XTC", "md RMSD vs XTC, TPR + XTC",
                "md timeseries vs DCD, PSF + DCD", "md read_series 1% rows, TPR + XTC",
                "md timeseries C-alpha vs all atoms"} <= names
    for target in results["targets"]:
        assert target["holds"] in (True, False, None)


@pytest.mark.parametrize(
    "only, expected",
    [
        ("lookup", {"lookup"}),
        # Reads need the files the small writes leave behind.
        ("random_small_reads", {"small_writes", "random_small_reads", "writable_reads"}),
        # The layer's rows write the series and frame files they read.
        ("trajectory", {"trajectory_msd", "trajectory_frame"}),
    ],
)
def test_selected_workloads_without_h5py(tmp_path, only, expected):
    results, stdout = run_quick(tmp_path, "--only", only, block="h5py")
    assert results["machine"]["h5py"] is None
    assert {row["workload"] for row in results["rows"]} == expected
    for row in results["rows"]:
        check_figures(row, expect_h5py=False)
    assert "n/a" in stdout


def test_md_family_skipped_without_mdanalysis(tmp_path):
    results, stdout = run_quick(tmp_path, "--only", "md", block="MDAnalysis")
    assert results["rows"] == []
    assert "MDAnalysis is not installed" in results["skipped"]["md"]
    assert "md: skipped: MDAnalysis is not installed" in stdout
