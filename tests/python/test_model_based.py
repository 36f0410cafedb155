"""A hypothesis state machine drives RUXFile against a model of what must be
readable, and long loops check that opening and closing leaks nothing."""

import os
import resource

import numpy
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from conftest import fl
from rux_files import open_descriptor_count

DTYPES = [numpy.uint8, numpy.uint16, numpy.uint32, numpy.uint64, numpy.int8, numpy.int16,
          numpy.int32, numpy.int64, numpy.float32, numpy.float64]
NAMES = ["pos", "vel", "box", "log/energy", "log/temperature", "types"]
FAST_DIRECTORY = "/dev/shm" if os.path.isdir("/dev/shm") else None


@st.composite
def arrays(draw):
    dtype = draw(st.sampled_from(DTYPES))
    shape = draw(st.sampled_from([(0,), (1,), (7,), (3, 2), (5, 3), (40, 3), (2, 1)]))
    size = int(numpy.prod(shape)) * numpy.dtype(dtype).itemsize
    data = draw(st.binary(min_size=size, max_size=size))
    return numpy.frombuffer(data, dtype=dtype).reshape(shape).copy()


def expected_value(value):
    # One-column chunks read back one-dimensional.
    if isinstance(value, numpy.ndarray) and value.ndim == 2 and value.shape[1] == 1:
        return value.reshape(-1)
    return value


class RuxFileMachine(RuleBasedStateMachine):
    """The model: `frames` holds every completed frame, `open_frame` the chunks
    written since the last end_frame; a reopen keeps what close recorded."""

    def __init__(self):
        super().__init__()
        self.directory = self._make_directory()
        self.path = os.path.join(self.directory, "model.rux")
        self.file = fl.open(self.path, "w", "model", "schema", (1, 0))
        self.mode = "w"
        self.frames = []
        self.open_frame = {}

    @staticmethod
    def _make_directory():
        import tempfile

        # Memory-backed when the system has it: every flush syncs the file.
        return tempfile.mkdtemp(prefix="rux-model-", dir=FAST_DIRECTORY)

    def writable(self):
        return self.mode != "r"

    @precondition(writable)
    @rule(name=st.sampled_from(NAMES), value=arrays())
    def write_array(self, name, value):
        if name in self.open_frame:
            return  # a name written twice in a frame may read back either chunk
        self.file.write_chunk(name, value)
        self.open_frame[name] = value

    @precondition(writable)
    @rule(name=st.sampled_from(NAMES), text=st.text(alphabet="abcxyz ", max_size=12))
    def write_text(self, name, text):
        if name in self.open_frame:
            return
        self.file.write_chunk(name, text)
        self.open_frame[name] = text.rstrip("\0")

    @precondition(writable)
    @rule()
    def end_frame(self):
        self.file.end_frame()
        self.frames.append(self.open_frame)
        self.open_frame = {}

    @precondition(writable)
    @rule()
    def flush(self):
        self.file.flush()

    @precondition(writable)
    @rule(size=st.integers(min_value=1, max_value=1 << 16), entries=st.integers(1, 64))
    def thresholds(self, size, entries):
        self.file.maximum_write_buffer_size = size
        self.file.index_entries_to_buffer = entries

    @precondition(writable)
    @rule()
    def truncate(self):
        self.file.truncate()
        self.frames = []
        self.open_frame = {}

    @rule(mode=st.sampled_from(["r", "r+", "a"]))
    def reopen(self, mode):
        self.file.close()
        self.open_frame = {}  # chunks of an unended frame are not recorded
        self.file = fl.open(self.path, mode, schema="schema")
        self.mode = mode
        # Frames after the last chunk have no entry in the file.
        while self.frames and not self.frames[-1]:
            self.frames.pop()
        assert self.file.nframes == len(self.frames)

    @rule(data=st.data())
    def read_any(self, data):
        if not self.frames:
            return
        frame = data.draw(st.integers(0, len(self.frames) - 1))
        name = data.draw(st.sampled_from(NAMES))
        expected = self.frames[frame].get(name)
        if expected is None:
            assert not self.file.chunk_exists(frame, name)
            with pytest.raises(KeyError):
                self.file.read_chunk(frame, name)
            return
        got = self.file.read_chunk(frame, name)
        if isinstance(expected, str):
            assert got == expected
        else:
            want = expected_value(expected)
            assert got.dtype == want.dtype and got.shape == want.shape
            assert got.tobytes() == want.tobytes()

    @invariant()
    def frame_count_matches(self):
        assert self.file.nframes == len(self.frames)

    @invariant()
    def names_are_listed(self):
        written = {name for frame in self.frames for name in frame}
        assert written <= set(self.file.find_matching_chunk_names(""))

    def teardown(self):
        self.file.close()
        for entry in os.listdir(self.directory):
            os.unlink(os.path.join(self.directory, entry))
        os.rmdir(self.directory)


RuxFileMachine.TestCase.settings = settings(
    max_examples=60, stateful_step_count=40, deadline=None,
    suppress_health_check=[HealthCheck.too_slow])
TestRuxFileModel = RuxFileMachine.TestCase


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize() // 1024


@pytest.mark.parametrize("mode", ["r", "r+"])
def test_opening_and_closing_many_times_leaks_nothing(mode):
    import tempfile

    directory = tempfile.TemporaryDirectory(dir=FAST_DIRECTORY)
    path = os.path.join(directory.name, "leaks.rux")
    with fl.open(path, "w", "app", "schema", (1, 0)) as f:
        f.write_chunk("pos", numpy.zeros((4, 3), dtype=numpy.float32))
        f.end_frame()
    for _ in range(2000):  # warm up allocator pools before the baseline
        fl.open(path, mode).close()
    descriptors, memory = open_descriptor_count(), resident_kib()
    for _ in range(50_000):
        f = fl.open(path, mode)
        f.read_chunk(0, "pos")
        f.close()
    assert open_descriptor_count() == descriptors
    assert resident_kib() - memory < 4096, "resident memory grew by more than 4 MiB"
    directory.cleanup()
