"""Reading a rux file's header, index and namelist directly, without the library.

Kept for code that imports the tools' raw reader under this name: the format's
facts live in :mod:`rux._format`, the raw reader in :mod:`rux._raw`, ``rux
info``'s figures in :mod:`rux.summary` and ``rux check`` in :mod:`rux.check`.
"""

from ._format import (  # noqa: F401
    CHARACTER,
    COMMIT_TAG,
    COMMIT_WRITER_ACTIVE,
    ELEMENT_SIZES,
    ENTRY_DTYPE,
    ENTRY_SIZE,
    HEADER_SIZE,
    MAGIC,
    MAX_NAMES,
    NAMELIST_UNIT,
    TYPE_NAMES,
    Namelist,
    header_checksum,
    layout_of,
    parse_namelist,
    version_is_accepted,
    version_text,
)
from ._raw import (  # noqa: F401
    BLOCK_ENTRIES,
    Header,
    NotARuxFile,
    RuxFileView,
    chunk_sizes,
    data_segments,
    iter_frame_chunks,
)
from .check import ENTRY_CHECKS, Checker, CheckReport, Problem, check  # noqa: F401
from .summary import Summary, covered_bytes, summarize  # noqa: F401
