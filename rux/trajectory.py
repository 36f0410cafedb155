"""Trajectories: the frames of a rux file as a Python sequence.

``rux.open`` wraps one ``rux.fl.RUXFile``. ``len(traj)``, ``traj[i]`` (a
``Frame``, a read-only mapping of chunk name to array or ``str``),
``traj[a:b]``, ``traj[[i, j]]`` and boolean masks (views with the same API),
``traj.series(name)``, ``traj.written_in(name)``, ``traj.attrs``,
``append``/``extend``/``flush``, ``refresh``/``follow`` and ``to_dask``. Everything goes through ``rux.fl``'s
public methods, so files written here are ordinary rux files.

Names beginning with ``rux:`` are reserved for this layer and stored as
ordinary chunks:

* ``rux:attrs/<key>``: the attribute ``key``, as JSON text (ASCII, so any
  Unicode round-trips through escapes);
* ``rux:scalar/<name>``, ``rux:bool/<name>``: one-byte markers, written in the
  frame where ``name`` first appears, saying that ``name`` was written from a
  scalar (read back as a numpy scalar, series as shape (T,)) or from booleans
  (stored as uint8, read back as bool);
* ``rux:unicode/<name>``, ``rux:bytes/<name>``: the same for a name written
  from a numpy string array of shape (n,) (dtype ``U`` or ``S``), stored as a
  character chunk with one column per string (``RUXFile.write_strings``;
  ``U`` as UTF-8) and read back as a string array of the same kind;
* ``rux:attrs-frame``: marks a frame that holds only attributes (attributes set
  after the last frame); such frames are not frames of the trajectory.

The once-written rule: a frame that does not hold a name takes the value of the
latest earlier frame that wrote it. Topology and parameters are written once,
the box only when it changes, and every frame still reads them.

Mode "w" on an existing file replaces it: the new file is created under a
temporary name beside it and renamed over it, so that readers that have the
old file open keep reading it and a failed creation leaves it as it was.
"""

from __future__ import annotations

import errno
import json
import operator
import os
import secrets
import time
import uuid
from typing import (
    Any,
    Dict,
    Iterable,
    Iterator,
    List,
    Mapping,
    Optional,
    Sequence,
    Set,
    Tuple,
    Union,
    cast,
    overload,
)

import numpy as np
import numpy.typing as npt

from . import fl

__all__ = ["open", "Trajectory", "Frame", "Attributes", "RESERVED_PREFIX", "ATTRS_PREFIX"]

RESERVED_PREFIX = "rux:"
ATTRS_PREFIX = "rux:attrs/"
_SCALAR_PREFIX = "rux:scalar/"
_BOOL_PREFIX = "rux:bool/"
_UNICODE_PREFIX = "rux:unicode/"
_BYTES_PREFIX = "rux:bytes/"
_STRING_PREFIXES = {"U": _UNICODE_PREFIX, "S": _BYTES_PREFIX}
# The element types of a chunk; bools are stored as uint8.
_STORABLE = frozenset(
    np.dtype(t)
    for t in (np.uint8, np.uint16, np.uint32, np.uint64, np.int8, np.int16, np.int32, np.int64,
              np.float32, np.float64)
)


def _kind_text(scalar: bool, boolean: bool, strings: str) -> str:
    """The kind of value a name holds, as messages name it."""
    if strings:
        return "a str array" if strings == "U" else "a bytes array"
    if boolean:
        return "a bool scalar" if scalar else "a bool array"
    return "a scalar" if scalar else "an array or text"


def _check_key(what: str, key: str) -> None:
    if "\x00" in key:
        raise ValueError(f"{what} must not contain NUL characters: {key!r}")
_ATTRS_FRAME = "rux:attrs-frame"
_MARK = np.ones(1, dtype=np.uint8)
_TEMPORARY_NAME_ATTEMPTS = 16

Value = Union[np.ndarray, np.generic, str]
Series = Union[np.ndarray, List[str]]
Selection = Union[range, npt.NDArray[np.int64]]
Rows = Union[None, slice, range, Sequence[int], npt.NDArray[np.integer[Any]]]
PathLike = Union[str, "os.PathLike[str]"]


def open(
    path: PathLike,
    mode: str = "r",
    application: Optional[str] = None,
    schema: Optional[str] = None,
    schema_version: Optional[Sequence[int]] = None,
    *,
    publish_every: Optional[float] = None,
) -> "Trajectory":
    """Open a rux file as a ``Trajectory``.

    The modes and the creation arguments are those of ``rux.fl.open``: "r"
    reads; "w", "x" and "a" create (they need `application`, `schema` and
    `schema_version`); "r+" and "a" append to an existing file. `schema`, when
    given, is checked against the file. `publish_every` (seconds) makes
    ``append`` flush when at least that long has passed since the last flush,
    so that readers see new frames without a flush per frame; 0 flushes every
    frame, None leaves flushing to ``flush()``, ``close()`` and the library.

    Mode "w" on an existing regular file replaces it rather than emptying it
    in place: the new file is created as ``.<name>.<random>.tmp`` in the same
    directory and renamed over the old one (the target of a symbolic link;
    the link stays). Processes that have the old file open keep reading it,
    and a failure or a crash before the rename leaves it untouched. The new
    file has the permissions of any new file, not the old file's.
    """
    if mode == "w":
        file = _create_replacing(path, application, schema, schema_version)
    else:
        file = fl.open(path, cast(Any, mode), application, schema, schema_version)
    traj = Trajectory(file, publish_every=publish_every)
    traj._store.mode = mode
    return traj


