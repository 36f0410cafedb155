"""``rux convert`` for MD formats, through MDAnalysis.

Into rux: anything MDAnalysis reads (a topology and a trajectory, or one file
holding both) becomes a file of the MD schema, written by the MDAnalysis
adapter's writer. Out of rux: a rux file goes to any format MDAnalysis writes
(XTC, TRR, DCD, PDB, GRO, ...), chosen by the output's extension.
"""

from __future__ import annotations

from typing import Any, Callable, Optional, Sequence

Progress = Callable[[int, Optional[int]], None]


class MissingMDAnalysis(ImportError):
    """MDAnalysis, needed to convert MD formats, is not installed."""


def require_mdanalysis() -> Any:
    """MDAnalysis with the RUX format registered, or a one-line explanation."""
    try:
        import MDAnalysis
    except ImportError:
        raise MissingMDAnalysis(
            'converting MD formats needs MDAnalysis, which is not installed: pip install "rux[mdanalysis]"'
        ) from None
    from . import mdanalysis  # noqa: F401  (registers the RUX format)

    return MDAnalysis


def _universe(mda: Any, inputs: Sequence[str], format: Optional[str]) -> Any:
    try:
        if format is not None:
            return mda.Universe(*inputs, format=format)
        return mda.Universe(*inputs)
    except (TypeError, ValueError) as error:
        # MDAnalysis names an unknown format in a TypeError or ValueError.
        raise ValueError(f"{' + '.join(inputs)}: MDAnalysis cannot read it: {error}") from None


def convert(
    inputs: Sequence[str],
    output: str,
    progress: Optional[Progress] = None,
    input_format: Optional[str] = None,
    output_format: Optional[str] = None,
) -> int:
    """Write every frame of `inputs` (read by MDAnalysis) to `output`; the number of frames."""
    mda = require_mdanalysis()
    universe = _universe(mda, inputs, input_format)
    atoms = universe.atoms
    total = len(universe.trajectory)
    options = {} if output_format is None else {"format": output_format}
    if total > 1:
        options["multiframe"] = True
    try:
        writer = mda.Writer(output, n_atoms=atoms.n_atoms, **options)
    except (TypeError, ValueError) as error:
        if total > 1 and "multiframe" in str(error).lower():
            raise ValueError(
                f"{output}: MDAnalysis writes one frame to this format, and the trajectory has {total}"
            ) from None
        raise ValueError(f"{output}: MDAnalysis cannot write it: {error}") from None
    count = 0
    with writer:
        for _ in universe.trajectory:
            writer.write(atoms)
            count += 1
            if progress is not None:
                progress(count, total)
    return count
