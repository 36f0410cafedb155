"""``import rux.mdanalysis`` registers the format "RUX" with MDAnalysis (see ``rux.md.mdanalysis``)."""

from .md.mdanalysis import FORMAT, RUXParser, RUXReader, RUXWriter

__all__ = ["FORMAT", "RUXParser", "RUXReader", "RUXWriter"]
