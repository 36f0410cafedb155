"""Bad input and failing systems at the binding's edge: names, frames, damaged
entries, a file cut short, a full disk."""
import errno
import gc
import os
import subprocess
import sys

import numpy as np
import pytest

import rux.fl as fl
from rux_files import Chunk, craft_file, craft_many_entries

CREATE = dict(application="app", schema="schema", schema_version=(1, 0))


def test_nul_in_file_name_is_refused_and_touches_nothing(tmp_path):
    path = tmp_path / "keep.rux"
    with fl.open(str(path), "w", **CREATE) as f:
        f.write_chunk("a", np.arange(3.0))
        f.end_frame()
    before = path.read_bytes()
    for mode in ("a", "w", "r"):
        with pytest.raises(ValueError, match="null"):
            fl.open(str(path) + "\0.part", mode, **CREATE)
    assert path.read_bytes() == before


def test_bytes_file_name_is_a_path(tmp_path):
    path = tmp_path / "bytes.rux"
    with fl.open(os.fsencode(path), "w", **CREATE) as f:
        assert f.name == str(path)
    assert path.exists()


@pytest.mark.parametrize("call", ["write_chunk", "read_chunk", "chunk_exists"])
@pytest.mark.parametrize("name", [b"a", 5, None])
def test_non_str_chunk_names_are_type_errors(tmp_path, call, name):
    with fl.open(str(tmp_path / "f.rux"), "w", **CREATE) as f:
        args = (name, np.zeros(2)) if call == "write_chunk" else (0, name)
        with pytest.raises(TypeError, match="chunk name must be str"):
            getattr(f, call)(*args)


@pytest.mark.parametrize("frame", [2**63, 2**64 + 1, -(2**63) - 1])
def test_frames_beyond_64_bits_are_absent(tmp_path, frame):
    with fl.open(str(tmp_path / "f.rux"), "w", **CREATE) as f:
        f.write_chunk("a", np.zeros(2))
        f.end_frame()
        with pytest.raises(KeyError):
            f.read_chunk(frame, "a")
        assert f.chunk_exists(frame, "a") is False


READS_OF_FRAME_1 = {
    "read_chunk": lambda f: f.read_chunk(1, "a"),
    "read_frame": lambda f: f.read_frame(1),
    "read_series": lambda f: f.read_series("a"),
}


@pytest.mark.parametrize("read", READS_OF_FRAME_1.values(), ids=READS_OF_FRAME_1.keys())
@pytest.mark.parametrize("N", [2**40, 2**56])
def test_damaged_entry_is_refused_before_any_allocation(tmp_path, read, N):
    # Entries 1 to 3 are not probed when the open counts six used entries;
    # entry 1 claims N float64 rows (2**56 of them: 512 PiB) at offset 300.
    chunks = [Chunk(t, 0, 10, 1, 1, bytes(8)) for t in range(6)]
    chunks[1] = Chunk(1, 0, 10, N, 1, location=300)
    path = craft_file(tmp_path / "f.rux", [b"a"], chunks)
    with fl.open(path, "r") as f:
        with pytest.raises(RuntimeError, match="Corrupt RUX file"):
            read(f)
        assert f.read_chunk(4, "a").shape == (1,)


@pytest.mark.parametrize("N, M, shape", [(5, 0, (5, 0)), (0, 3, (0, 3)), (2**56, 0, (2**56, 0))])
def test_an_empty_chunk_located_past_the_end_reads_as_empty(tmp_path, N, M, shape):
    # No byte of an empty chunk is read, so where it claims to lie does not matter.
    # Entries 1 to 3 are not probed when the open counts six used entries.
    chunks = [Chunk(t, 0, 10, 1, 1, bytes(8)) for t in range(6)]
    chunks[1] = Chunk(1, 0, 10, N, M, location=1 << 40)
    path = craft_file(tmp_path / "f.rux", [b"a"], chunks)
    with fl.open(path, "r") as f:
        empty = f.read_chunk(1, "a")
        assert empty.shape == shape and empty.dtype == np.float64


def test_the_read_is_logged_before_a_damaged_entry_is_refused(tmp_path, records):
    chunks = [Chunk(t, 0, 10, 1, 1, bytes(8)) for t in range(6)]
    chunks[1] = Chunk(1, 0, 10, 2**40, 1, location=300)
    path = craft_file(tmp_path / "f.rux", [b"a"], chunks)
    with fl.open(path, "r") as f:
        records.clear()
        with pytest.raises(RuntimeError, match="Corrupt RUX file"):
            f.read_chunk(1, "a")
        assert records.messages == [("debug", f"read chunk: {path} - 1 - a")]


