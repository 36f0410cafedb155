"""Low-level access to create, read and write RUX files."""

import logging as logging
import os as os
from pickle import PickleError as PickleError
from types import TracebackType
from typing import Any, Literal, Optional, Sequence, Tuple, Type, Union

import numpy as numpy
import numpy.typing as npt
from typing_extensions import disjoint_base

logger: logging.Logger

_Mode = Literal["r", "r+", "w", "x", "a"]
_ChunkArray = npt.NDArray[
    Union[
        numpy.uint8,
        numpy.uint16,
        numpy.uint32,
        numpy.uint64,
        numpy.int8,
        numpy.int16,
        numpy.int32,
        numpy.int64,
        numpy.float32,
        numpy.float64,
    ]
]

@disjoint_base
class RUXFile:
    """RUX file access interface."""

    def __init__(
        self,
        name: str,
        mode: _Mode,
        application: Optional[str],
        schema: Optional[str],
        schema_version: Optional[Sequence[int]],
    ) -> None: ...
    def close(self) -> None: ...
    def truncate(self) -> None: ...
    def end_frame(self) -> None: ...
    def flush(self) -> None: ...
    def write_chunk(self, name: str, data: Union[npt.ArrayLike, str]) -> None: ...
    def write_strings(self, name: str, data: npt.NDArray[numpy.bytes_]) -> None: ...
    def chunk_exists(self, frame: int, name: str) -> bool: ...
    def read_chunk(
        self, frame: int, name: str
    ) -> Union[_ChunkArray, npt.NDArray[numpy.int8], str]: ...
    def find_matching_chunk_names(self, match: str) -> list[str]: ...
    def upgrade(self) -> None: ...
    def refresh(self) -> int: ...
    def __enter__(self) -> "RUXFile": ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...
    def __reduce__(self) -> Tuple[Type["RUXFile"], Tuple[Any, ...]]: ...
    def read_series(
        self,
        name: str,
        frames: Union[None, range, slice, Sequence[int], npt.NDArray[numpy.integer[Any]]] = None,
        out: Optional[npt.NDArray[Any]] = None,
        rows: Union[None, range, slice, Sequence[int], npt.NDArray[numpy.integer[Any]]] = None,
    ) -> Union[npt.NDArray[Any], list[str]]: ...
    def read_frame(
        self, frame: int
    ) -> dict[str, Union[_ChunkArray, npt.NDArray[numpy.int8], str]]: ...
    @property
    def name(self) -> str: ...
    @property
    def mode(self) -> str: ...
    @property
    def rux_version(self) -> Tuple[int, int]: ...
    @property
    def schema_version(self) -> Tuple[int, int]: ...
    @property
    def schema(self) -> str: ...
    @property
    def application(self) -> str: ...
    @property
    def nframes(self) -> int: ...
    @property
    def maximum_write_buffer_size(self) -> int: ...
    @maximum_write_buffer_size.setter
    def maximum_write_buffer_size(self, value: int) -> None: ...
    @property
    def index_entries_to_buffer(self) -> int: ...
    @index_entries_to_buffer.setter
    def index_entries_to_buffer(self, value: int) -> None: ...

def open(
    name: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"],
    mode: _Mode,
    application: Optional[str] = None,
    schema: Optional[str] = None,
    schema_version: Optional[Sequence[int]] = None,
) -> RUXFile: ...
