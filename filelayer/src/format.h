// The file format: every layout fact the library, the binding, the tests'
// helpers and the benchmarks use, in one place (docs/format.md describes it).
// Tuning defaults that a file does not record live in tuning.h.
#ifndef RUX_FORMAT_H
#define RUX_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "rux/rux.h"

// ---- Versions: (major << 16) | minor ----
constexpr uint32_t RUX_VERSION_0_3 = 0x3;
constexpr uint32_t RUX_VERSION_1_0 = 0x10000;
constexpr uint32_t RUX_VERSION_2_0 = 0x20000;
constexpr uint32_t RUX_VERSION_2_1 = 0x20001;  // written by new files; keeps the commit record
constexpr uint32_t RUX_VERSION_LAST_ACCEPTED = 0x2FFFF;

// 0.3, and every 1.x and 2.x.
inline bool rux_version_is_accepted(uint32_t version) {
    return version == RUX_VERSION_0_3 ||
           (version >= RUX_VERSION_1_0 && version <= RUX_VERSION_LAST_ACCEPTED);
}
// Writable opens mark 2.0 and 2.1 files as 2.1, the version whose writers
// keep the commit record; files of other versions keep theirs.
inline bool rux_version_is_written_as_2_1(uint32_t version) {
    return version == RUX_VERSION_2_0 || version == RUX_VERSION_2_1;
}
// Version 2 layout: names packed NUL-terminated, entries sorted by (frame, id).
// Older files keep one 64-byte slot per name and entries in write order.
inline bool rux_has_v2_layout(const rux_header &header) {
    return header.rux_version >= RUX_VERSION_2_0;
}

// ---- Records ----
constexpr uint64_t RUX_HEADER_SIZE = sizeof(rux_header);
constexpr uint64_t RUX_INDEX_ENTRY_SIZE = sizeof(rux_index_entry);
static_assert(RUX_HEADER_SIZE == 256 && RUX_INDEX_ENTRY_SIZE == 32, "record sizes");
// The namelist block is allocated in units of this many bytes; a version 1
// layout stores one name per unit.
constexpr uint64_t RUX_NAMELIST_UNIT = 64;
// The header's application and schema fields: text of at most 63 bytes,
// NUL-terminated and zero-padded.
constexpr size_t RUX_HEADER_TEXT_FIELD = sizeof(rux_header{}.application);
constexpr size_t RUX_HEADER_TEXT_MAX = RUX_HEADER_TEXT_FIELD - 1;
static_assert(sizeof(rux_header{}.schema) == RUX_HEADER_TEXT_FIELD, "text fields");
// Name ids are 16 bits and 0xFFFF names no chunk: ids 0 to 65534.
constexpr uint64_t RUX_MAX_NAMES = RUX_NAME_ID_NONE;

// Element sizes by type code; codes outside 1 to 11 are not types.
constexpr size_t RUX_TYPE_SIZES[] = {0, 1, 2, 4, 8, 1, 2, 4, 8, 4, 8, 1};
constexpr unsigned RUX_TYPE_CODE_COUNT = sizeof RUX_TYPE_SIZES / sizeof RUX_TYPE_SIZES[0];
static_assert(RUX_TYPE_CODE_COUNT == RUX_TYPE_CHARACTER + 1, "a size for every type code");

// ---- A new file: header, an index block of 128 entries, a namelist block of
// 16 units, back to back ----
constexpr uint64_t RUX_NEW_INDEX_LOCATION = RUX_HEADER_SIZE;
constexpr uint64_t RUX_NEW_INDEX_ENTRIES = 128;
constexpr uint64_t RUX_NEW_NAMELIST_LOCATION =
    RUX_NEW_INDEX_LOCATION + RUX_NEW_INDEX_ENTRIES * RUX_INDEX_ENTRY_SIZE;
constexpr uint64_t RUX_NEW_NAMELIST_UNITS = 16;
constexpr uint64_t RUX_NEW_FILE_SIZE =
    RUX_NEW_NAMELIST_LOCATION + RUX_NEW_NAMELIST_UNITS * RUX_NAMELIST_UNIT;
static_assert(RUX_NEW_NAMELIST_LOCATION == 4352 && RUX_NEW_FILE_SIZE == 5376, "new file layout");

// ---- The commit record, in the header's reserved bytes (offset 176) ----
constexpr uint64_t RUX_COMMIT_TAG = 0x54494D4F43585552ull;  // "RUXCOMIT"
constexpr uint32_t RUX_COMMIT_WRITER_ACTIVE = 1;            // the only flag
// Byte offsets within the reserved bytes; the rest of them stays zero.
constexpr size_t RUX_COMMIT_TAG_AT = 0;         // uint64_t
constexpr size_t RUX_COMMIT_ENTRIES_AT = 8;     // uint64_t, committed entries
constexpr size_t RUX_COMMIT_NAMES_AT = 16;      // uint32_t, committed names
constexpr size_t RUX_COMMIT_FLAGS_AT = 20;      // uint32_t
constexpr size_t RUX_COMMIT_CHECKSUM_AT = 24;   // uint64_t, FNV-1a of the header
constexpr size_t RUX_COMMIT_RECORD_END = 32;
constexpr uint64_t RUX_FNV_OFFSET_BASIS = 0xCBF29CE484222325ull;
constexpr uint64_t RUX_FNV_PRIME = 0x100000001B3ull;

#endif