def test_short_read_of_a_cut_file_is_eio(tmp_path):
    path = str(tmp_path / "f.rux")
    with fl.open(path, "w", **CREATE) as f:
        f.write_chunk("a", np.ones(4096))
        f.end_frame()
    with fl.open(path, "r") as f:
        os.truncate(path, os.path.getsize(path) - 4096 * 8 + 100)
        with pytest.raises(OSError) as raised:
            f.read_chunk(0, "a")
        assert raised.value.errno == errno.EIO


FULL_DISK = r"""
import errno, gc, os, sys
import numpy as np
import rux.fl as fl
mount = sys.argv[1]
create = dict(application="app", schema="schema", schema_version=(1, 0))
filler = os.path.join(mount, "filler")
f = fl.open(os.path.join(mount, "a.rux"), "w", **create)
f.write_chunk("x", np.ones(50_000))   # 400 kB into the write buffer
f.end_frame()
try:
    f.close()
    raise SystemExit("close succeeded on a full disk")
except OSError as error:
    assert error.errno == errno.ENOSPC, error
# Still open with nothing lost: after room is made, close succeeds.
assert f.nframes == 1
os.remove(filler)
f.close()
with fl.open(os.path.join(mount, "a.rux"), "r") as g:
    assert g.read_chunk(0, "x").sum() == 50_000
# Dropped on a full disk: the failure reaches the hook, and everything is
# released (the space of the deleted file comes back).
with open(filler, "wb") as out:
    out.write(bytes(os.statvfs(mount).f_bavail * os.statvfs(mount).f_frsize - 100_000))
seen = []
sys.unraisablehook = lambda hook: seen.append(hook.exc_value)
f = fl.open(os.path.join(mount, "b.rux"), "w", **create)
f.write_chunk("x", np.ones(50_000))
f.end_frame()
os.remove(os.path.join(mount, "b.rux"))
del f
gc.collect()
assert any(isinstance(e, OSError) and e.errno == errno.ENOSPC for e in seen), seen
os.remove(filler)
assert os.listdir(mount) == ["a.rux"], os.listdir(mount)
free = os.statvfs(mount)
assert free.f_bavail * free.f_frsize > 500_000  # b.rux no longer held open
print("ok")
"""


def test_full_disk_close_and_dealloc(tmp_path):
    mount = tmp_path / "small"
    mount.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a small tmpfs here")
    try:
        with open(mount / "filler", "wb") as out:
            out.write(bytes(700_000))
        result = subprocess.run([sys.executable, "-c", FULL_DISK, str(mount)],
                                capture_output=True, text=True, timeout=60)
        assert result.returncode == 0 and "ok" in result.stdout, result.stderr
    finally:
        subprocess.run(["umount", str(mount)])


@pytest.mark.parametrize("layout", ["v1", "v2"])
def test_sparse_file_declaring_a_huge_namelist_opens_without_reading_it(tmp_path, layout):
    """A reader reads a declared namelist block only as far as the file holds
    data: 1 GiB of holes costs no memory."""
    path = tmp_path / "sparse.rux"
    with fl.open(str(path), "w", **CREATE) as f:
        f.write_chunk("kept", np.arange(3.0))
        f.end_frame()
    data = bytearray(path.read_bytes())
    names = b"kept\0" if layout == "v2" else b"kept".ljust(64, b"\0")
    location = (len(data) + 4095) // 4096 * 4096
    units = 2**30 // 64
    data[24:40] = location.to_bytes(8, "little") + units.to_bytes(8, "little")
    if layout == "v1":
        data[44:48] = (0x10000).to_bytes(4, "little")
    with open(path, "wb") as out:
        out.write(bytes(data[:location]).ljust(location, b"\0"))
        out.write(names)
        out.truncate(location + units * 64)
    script = (
        "import sys, rux.fl as fl\n"
        "f = fl.open(sys.argv[1], 'r')\n"
        "print(f.read_chunk(0, 'kept').tolist(), f.find_matching_chunk_names(''))\n"
        "status = open('/proc/self/status').read().split('VmHWM:')[1]\n"
        "print(int(status.split()[0]) // 1024)\n"
    )
    result = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True,
                            text=True, check=True)
    values, peak_mib = result.stdout.splitlines()
    assert values == "[0.0, 1.0, 2.0] ['kept']"
    assert int(peak_mib) < 512


def test_names_past_the_last_id_are_not_read(tmp_path):
    """A namelist of more names than 16-bit ids can tell apart: the names past
    id 65534 are not names, and none takes the id of another."""
    names = [b"n%d" % i for i in range(65537)]
    path = tmp_path / "many-names.rux"
    craft_many_entries(path, [0, 0], [0, 1], names, capacity=4)
    with fl.open(str(path), "r") as f:
        assert f.chunk_exists(0, "n0") and f.chunk_exists(0, "n1")
        assert f.chunk_exists(0, "n65534") is False
        for absent in ("n65535", "n65536"):
            with pytest.raises(KeyError):
                f.read_chunk(0, absent)
