"""Molecular dynamics on rux: the MD schema and the adapters to MD tools.

``rux.md.schema`` holds the names, shapes and units of the schema
(``docs/md_schema.md``); ``rux.md.mdanalysis`` and the other modules here map
one tool's objects onto it.
"""

from . import schema
from .schema import SCHEMA, UNITS, VERSION

__all__ = ["schema", "SCHEMA", "VERSION", "UNITS"]
