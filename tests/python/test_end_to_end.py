"""The typical request from end to end, checked against the bytes of the file, and the example."""

import os
import subprocess
import sys
from pathlib import Path

import numpy
import rux.fl as fl

from rux_files import ENTRY, HEADER, MAGIC

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "write_read_trajectory.py"
PACKAGE_PARENT = str(Path(os.path.abspath(fl.__file__)).parents[1])


def test_typical_request(path, records):
    positions = numpy.arange(30, dtype=numpy.float32).reshape(10, 3)
    f = fl.open(path, "w", "simulator", "md", (1, 0))
    f.write_chunk("particles/position", positions)
    f.end_frame()
    assert os.path.getsize(path) == 5376  # nothing has reached the file yet
    f.close()

    content = Path(path).read_bytes()
    assert len(content) == 5376 + positions.nbytes
    header = HEADER.unpack_from(content, 0)
    assert header[:7] == (MAGIC, 256, 128, 4352, 16, 0x10000, 0x20001)
    assert header[7] == b"simulator".ljust(64, b"\0")
    assert header[8] == b"md".ljust(64, b"\0")
    assert header[9] == bytes(80)
    assert content[:8] == bytes.fromhex("DF65DF65DF65DF65")
    assert ENTRY.unpack_from(content, 256) == (0, 10, 5376, 3, 0, 9, 0)
    assert content[256 + 32 : 4352] == bytes(4096 - 32)
    name = b"particles/position\0"
    assert content[4352 : 4352 + len(name)] == name
    assert content[4352 + len(name) : 5376] == bytes(1024 - len(name))
    assert content[5376:] == positions.tobytes()

    with fl.open(path, "r") as g:
        assert g.nframes == 1
        result = g.read_chunk(0, "particles/position")
    assert result.dtype == numpy.float32 and result.shape == (10, 3)
    numpy.testing.assert_array_equal(result, positions)
    assert [level for level, _ in records.messages] == [
        "info",
        "debug",
        "debug",
        "info",
        "info",
        "debug",
        "info",
    ]
    assert records.messages[0][1].startswith(f"overwriting file: {path} with mode: w")
    assert records.messages[3] == ("info", f"closing file: {path}")


def test_example_script_writes_and_summarises_a_trajectory(tmp_path):
    target = tmp_path / "trajectory.rux"
    environment = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)
    result = subprocess.run(
        [sys.executable, str(EXAMPLE), str(target), "--frames", "250", "--particles", "32"],
        env=environment,
        cwd="/",
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert "frames: 250" in result.stdout
    assert "particles: 32" in result.stdout
    assert "read back matches written data: yes" in result.stdout
    with fl.open(str(target), "r", schema="md-trajectory") as f:
        assert f.nframes == 250
        assert f.read_chunk(249, "particles/position").shape == (32, 3)
        assert f.read_chunk(0, "particles/typeid").dtype == numpy.uint32
        assert len(f.read_chunk(0, "particles/types")) == 32
        assert f.read_chunk(100, "log/potential_energy").shape == (1,)
