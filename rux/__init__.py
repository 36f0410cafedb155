"""rux: a file layer for simulation trajectories.

``rux.open`` opens a file as a :class:`~rux.trajectory.Trajectory`: frames as a
sequence of mappings, series of one name over frames, file attributes, live
follow and dask arrays. The extension module :mod:`rux.fl` underneath gives
exact low-level access; ``rux.fl.open`` is its entry point.
"""

from . import fl
from .trajectory import Attributes, Frame, Trajectory, open

__all__ = ["fl", "open", "Trajectory", "Frame", "Attributes"]
