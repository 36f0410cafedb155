"""rux._format, the Python tools' statement of the format, against the library and its header."""

import ctypes
import re
from pathlib import Path

import numpy as np
import pytest
import rux.fl as fl
from rux import _format as fmt

RUX_H = Path(__file__).resolve().parents[2] / "filelayer" / "include" / "rux" / "rux.h"


def _c_header():
    if not RUX_H.exists():
        pytest.skip("the C header is not beside the tests")
    return RUX_H.read_text()


def test_a_file_written_by_the_library_reads_back_through_the_format(tmp_path):
    path = str(tmp_path / "types.rux")
    arrays = {name: np.arange(6, dtype=name).reshape(3, 2) for name in fmt.TYPE_NAMES.values()
              if name != "char"}
    with fl.open(path, "w", "app", "schema", (1, 0)) as handle:
        for name, array in arrays.items():
            handle.write_chunk(name, array)
        handle.write_chunk("text", "hello")
        handle.end_frame()
    content = open(path, "rb").read()
    header = fmt.HEADER.unpack_from(content)
    magic, index_location, capacity, namelist_location, units, _, version = header[:7]
    assert magic == fmt.MAGIC
    assert (index_location, capacity) == (fmt.INITIAL_INDEX_LOCATION, fmt.INITIAL_INDEX_ENTRIES)
    assert (namelist_location, units * fmt.NAMELIST_UNIT) == (
        fmt.INITIAL_NAMELIST_LOCATION,
        fmt.INITIAL_NAMELIST_SIZE,
    )
    with fl.open(path, "r") as handle:
        assert fmt.version_text(version) == "%d.%d" % handle.rux_version
    assert fmt.layout_of(version) == 2
    block = content[namelist_location : namelist_location + units * fmt.NAMELIST_UNIT]
    names = [name.decode() for name in fmt.parse_namelist(block, 2).names]
    entries = np.frombuffer(content, fmt.ENTRY_DTYPE, len(names), index_location)
    assert entries[0]["location"] == fmt.INITIAL_FILE_SIZE
    for entry in entries:
        name, code = names[entry["id"]], int(entry["type"])
        start, size = int(entry["location"]), int(entry["N"] * entry["M"] * fmt.ELEMENT_SIZES[code])
        data = np.frombuffer(content[start : start + size], fmt.ELEMENT_DTYPES[code])
        if name == "text":
            assert code == fmt.CHARACTER and data.tobytes() == b"hello"
        else:
            assert fmt.TYPE_NAMES[code] == name and data.dtype == np.dtype(name)
            assert (data.reshape(3, 2) == arrays[name]).all()


@pytest.mark.parametrize("layout, version", [(1, fmt.VERSION_1_0), (2, fmt.VERSION_2_0)])
def test_encoded_names_are_the_names_the_library_reads(tmp_path, layout, version):
    names = [b"a", b"positions", b"x" * 63, "\u00e9t\u00e9".encode()]
    encoded = fmt.encode_names(names, layout)
    assert fmt.parse_namelist(encoded + bytes(1), layout).names == names
    block = encoded.ljust(fmt.INITIAL_NAMELIST_SIZE, b"\0")
    header = fmt.HEADER.pack(
        fmt.MAGIC, fmt.INITIAL_INDEX_LOCATION, fmt.INITIAL_INDEX_ENTRIES,
        fmt.INITIAL_NAMELIST_LOCATION, len(block) // fmt.NAMELIST_UNIT, 0x10000, version,
        b"app", b"schema", bytes(80),
    )
    path = tmp_path / "names.rux"
    path.write_bytes(header + bytes(fmt.ENTRY_SIZE * fmt.INITIAL_INDEX_ENTRIES) + block)
    with fl.open(str(path), "r") as handle:
        assert handle.find_matching_chunk_names("") == [name.decode() for name in names]


def test_type_codes_and_sizes_match_the_c_header_and_library():
    enum = dict(
        (int(code), name) for name, code in re.findall(r"RUX_TYPE_(\w+) = (\d+)", _c_header())
    )
    spelled = {"FLOAT": "float32", "DOUBLE": "float64", "CHARACTER": "char"}
    assert {code: spelled.get(name, name.lower()) for code, name in enum.items()} == fmt.TYPE_NAMES
    library = ctypes.CDLL(fl.__file__)
    library.rux_sizeof_type.restype = ctypes.c_uint64
    library.rux_sizeof_type.argtypes = [ctypes.c_int]
    assert [library.rux_sizeof_type(code) for code in range(256)] == fmt.ELEMENT_SIZES.tolist()
    assert ctypes.c_uint64.in_dll(library, "RUX_MAGIC_ID").value == fmt.MAGIC


C_TYPES = {"uint64_t": "Q", "int64_t": "q", "uint32_t": "I", "uint16_t": "H", "uint8_t": "B"}


def _c_members(name):
    """(type, array length or "") of each member of a struct of the public header."""
    body = re.search(r"typedef struct %s \{(.*?)\} %s;" % (name, name), _c_header(), re.S)
    return re.findall(r"^\s*(\w+) \w+(?:\[(\d+)\])?;", body.group(1), re.M)


def test_record_layouts_match_the_c_header():
    header = [f"{count}s" if count else C_TYPES[c_type] for c_type, count in _c_members("rux_header")]
    assert "<" + "".join(header) == fmt.HEADER.format
    entry = [c_type for c_type, _ in _c_members("rux_index_entry")]
    fields = [fmt.ENTRY_DTYPE[i] for i in range(len(fmt.ENTRY_DTYPE))]
    assert entry == [f"{'u' if f.kind == 'u' else ''}int{8 * f.itemsize}_t" for f in fields]
