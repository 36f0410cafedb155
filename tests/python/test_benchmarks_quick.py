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
}
# Contenders with no figure by design: lookups make no system call.
NO_BARE = {"lookup"}
# Runs run.py with h5py made unimportable, as on a machine without it.
WITHOUT_H5PY = (
    "import runpy, sys; sys.modules['h5py'] = None; sys.argv = sys.argv[1:]; "
    "sys.path.insert(0, str(__import__('pathlib').Path(sys.argv[0]).parent)); "
    "runpy.run_path(sys.argv[0], run_name='__main__')"
)


def have_h5py():
    return importlib.util.find_spec("h5py") is not None


def run_quick(tmp_path, *extra, block_h5py=False):
    out = tmp_path / "results.json"
    data = tmp_path / "data"
    prefix = [sys.executable, "-c", WITHOUT_H5PY] if block_h5py else [sys.executable]
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
    assert medians["rux"] is not None and medians["rux"] > 0, row
    assert len(row["repetitions"]["rux"]) >= 1
    assert (medians["h5py"] is not None) == expect_h5py, row
    if row["workload"] not in NO_BARE:
        assert medians["bare"] is not None, row
    if row["workload"] != "memory" and expect_h5py:
        assert row["rux_vs_h5py"] is not None and row["rux_vs_h5py"] > 0


def test_quick_mode_reports_every_workload(tmp_path):
    results, stdout = run_quick(tmp_path)
    assert results["quick"] is True
    assert {row["workload"] for row in results["rows"]} == WORKLOADS
    for row in results["rows"]:
        check_figures(row, have_h5py())
        assert row["label"] in stdout
    opens = [row for row in results["rows"] if row["workload"] == "open_first_read"]
    assert len(opens) == len(results["config"]["open_entries"])
    names = {target["name"] for target in results["targets"]}
    assert {"open growth", "memory", "random small reads vs bare preadv",
            'reads on "r+" vs "r"', "large writes vs bare", "large reads vs bare"} <= names
    for target in results["targets"]:
        assert target["holds"] in (True, False, None)


@pytest.mark.parametrize(
    "only, expected",
    [
        ("lookup", {"lookup"}),
        # Reads need the files the small writes leave behind.
        ("random_small_reads", {"small_writes", "random_small_reads", "writable_reads"}),
    ],
)
def test_selected_workloads_without_h5py(tmp_path, only, expected):
    results, stdout = run_quick(tmp_path, "--only", only, block_h5py=True)
    assert results["machine"]["h5py"] is None
    assert {row["workload"] for row in results["rows"]} == expected
    for row in results["rows"]:
        check_figures(row, expect_h5py=False)
    assert "n/a" in stdout