def _create_replacing(
    path: PathLike,
    application: Optional[str],
    schema: Optional[str],
    schema_version: Optional[Sequence[int]],
) -> fl.RUXFile:
    """A new file at `path`, made beside an existing one and renamed over it.

    The handle is opened on `path` itself once the rename is done, so that
    its name is the caller's path, never the temporary one.
    """
    name = os.fsdecode(os.fspath(path))
    target = os.path.realpath(name)
    if not os.path.isfile(target):
        # Nothing to keep readers of (or not a regular file): create in place.
        return fl.open(name, "w", application, schema, schema_version)
    directory, base = os.path.split(target)
    temporary = ""
    try:
        for attempt in range(_TEMPORARY_NAME_ATTEMPTS):
            # 64 random bits: a name that exists already belongs to no one
            # else in practice, but it is never touched.
            candidate = os.path.join(directory, f".{base}.{secrets.token_hex(8)}.tmp")
            try:
                fl.open(candidate, "x", application, schema, schema_version).close()
            except FileExistsError:
                if attempt + 1 == _TEMPORARY_NAME_ATTEMPTS:
                    raise
                continue
            except BaseException:
                temporary = candidate  # whatever of it was made is ours
                raise
            temporary = candidate
            break
        os.replace(temporary, target)
        temporary = ""
    except BaseException:
        if temporary:
            try:
                os.unlink(temporary)
            except OSError:
                pass  # never made, or already renamed
        raise
    _sync_directory(directory)
    return fl.open(name, "r+", schema=schema)


def _sync_directory(directory: str) -> None:
    """Makes a rename in `directory` survive a power cut, as file creation does."""
    try:
        descriptor = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError as error:
        if error.errno not in (errno.EINVAL, errno.EROFS):
            raise
    finally:
        os.close(descriptor)


def _file_identity(path: str) -> Tuple[int, int, int, int]:
    """(device, inode, size, modification time in ns) of the file at `path`."""
    st = os.stat(path)
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def _strings(name: str, array: np.ndarray) -> np.ndarray:
    """A string array as the fixed-width bytes write_strings stores (U as UTF-8)."""
    if array.ndim != 1:
        raise ValueError(f"string arrays are written with shape (n,), not {array.shape}: {name}")
    if array.dtype.kind == "S":
        if len(array) == 1:
            try:
                array.tobytes().decode("utf-8")  # a single string reads back as str
            except UnicodeDecodeError:
                raise ValueError(f"a one-element bytes array must hold UTF-8 text: {name}") from None
        return np.ascontiguousarray(array)
    try:
        width = int(np.char.str_len(array).max()) if len(array) else 1
        return array.astype(f"S{max(width, 1)}")  # ASCII: one byte a character
    except UnicodeEncodeError:
        return np.char.encode(array, "utf-8")


def _stored_strings(value: Any) -> np.ndarray:
    """The fixed-width bytes behind what a chunk of strings reads as.

    An int8 array of (..., n, width) views as (..., n); a str is one string; a
    uint8 array of (..., 0) is no strings.
    """
    if isinstance(value, str):
        return np.array([value.encode("utf-8")])
    if value.dtype == np.uint8:
        return np.zeros(value.shape, dtype="S1")
    return value.view(f"S{value.shape[-1]}").reshape(value.shape[:-1])


def _decoded(strings: np.ndarray, kind: str) -> np.ndarray:
    if kind == "S":
        return strings
    try:
        return strings.astype(f"U{strings.dtype.itemsize}")  # ASCII, in one cast
    except UnicodeDecodeError:
        return np.char.decode(strings, "utf-8")


def _prepare(name: str, value: Any) -> Tuple[Union[np.ndarray, str], bool, bool, str]:
    """(data, written from a scalar, written from booleans, string kind "U", "S" or "").

    The data handed on is always a C-contiguous ndarray (or a str), so the
    binding never copies and never warns.
    """
    if isinstance(value, np.str_):
        value = str(value)
    if type(value) is str:
        if not value.isascii():
            raise ValueError(f"text of chunk {name!r} is not ASCII")
        return value, False, False, ""
    if isinstance(value, (list, tuple)) and value and isinstance(value[0], (str, bytes)):
        value = np.asarray(value)
    if isinstance(value, np.ndarray) and value.dtype.kind in "US":
        if value.shape == (0,):
            return np.zeros(0, dtype=np.uint8), False, False, value.dtype.kind
        return _strings(name, value), False, False, value.dtype.kind
    scalar = isinstance(value, (bool, int, float, np.generic))
    array = np.asarray(value)
    if array.dtype != np.bool_ and array.dtype.newbyteorder("=") not in _STORABLE:
        if isinstance(value, np.ndarray):
            raise TypeError(f"chunk {name!r}: numpy arrays of dtype {value.dtype} can't be stored")
        raise TypeError(
            f"chunk {name!r}: a value of type {type(value).__name__} can't be stored "
            f"(as an array it has dtype {array.dtype})"
        )
    if array.ndim == 0:
        array = array.reshape(1)
        scalar = True
    if array.ndim > 2:
        raise ValueError("RUX can only write 1 or 2 dimensional arrays: " + name)
    boolean = array.dtype == np.bool_
    if boolean:
        array = np.ascontiguousarray(array).view(np.uint8)
    elif not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    if type(array) is not np.ndarray or not array.flags.c_contiguous:
        array = np.ascontiguousarray(array)
    return array, scalar, boolean, ""


