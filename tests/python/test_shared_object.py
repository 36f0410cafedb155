"""The shared object exports the C API, the module entry point and the magic constant only."""

import ctypes
import shutil
import subprocess

import pytest
import rux.fl as fl

C_API = {
    "rux_make_version",
    "rux_create",
    "rux_create_and_open",
    "rux_open",
    "rux_close",
    "rux_get_nframes",
    "rux_sizeof_type",
    "rux_find_chunk",
    "rux_read_chunk",
    "rux_find_matching_chunk_name",
    "rux_write_chunk",
    "rux_end_frame",
    "rux_get_maximum_write_buffer_size",
    "rux_set_maximum_write_buffer_size",
    "rux_get_index_entries_to_buffer",
    "rux_set_index_entries_to_buffer",
    "rux_flush",
    "rux_truncate",
    "rux_upgrade",
    "rux_read_series",
    "rux_read_series_rows",
    "rux_find_frame_chunks",
    "rux_read_chunks",
    "rux_strerror",
    "rux_refresh",
}
EXPORTED = C_API | {"PyInit_fl", "RUX_MAGIC_ID"}


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_exactly_the_public_symbols_are_exported():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", fl.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    # AddressSanitizer builds add one-definition-rule markers of their own.
    assert {name for name in symbols if not name.startswith("__odr_asan")} == EXPORTED


def test_c_api_is_callable_and_internals_are_hidden():
    library = ctypes.CDLL(fl.__file__)
    for name in EXPORTED:
        assert hasattr(library, name), name
    for hidden in (
        "rux_pwrite_all",
        "rux_pread_all",
        "rux_name_id_map_add",
        "rux_index_buffer_push",
        "rux_load_handle",
    ):
        assert not hasattr(library, hidden), hidden
    assert ctypes.c_uint64.in_dll(library, "RUX_MAGIC_ID").value == 0x65DF65DF65DF65DF
    library.rux_make_version.restype = ctypes.c_uint32
    library.rux_make_version.argtypes = [ctypes.c_uint32, ctypes.c_uint32]
    assert library.rux_make_version(2, 1) == 0x20001
