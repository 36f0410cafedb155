"""Per-frame analysis of a rux file across processes.

``map_frames`` splits the frames of a file into contiguous batches and runs
each batch as one task of an executor: ``concurrent.futures.ProcessPoolExecutor``,
a ``dask.distributed.Client`` (or its ``get_executor()``), or anything else
with ``submit(function, *args)`` returning futures with ``result()``. Each task
receives the file as a pickled read-only ``RUXFile``; unpickling opens the
file again in the worker, so every task reads through a handle of its own and
closes it when the batch is done. Results come back in the order of the frames
asked for.
"""

import os
import pickle
from typing import Any, Callable, Iterable, List, Optional, Sequence, Union

from rux import fl

__all__ = ["map_frames", "split_frames"]

FrameFunction = Callable[[fl.RUXFile, int], Any]


def split_frames(frames: Sequence[int], batches: int) -> List[Sequence[int]]:
    """Cut frames into at most `batches` contiguous runs of near-equal length.

    Contiguous runs keep each worker's reads close together in the file.
    """
    if batches < 1:
        raise ValueError("batches must be at least 1")
    count = len(frames)
    batches = min(batches, count)
    bounds = [count * i // batches for i in range(batches + 1)] if batches else [0]
    return [frames[bounds[i] : bounds[i + 1]] for i in range(len(bounds) - 1)]


def _apply_to_batch(
    pickled_file: bytes, function: FrameFunction, identity: tuple, frames: Sequence[int]
) -> list:
    # Unpickling reopens the file here, in the worker, and checks its schema;
    # the handle belongs to this task alone and is closed when it ends.
    # `identity` only makes the task's arguments differ from those of a task
    # on an earlier file of the same name (see _submit).
    with pickle.loads(pickled_file) as reader:
        return [function(reader, frame) for frame in frames]


def _file_identity(path: str) -> tuple:
    st = os.stat(path)
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def _submit(executor: Any, task: Callable, *args: Any) -> Any:
    """executor.submit(task, *args), never answered from an earlier task's result.

    A pickled file is only its name and metadata, so tasks on a rewritten
    file of the same name used to have the same arguments, and dask, which
    keys tasks by their arguments, could return a result still held for the
    old file. The file's identity (device, inode, size, modification time) is
    among the arguments, and dask is told the task is impure, since an inode
    and a coarse modification time can both repeat for a file rewritten at
    once.
    """
    if type(executor).__module__.split(".")[0] == "distributed":
        return executor.submit(task, *args, pure=False)
    return executor.submit(task, *args)


def _default_batches() -> int:
    # A few batches per core keeps the workers busy when frames cost unequal
    # time, without paying a reopen per frame.
    return 4 * (os.cpu_count() or 1)


def map_frames(
    file: Union[fl.RUXFile, str, "os.PathLike[str]"],
    function: FrameFunction,
    frames: Optional[Iterable[int]] = None,
    executor: Any = None,
    batches: Optional[int] = None,
) -> list:
    """Return ``[function(reader, frame) for frame in frames]``, computed by `executor`.

    file: a ``RUXFile`` opened with mode "r", or the name of a file, which is
        opened with mode "r" for the duration of the call.
    function: called as ``function(reader, frame)`` with a read-only
        ``RUXFile`` and a frame index; it and its results must pickle (a
        module-level function, or a ``functools.partial`` of one).
    frames: the frame indices to analyse; all frames of the file by default.
    executor: None runs every frame here, through `file` itself; otherwise each
        batch is submitted as ``executor.submit(task, pickled file, function,
        file identity, batch)`` (with ``pure=False`` for a dask client).
        The file travels pickled, so the tasks never share the caller's
        handle, whichever executor runs them.
    batches: how many tasks to submit; by default four per core of this
        machine, at most one per frame.

    Raises ``pickle.PickleError`` ("Only read only RUXFiles can be pickled.")
    when `file` is not open in mode "r" and an executor is given, and whatever
    `function` raises, re-raised from the task's ``result()``.
    """
    if isinstance(file, fl.RUXFile):
        return _map_open_file(file, function, frames, executor, batches)
    with fl.open(file, "r") as reader:
        return _map_open_file(reader, function, frames, executor, batches)


def _map_open_file(reader, function, frames, executor, batches) -> list:
    frames = list(range(reader.nframes) if frames is None else frames)
    if executor is None:
        return [function(reader, frame) for frame in frames]
    pickled_file = pickle.dumps(reader)
    identity = _file_identity(reader.name)
    batch_count = _default_batches() if batches is None else batches
    futures = [
        _submit(executor, _apply_to_batch, pickled_file, function, identity, batch)
        for batch in split_frames(frames, batch_count)
    ]
    results: list = []
    for future in futures:
        results.extend(future.result())
    return results