class _Store:
    """What all views of one file share: the handle and what is known about it.

    Frames are only added, so every cache below stays valid as the file
    grows; refresh and append only extend them. A cut (``truncate``) is the
    one exception: it drops the caches.
    """

    def __init__(self, file: fl.RUXFile, publish_every: Optional[float]) -> None:
        self.file = file
        self.path: str = file.name
        # The mode the trajectory was opened with ("w" opens the new file "r+").
        self.mode: str = file.mode
        self.writable = file.mode != "r"
        self.publish_every = publish_every
        self.last_publish = time.monotonic()
        # Attributes written into the frame in progress, rewritten if that
        # frame has to be abandoned.
        self.staged_attrs: Dict[str, str] = {}
        self.presence: Dict[str, Tuple[np.ndarray, int]] = {}
        self.first: Dict[str, Tuple[Optional[int], int]] = {}
        self.nfile = 0
        # File frames that hold only attributes; every frame below
        # hidden_upto has been looked at.
        self.hidden: List[int] = []
        self.hidden_upto = 0
        self._visible: Tuple[int, Optional[np.ndarray]] = (-1, None)
        self.load_names()
        self.sync()

    # -- names and frames --------------------------------------------------

    def load_names(self) -> None:
        names: List[str] = []
        self.scalar: Set[str] = set()
        self.boolean: Set[str] = set()
        # Names written from string arrays, by kind: "U" or "S".
        self.strings: Dict[str, str] = {}
        # Names whose values convert (scalars, bools): the rest pass as read.
        self.converted: Set[str] = set()
        self.attr_keys: List[str] = []
        self.has_attrs_frames = False
        self.has_reserved = False
        for name in self.file.find_matching_chunk_names(""):
            if not name.startswith(RESERVED_PREFIX):
                names.append(name)
                continue
            self.has_reserved = True
            if name.startswith(_SCALAR_PREFIX):
                self.scalar.add(name[len(_SCALAR_PREFIX) :])
                self.converted.add(name[len(_SCALAR_PREFIX) :])
            elif name.startswith(_BOOL_PREFIX):
                self.boolean.add(name[len(_BOOL_PREFIX) :])
                self.converted.add(name[len(_BOOL_PREFIX) :])
            elif name.startswith((_UNICODE_PREFIX, _BYTES_PREFIX)):
                kind, _, base = name[len(RESERVED_PREFIX) :].partition("/")
                self.strings[base] = "U" if kind == "unicode" else "S"
                self.converted.add(base)
            elif name.startswith(ATTRS_PREFIX):
                self.attr_keys.append(name[len(ATTRS_PREFIX) :])
            elif name == _ATTRS_FRAME:
                self.has_attrs_frames = True
        self.names = names
        self.name_set = set(names)

    def sync(self) -> None:
        """Take in frames that the handle counts and the store has not seen."""
        nfile = self.file.nframes
        if self.has_attrs_frames and nfile > self.hidden_upto:
            exists = self.file.chunk_exists
            self.hidden += [f for f in range(self.hidden_upto, nfile) if exists(f, _ATTRS_FRAME)]
        self.nfile = self.hidden_upto = nfile

    def forget_from(self, frames: int) -> None:
        """Drop what the caches know about file frames from `frames` on (a cut)."""
        for name, (held, upto) in list(self.presence.items()):
            self.presence[name] = (held[held < frames], min(upto, frames))
        for name, (found, upto) in list(self.first.items()):
            if found is None or found >= frames:
                self.first[name] = (None, min(upto, frames))
        self.hidden = [frame for frame in self.hidden if frame < frames]
        self.nfile = self.hidden_upto = min(self.hidden_upto, frames)
        self._visible = (-1, None)

    def length(self) -> int:
        return self.nfile - len(self.hidden)

    def visible(self) -> np.ndarray:
        count, frames = self._visible
        if count != self.nfile or frames is None:
            frames = np.setdiff1d(np.arange(self.nfile, dtype=np.int64), self.hidden)
            self._visible = (self.nfile, frames)
        return frames

    def file_frames(self, indices: Selection) -> Selection:
        if not self.hidden:
            return indices
        return self.visible()[np.asarray(indices, dtype=np.int64)]

    def file_frame(self, index: int) -> int:
        return int(self.visible()[index]) if self.hidden else index

    def index_of(self, file_frame: int) -> int:
        return int(np.searchsorted(self.visible(), file_frame)) if self.hidden else file_frame

    def frames_holding(self, name: str) -> np.ndarray:
        """The file frames, ascending, that hold `name` themselves."""
        held, upto = self.presence.get(name, (np.empty(0, dtype=np.int64), 0))
        if upto < self.nfile:
            exists = self.file.chunk_exists
            more = [f for f in range(upto, self.nfile) if exists(f, name)]
            held = np.concatenate([held, np.array(more, dtype=np.int64)])
            self.presence[name] = (held, self.nfile)
        return held

    def first_frame(self, name: str) -> Optional[int]:
        """The first file frame holding `name`, found by a forward scan that stops early."""
        found, upto = self.first.get(name, (None, 0))
        if found is None and upto < self.nfile:
            exists = self.file.chunk_exists
            for frame in range(upto, self.nfile):
                if exists(frame, name):
                    found = frame
                    break
            self.first[name] = (found, self.nfile)
        return found

    def source_frames(self, name: str, frames: np.ndarray) -> np.ndarray:
        """For each file frame, the latest frame at or before it that holds `name`."""
        held = self.frames_holding(name)
        at = np.searchsorted(held, frames, side="right") - 1
        if len(frames) and (at < 0).any():
            first = int(frames[int(np.argmax(at < 0))])
            raise KeyError(f"{name!r} is not held by frame {self.index_of(first)} or any earlier frame")
        return held[at]

    # -- values ------------------------------------------------------------

    def convert(self, name: str, value: Value) -> Value:
        kind = self.strings.get(name)
        if kind is not None:
            return _decoded(_stored_strings(value), kind)
        if isinstance(value, np.ndarray):
            if name in self.boolean and value.dtype == np.uint8:
                value = value.view(np.bool_)
            if name in self.scalar and value.shape == (1,):
                return value[0]
        return value

    def convert_series(self, name: str, values: Series) -> Series:
        kind = self.strings.get(name)
        if kind is not None:
            if isinstance(values, list):  # one string a frame
                encoded = [text.encode("utf-8") for text in values]
                return _decoded(np.array(encoded, dtype=bytes).reshape(len(values), 1), kind)
            return _decoded(_stored_strings(values), kind)
        if isinstance(values, np.ndarray):
            if name in self.boolean and values.dtype == np.uint8:
                values = values.view(np.bool_)
            if name in self.scalar and values.ndim == 2 and values.shape[1] == 1:
                values = values.reshape(values.shape[0])
        return values

    def value_before(self, name: str, file_frame: int) -> Value:
        """The value of `name` in a frame that does not hold it (the once-written rule)."""
        if name not in self.name_set:
            raise KeyError(f"no chunk {name!r} in {self.path}")
        source = self.source_frames(name, np.array([file_frame], dtype=np.int64))
        return self.convert(name, self.file.read_chunk(int(source[0]), name))

    def series(self, name: str, frames: Union[range, np.ndarray], rows: Rows = None) -> Series:
        """`name` over file frames, with the once-written rule."""
        if name not in self.name_set:
            raise KeyError(f"no chunk {name!r} in {self.path}")
        try:
            return self.convert_series(name, self._series_of_one_shape(name, frames, rows))
        except ValueError:
            if rows is not None:
                raise
            sources = self.source_frames(name, np.asarray(frames, dtype=np.int64))
            if name in self.strings:
                # Strings whose width (or count) changes: one read per frame.
                values = [self.convert(name, self.file.read_chunk(int(f), name)) for f in sources]
                return np.stack(values) if values else np.zeros((0, 0), self.strings[name] + "1")
            # Text whose length changes from frame to frame: one read per frame.
            texts: List[str] = []
            for source in sources:
                text = self.file.read_chunk(int(source), name)
                if not isinstance(text, str):
                    raise
                texts.append(text)
            return texts

    def _series_of_one_shape(self, name: str, frames: Union[range, np.ndarray], rows: Rows = None) -> Series:
        wanted: Union[range, List[int]] = frames if isinstance(frames, range) else frames.tolist()
        try:
            values = self.file.read_series(name, wanted, rows=rows)
        except KeyError:
            # Some frame does not hold it: read the frames that do, once each.
            sources = self.source_frames(name, np.asarray(frames, dtype=np.int64))
            unique, inverse = np.unique(sources, return_inverse=True)
            read = self.file.read_series(name, unique.tolist(), rows=rows)
            if isinstance(read, list):
                values = [read[i] for i in inverse]
            else:
                values = read[inverse]
        return values

    # -- writing -----------------------------------------------------------

    def write_frame(self, chunks: Mapping[str, Any]) -> None:
        if not isinstance(chunks, Mapping):
            raise TypeError(f"a frame is a mapping of names to values, not {type(chunks).__name__}")
        prepared = []
        for name, value in chunks.items():
            if type(name) is not str:
                raise TypeError(f"chunk names must be str, not {type(name).__name__}: {name!r}")
            if name.startswith(RESERVED_PREFIX):
                raise ValueError(f"chunk names beginning with {RESERVED_PREFIX!r} are reserved: {name!r}")
            _check_key("chunk names", name)
            item = (name,) + _prepare(name, value)
            if name in self.name_set:
                self.check_kind(name, *item[2:])
            prepared.append(item)
        file = self.file
        before = file.nframes
        try:
            for name, data, scalar, boolean, kind in prepared:
                if kind and isinstance(data, np.ndarray) and data.dtype.kind == "S":
                    file.write_strings(name, data)
                else:
                    file.write_chunk(name, data)
                if name not in self.name_set:
                    if scalar:
                        file.write_chunk(_SCALAR_PREFIX + name, _MARK)
                    if boolean:
                        file.write_chunk(_BOOL_PREFIX + name, _MARK)
                    if kind:
                        file.write_chunk(_STRING_PREFIXES[kind] + name, _MARK)
            file.end_frame()
            self.note_frame(prepared)
        except BaseException:
            # An interrupt (KeyboardInterrupt) can strike between any two
            # steps: the file's frame count tells whether the frame ended.
            if file.nframes == before:
                if self.writable:
                    self.abandon_frame()
            else:
                self.staged_attrs.clear()
                self.load_names()  # what the frame brought, from the file itself
                self.sync()
            raise
        if self.publish_every is not None:
            now = time.monotonic()
            if now - self.last_publish >= self.publish_every:
                file.flush()
                self.last_publish = now

    def note_frame(self, prepared: List[Tuple[str, Any, bool, bool, str]]) -> None:
        """Take in what the frame just ended brought: new names and their kinds."""
        self.staged_attrs.clear()
        for name, _, scalar, boolean, kind in prepared:
            if name not in self.name_set:
                self.names.append(name)
                self.name_set.add(name)
                if scalar:
                    self.scalar.add(name)
                    self.converted.add(name)
                if boolean:
                    self.boolean.add(name)
                    self.converted.add(name)
                if kind:
                    self.strings[name] = kind
                    self.converted.add(name)
        # The frame just ended is this writer's own: no lookup needed.
        self.nfile = self.hidden_upto = self.file.nframes

    def check_kind(self, name: str, scalar: bool, boolean: bool, strings: str) -> None:
        """Refuse a value of another kind than the name's first: it would read back as that kind."""
        held = (name in self.scalar, name in self.boolean, self.strings.get(name, ""))
        if held != (scalar, boolean, strings):
            raise TypeError(
                f"{name!r} holds {_kind_text(*held)}, as first written; "
                f"this value is {_kind_text(scalar, boolean, strings)}"
            )

    def abandon_frame(self) -> None:
        """Drop the chunks staged in the frame in progress.

        The library keeps no way to unstage a chunk; closing drops the frame
        in progress (after flushing the completed ones), and reopening gives an
        empty one. Data of that frame that already reached the file stay as
        unreferenced bytes.
        """
        try:
            self.file.close()
        except Exception:
            pass  # the handle is released whatever close reports
        self.file = fl.open(self.path, "r+")
        staged, self.staged_attrs = self.staged_attrs, {}
        for key, text in staged.items():
            self.write_attr(key, text)

    def write_attr(self, key: str, text: str) -> None:
        self.file.write_chunk(ATTRS_PREFIX + key, text)
        self.staged_attrs[key] = text
        if key not in self.attr_keys:
            self.attr_keys.append(key)

    def attr_text(self, key: str) -> Optional[str]:
        """The JSON text of an attribute as it stands, or None when no frame holds it."""
        if key in self.staged_attrs:
            return self.staged_attrs[key]
        if key not in self.attr_keys:
            return None
        held = self.frames_holding(ATTRS_PREFIX + key)
        if not len(held):
            return None
        text = self.file.read_chunk(int(held[-1]), ATTRS_PREFIX + key)
        return text if isinstance(text, str) else ""

    def read_attr(self, key: str) -> Any:
        text = self.attr_text(key)
        if text is None:
            raise KeyError(key)
        return json.loads(text)

    def truncate(self, n: int) -> None:
        """Keep the first `n` trajectory frames; attributes keep their latest values.

        The cut keeps every file frame before trajectory frame `n`, so the
        attribute frames between frame n - 1 and frame n stay. Attributes whose
        latest value was written in a dropped frame (or only staged) are
        written again, into an attribute frame of their own, and flushed
        before this returns.
        """
        cut = self.file_frame(n) if n < self.length() else self.nfile
        if cut == self.nfile:
            return  # every frame is kept; staged attributes stay staged
        latest = {key: self.attr_text(key) for key in self.attr_keys}
        self.file.truncate_frames(cut)
        self.staged_attrs = {}  # they were in the frame in progress, which is gone
        self.forget_from(cut)
        for key, text in latest.items():
            if text is not None and self.attr_text(key) != text:
                self.write_attr(key, text)
        if self.staged_attrs:
            self.end_attrs_frame()
            self.file.flush()
            self.last_publish = time.monotonic()

    def end_attrs_frame(self) -> None:
        """Store attributes set after the last frame in a frame of their own."""
        if self.staged_attrs and self.writable:
            self.file.write_chunk(_ATTRS_FRAME, _MARK)
            self.file.end_frame()
            self.staged_attrs.clear()
            self.has_attrs_frames = self.has_reserved = True
            self.hidden.append(self.nfile)
            self.nfile = self.hidden_upto = self.file.nframes


