"""``import rux.mdtraj``: MDTraj loads and saves rux files (``rux.md.mdtraj``).

Importing it registers the loader for ".rux" with MDTraj's format registry.
"""

from .md.mdtraj import load, save, topology_chunks, topology_of

__all__ = ["load", "save", "topology_of", "topology_chunks"]
