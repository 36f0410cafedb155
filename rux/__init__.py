"""rux: a file layer for simulation trajectories.

The extension module :mod:`rux.fl` gives low-level access to create, read and
write rux files; ``rux.fl.open`` is the entry point.
"""

__all__ = ["fl"]