def _at_or_before(frame: Optional[int], limit: int) -> bool:
    return frame is not None and frame <= limit


class Frame(Mapping[str, Value]):
    """One frame: a read-only mapping of chunk name to array (or ``str``).

    It holds the chunks the frame wrote itself (read at once, with one
    ``read_frame``) and, by the once-written rule, every name an earlier frame
    wrote (read when looked up). ``index`` is its position in the trajectory;
    ``written`` the names the frame itself holds.
    """

    __slots__ = ("index", "_store", "_file_frame", "_own", "_keys", "_written")

    def __init__(
        self,
        store: _Store,
        index: int,
        file_frame: int,
        own: Dict[str, Value],
        keys: Optional[List[str]] = None,
        written: Optional[List[str]] = None,
    ) -> None:
        self.index = index
        self._store = store
        self._file_frame = file_frame
        converted = store.converted
        if converted:
            own = {k: store.convert(k, v) if k in converted else v for k, v in own.items()}
        self._own = own
        self._keys = keys
        self._written = written

    @property
    def path(self) -> str:
        """The file the frame was read from."""
        return self._store.path

    @property
    def written(self) -> List[str]:
        """The names this frame holds itself (not by the once-written rule)."""
        return list(self._own) if self._written is None else list(self._written)

    def __getitem__(self, name: str) -> Value:
        try:
            return self._own[name]
        except KeyError:
            pass
        if self._keys is not None and name not in self._keys:
            raise KeyError(name)
        return self._store.value_before(name, self._file_frame)

    def _all_keys(self) -> List[str]:
        if self._keys is None:
            store = self._store
            self._keys = [
                name
                for name in store.names
                if name in self._own or _at_or_before(store.first_frame(name), self._file_frame)
            ]
        return self._keys

    def __contains__(self, name: object) -> bool:
        return name in self._own or name in self._all_keys()

    def __iter__(self) -> Iterator[str]:
        return iter(self._all_keys())

    def __len__(self) -> int:
        return len(self._all_keys())

    def __repr__(self) -> str:
        return f"<rux.Frame {self.index}: {', '.join(self._all_keys())}>"


