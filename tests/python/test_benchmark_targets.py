"""The analysis-read targets read their rows the right way round.

Each target compares a pair of contenders in one direction (a time ratio at
most a limit, or a speed ratio at least one); rows with known figures must
give the measured value the target's text states.
"""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
import run  # noqa: E402
from common import Row  # noqa: E402


def row(workload, limit="npy", entries=None, system=None, **figures):
    # Two repetitions whose per-repetition ratios agree, so the median is exact.
    values = {name: [value, 2 * value] for name, value in figures.items()}
    extra = {"entries": entries} if entries else {}
    if system:
        extra["system"] = system
    return Row(workload, workload, "ms", False, values, limit=limit, extra=extra)


@pytest.mark.parametrize(
    "rows, name, measured, holds",
    [
        ([row("series_positions", rux=10, npy=5, h5py=40)], "series (256, 3) vs copy limit", 2.0,
         True),
        ([row("series_positions", rux=10, npy=5, h5py=40)], "series (256, 3) vs h5py", 4.0, True),
        ([row("series_many_frames", rux=30, npy=10, h5py=60)], "series (16, 3) vs copy limit", 3.0,
         False),
        ([row("series_scalar", rux=12, npy=1, h5py=1)], "scalar series vs h5py", 12.0, False),
        ([row("frame_iteration", rux=5, rux_loop=20, npy=4)], "read_frame vs per-chunk loop", 4.0,
         True),
        ([row("open_read_close", "bare", 1000, rux=9, bare=4)],
         "open + read + close vs bare, 10^3", 2.25, True),
        ([row("open_read_close", "bare", 1000, rux=10, bare=4),
          row("open_read_close", "bare", 10**6, rux=20, bare=4)],
         "open + read + close growth", 2.0, False),
        ([row("trajectory_msd", rux=14, npy=10, h5py=35)], "msd vs in-memory", 1.4, True),
        ([row("trajectory_msd", rux=14, npy=10, h5py=35)], "msd vs h5py", 2.5, False),
        ([row("trajectory_frame", "read_frame", rux=7, read_frame=5)], "traj[i] vs read_frame",
         1.4, True),
        ([row("series_rows_index", rux=4, rux_all=48, npy=2)],
         "1% of rows (an index array) vs all rows", 12.0, True),
        ([row("series_rows_slice", rux=6, rux_all=48, npy=2)], "1% of rows (a slice) vs all rows",
         8.0, False),
        ([row("openmm_reporter", "xtc", rux=300, xtc=1200, dcd=2400)], "OpenMM reporter vs XTC",
         0.25, True),
        ([row("openmm_reporter", "xtc", rux=300, xtc=1200, dcd=2400)], "OpenMM reporter vs DCD",
         0.125, False),
        # Each MD system's row feeds its own targets only.
        ([row("md_universe", system="psf_dcd", rux=10, dcd=40, xtc=5),
          row("md_universe", system="tpr_xtc", rux=10, dcd=5, xtc=20)],
         "md Universe vs TPR + XTC", 2.0, False),
        ([row("md_rmsd", system="psf_dcd", rux=10, dcd=9, xtc=30)], "md RMSD vs DCD, PSF + DCD",
         0.9, False),
        ([row("md_timeseries", system="tpr_xtc", rux=2, dcd=12, xtc=50)],
         "md timeseries vs XTC, TPR + XTC", 25.0, True),
        ([row("md_read_series_rows", system="tpr_xtc", rux=2, rux_all=10)],
         "md read_series 1% rows, TPR + XTC", 0.2, False),
        ([row("md_timeseries_ca", system="tpr_xtc", rux=1, rux_all=12)],
         "md timeseries C-alpha vs all atoms", 12.0, True),
    ],
)
def test_target_direction(rows, name, measured, holds):
    found = {target.name: target for target in run.analysis_targets(rows) + run.md_targets(rows)}
    assert found[name].measured == pytest.approx(measured)
    assert found[name].holds is holds


def test_missing_contender_gives_no_verdict():
    # rux.fl without read_series: the row runs, the rux figure is absent.
    found = run.analysis_targets([row("series_positions", npy=5, h5py=40)])
    assert {target.holds for target in found} == {None}
