"""``from rux.openmm import RUXReporter``: the OpenMM reporter of ``rux.md.openmm``."""

from .md.openmm import RUXReporter, topology_chunks

__all__ = ["RUXReporter", "topology_chunks"]