class Attributes(Mapping[str, Any]):
    """File attributes: JSON values stored as chunks under ``rux:attrs/``.

    Setting one on a writable trajectory writes it into the frame in
    progress; it is stored with the next frame ``append`` writes, or in a frame
    of its own (not a frame of the trajectory) at ``flush()`` or ``close()``.
    The value of a key is the one written last. Attributes can't be deleted.
    """

    def __init__(self, store: _Store) -> None:
        self._store = store

    def __getitem__(self, key: str) -> Any:
        return self._store.read_attr(key)

    def __setitem__(self, key: str, value: Any) -> None:
        if type(key) is not str:
            raise TypeError(f"attribute names must be str, not {type(key).__name__}: {key!r}")
        _check_key("attribute names", key)
        try:
            text = json.dumps(value, ensure_ascii=True, allow_nan=False)
        except (TypeError, ValueError) as error:
            raise TypeError(f"attribute {key!r} does not serialise as JSON: {error}") from None
        self._store.write_attr(key, text)

    def update(self, values: Optional[Mapping[str, Any]] = None, **more: Any) -> None:
        for key, value in dict(values or {}, **more).items():
            self[key] = value

    def __iter__(self) -> Iterator[str]:
        return iter(list(self._store.attr_keys))

    def __len__(self) -> int:
        return len(self._store.attr_keys)

    def __repr__(self) -> str:
        return "{" + ", ".join(f"{k!r}: {self[k]!r}" for k in self) + "}"


class Trajectory(Sequence[Frame]):
    """The frames of a rux file as a sequence; see ``rux.open``.

    Built on an open ``rux.fl.RUXFile``, which it owns (``close()`` closes it;
    ``file`` gives it back). Slicing, a list of indices or a boolean mask give
    a view: a ``Trajectory`` over those frames sharing the open file.
    """

    def __init__(self, file: fl.RUXFile, *, publish_every: Optional[float] = None) -> None:
        self._store = _Store(file, publish_every)
        self._selection: Optional[Selection] = None  # None: every frame, as the file grows

    @classmethod
    def _view(cls, store: _Store, selection: Selection) -> "Trajectory":
        view = cls.__new__(cls)
        view._store = store
        view._selection = selection
        return view

    # -- the file ----------------------------------------------------------

    @property
    def file(self) -> fl.RUXFile:
        """The underlying ``rux.fl.RUXFile``."""
        return self._store.file

    @property
    def path(self) -> str:
        return self._store.path

    @property
    def mode(self) -> str:
        """The mode given to ``rux.open`` (the file object of mode "w" is opened "r+")."""
        return self._store.mode

    @property
    def names(self) -> List[str]:
        """Chunk names of the file, in the order they were added (reserved names left out)."""
        return list(self._store.names)

    @property
    def attrs(self) -> Attributes:
        return Attributes(self._store)

    def __contains__(self, name: object) -> bool:
        return name in self._store.name_set

    def close(self) -> None:
        """Close the file (storing attributes set since the last frame first)."""
        store = self._store
        try:
            if store.file.mode != "r" and store.staged_attrs:
                store.end_attrs_frame()
        finally:
            store.file.close()

    def __enter__(self) -> "Trajectory":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...]]:
        self._store.file.__reduce__()  # raises PickleError unless read-only
        selection = None if self._selection is None else self._selection
        return (_reopen, (self.path, self._store.file.schema, selection))

    # -- the sequence ------------------------------------------------------

    def _indices(self) -> Selection:
        if self._selection is None:
            return range(self._store.length())
        return self._selection

    def __len__(self) -> int:
        if self._selection is None:
            return self._store.length()
        return len(self._selection)

    @overload
    def __getitem__(self, key: int) -> Frame: ...
    @overload
    def __getitem__(self, key: Union[slice, Sequence[int], np.ndarray]) -> "Trajectory": ...

    def __getitem__(self, key: Any) -> Any:
        if type(key) is int or (
            isinstance(key, (int, np.integer)) and not isinstance(key, (bool, np.bool_))
        ):
            return self._frame(int(key))
        indices = self._indices()
        if isinstance(key, slice):
            return Trajectory._view(self._store, indices[key])
        chosen = np.asarray(key)
        if chosen.dtype == np.bool_:
            if chosen.shape != (len(indices),):
                raise IndexError(f"boolean mask of shape {chosen.shape} for {len(indices)} frames")
            chosen = np.flatnonzero(chosen)
        elif chosen.ndim != 1 or (chosen.size and chosen.dtype.kind not in "iu"):
            raise IndexError(f"frames are chosen by an int, a slice, ints or a boolean mask, not {key!r}")
        chosen = chosen.astype(np.int64)
        count = len(indices)
        if chosen.size and (chosen.min() < -count or chosen.max() >= count):
            raise IndexError(f"frame index out of range for {count} frames")
        chosen = np.where(chosen < 0, chosen + count, chosen)
        base = np.asarray(indices, dtype=np.int64) if isinstance(indices, range) else indices
        return Trajectory._view(self._store, base[chosen])

    def _frame(self, i: int) -> Frame:
        # The path of every traj[i] and of iteration: kept to one read_frame
        # and a few attribute lookups.
        store = self._store
        selection = self._selection
        count = store.length() if selection is None else len(selection)
        if i < 0:
            i += count
        if not 0 <= i < count:
            raise IndexError(f"frame index out of range for {count} frames")
        index = i if selection is None else int(selection[i])
        file_frame = store.file_frame(index) if store.hidden else index
        own = cast(Dict[str, Value], store.file.read_frame(file_frame))
        if store.has_reserved:
            own = {k: v for k, v in own.items() if not k.startswith(RESERVED_PREFIX)}
        return Frame(store, index, file_frame, own)

    def __iter__(self) -> Iterator[Frame]:
        i = 0
        while i < len(self):
            yield self._frame(i)
            i += 1

    def frames(self, names: Optional[Iterable[str]] = None) -> Iterator[Frame]:
        """Yield the frames; with `names`, each frame reads and holds only those."""
        if names is None:
            yield from self
            return
        wanted = list(names)
        store = self._store
        for name in wanted:
            if name not in store.name_set:
                raise KeyError(f"no chunk {name!r} in {store.path}")
        indices = self._indices()
        frames = np.asarray(store.file_frames(indices), dtype=np.int64)
        sources = {name: store.source_frames(name, frames) for name in wanted}
        read = store.file.read_chunk
        for k, file_frame in enumerate(frames.tolist()):
            values: Dict[str, Value] = {name: read(int(sources[name][k]), name) for name in wanted}
            written = [name for name in wanted if sources[name][k] == file_frame]
            yield Frame(store, int(indices[k]), file_frame, values, wanted, written)

    def series(self, name: str, rows: Rows = None) -> Series:
        """`name` over the frames of this trajectory (or view) as one array.

        Shape (T, N, M), (T, N) for a one-column chunk, (T,) for a name
        written from scalars; a list of ``str`` for text. Frames that do not
        hold `name` take the value of the latest earlier frame that does.
        `rows` (a slice, range or 1-D int sequence, as ``read_series`` takes
        it) reads only those rows of every frame: shape (T, R, M) or (T, R).
        """
        indices = self._indices()
        frames = self._store.file_frames(indices)
        if not isinstance(frames, range):
            frames = np.asarray(frames, dtype=np.int64)
        return self._store.series(name, frames, rows)

    def written_in(self, name: str) -> npt.NDArray[np.int64]:
        """The indices, in this trajectory (or view), of the frames that hold `name` themselves.

        Frames that have `name` only by the once-written rule are left out:
        with ``series`` of a view of these frames, a reader gets the values
        the frames wrote, in one read.
        """
        store = self._store
        if name not in store.name_set:
            raise KeyError(f"no chunk {name!r} in {store.path}")
        frames = np.asarray(store.file_frames(self._indices()), dtype=np.int64)
        return np.flatnonzero(np.isin(frames, store.frames_holding(name))).astype(np.int64)

    def __repr__(self) -> str:
        store = self._store
        parts = []
        for name in store.names:
            first = store.first_frame(name)
            if first is None:
                parts.append(f"{name}: no frames")
                continue
            value = store.convert(name, store.file.read_chunk(first, name))
            if isinstance(value, str):
                parts.append(f"{name}: text")
            else:
                kind = "scalar" if np.ndim(value) == 0 else str(tuple(np.shape(value)))
                parts.append(f"{name}: {np.asarray(value).dtype} {kind}")
        what = "" if self._selection is None else " (view)"
        lines = [f"<rux.Trajectory {self.path!r}{what}, mode {self.mode!r}, {len(self)} frames"]
        lines += ["  " + part for part in parts]
        return "\n".join(lines) + ">"

    # -- writing -----------------------------------------------------------

    def append(self, chunks: Mapping[str, Any]) -> None:
        """Write one frame: a mapping of chunk name to array, scalar, bool or ASCII ``str``.

        A failure part-way leaves no trace in the trajectory: the frame is
        never ended, and its staged chunks are dropped (by closing and
        reopening the file), so the next append starts a clean frame. So does
        an interrupt (KeyboardInterrupt) wherever it strikes: the frame is
        then in the trajectory whole, or not at all.
        """
        self._writable_root()
        self._store.write_frame(chunks)

    def extend(self, frames: Iterable[Mapping[str, Any]]) -> None:
        """``append`` each frame in turn."""
        self._writable_root()
        for chunks in frames:
            self._store.write_frame(chunks)

    def flush(self) -> None:
        """Write every appended frame (and attributes set since) to the file."""
        store = self._store
        store.end_attrs_frame()
        store.file.flush()
        store.last_publish = time.monotonic()

    def truncate(self, n: int) -> None:
        """Keep the first `n` frames and drop the later ones, to restart from a checkpoint.

        The next ``append`` writes frame `n`. `n` from 0 to ``len(traj)``;
        ``len(traj)`` changes nothing. A crash leaves either every frame or
        the first `n`: the cut is one header write (``RUXFile.truncate_frames``),
        and readers that have the file open keep the frames they saw.

        Attributes keep their latest values: those last set in a dropped
        frame, or set since the last frame, are written again right after the
        cut and flushed before this returns (a crash between the two leaves
        them as they stood at frame `n`). Names that only dropped frames used
        stay in ``names`` and in ``name in traj``, held by no frame; a name
        keeps the kind (scalar, bool, strings) it was first written with.
        Views made before the cut keep their frame numbers.
        """
        self._writable_root()
        n = operator.index(n)
        store = self._store
        if not store.writable:
            store.file.truncate_frames(0)  # raises the file's refusal
        length = store.length()
        if not 0 <= n <= length:
            raise ValueError(f"cannot keep {n} frames: {store.path} has {length} frames")
        store.truncate(n)

    def _writable_root(self) -> None:
        if self._selection is not None:
            raise TypeError("a view of a trajectory can't be appended to; append to the trajectory")

    # -- live follow -------------------------------------------------------

    def refresh(self) -> int:
        """Take in frames a writer flushed since the open; return the new length.

        After a writer cut the file (``truncate``), the frames it dropped are
        gone from here too. A view keeps the frame numbers it was made with.
        """
        store = self._store
        nfile, kept = store.file.refresh_keeping()
        if kept < store.nfile:
            store.forget_from(kept)  # a writer cut the file since
        if nfile != store.nfile:
            store.load_names()
            store.sync()
        return len(self)

    def follow(self, poll: float = 0.5, timeout: Optional[float] = None, start: int = 0) -> Iterator[Frame]:
        """Yield frames from `start` on, waiting for a writer to flush more.

        Checks every `poll` seconds; stops when no new frame came for
        `timeout` seconds (never when None). A view yields its frames and
        stops.
        """
        i = start + len(self) if start < 0 else start
        waited_since = time.monotonic()
        while True:
            while i < len(self):
                yield self._frame(i)
                i += 1
                waited_since = time.monotonic()
            if self._selection is not None:
                return
            if self.refresh() > i:
                continue
            if timeout is not None and time.monotonic() - waited_since >= timeout:
                return
            time.sleep(poll)

    # -- dask --------------------------------------------------------------

    def to_dask(self, name: str, frames_per_chunk: Optional[int] = None) -> Any:
        """`name` over the frames as a ``dask.array.Array``, shaped as ``series`` gives it.

        Each block is read by the worker that computes it, through a read-only
        handle of its own. The graph's keys hold the file's identity and a
        fresh token, so dask never hands back a result computed from another
        file of the same name; a block whose file was replaced since raises.
        `frames_per_chunk` defaults to about 64 MiB per block.
        """
        try:
            import dask.array as da
            from dask.highlevelgraph import HighLevelGraph
        except ImportError:
            raise ImportError('to_dask needs dask: pip install "dask[array]"') from None
        indices = self._indices()
        if len(indices) == 0:
            raise ValueError("no frames to make a dask array of")
        frames = np.asarray(self._store.file_frames(indices), dtype=np.int64)
        sample = self._store.series(name, frames[:1])
        if not isinstance(sample, np.ndarray):
            raise TypeError(f"{name!r} holds text, which makes no dask array")
        per_frame = max(1, sample.nbytes)
        step = frames_per_chunk or max(1, (64 << 20) // per_frame)
        identity = _file_identity(self.path)
        key = "rux-series-" + uuid.uuid4().hex
        extra = (0,) * (sample.ndim - 1)
        graph: Dict[Any, Any] = {}
        lengths = []
        for block, begin in enumerate(range(0, len(frames), step)):
            part = frames[begin : begin + step].tolist()
            lengths.append(len(part))
            graph[(key, block) + extra] = (
                _read_block,
                self.path,
                self._store.file.schema,
                identity[:2],
                name,
                part,
            )
        chunks = (tuple(lengths),) + tuple((n,) for n in sample.shape[1:])
        layer = HighLevelGraph.from_collections(key, graph, dependencies=())
        return da.Array(layer, key, chunks, dtype=sample.dtype)


def _read_block(path: str, schema: str, device_inode: Tuple[int, int], name: str, frames: List[int]) -> Series:
    # Runs on a dask worker: a handle of its own, and a refusal to read a file
    # that replaced the one the array was made from.
    if _file_identity(path)[:2] != tuple(device_inode):
        raise RuntimeError(f"{path} was replaced after the dask array was made from it")
    with open(path, "r", schema=schema) as traj:
        return traj._store.series(name, np.asarray(frames, dtype=np.int64))


def _reopen(path: str, schema: str, selection: Optional[Selection]) -> Trajectory:
    traj = open(path, "r", schema=schema)
    if selection is None:
        return traj
    return Trajectory._view(traj._store, selection)

