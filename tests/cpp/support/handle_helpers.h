// Small conveniences over the C API shared by the tests.
#ifndef RUX_TEST_HANDLE_HELPERS_H
#define RUX_TEST_HANDLE_HELPERS_H

#include <cstdint>
#include <string>
#include <vector>

#include "file_crafter.h"
#include "rux/rux.h"

namespace rux_test {

constexpr const char *kApplication = "rux-tests";
constexpr const char *kSchema = "trajectory";
constexpr uint32_t kSchemaVersion = 0x10002;

// rux_create_and_open with the test metadata.
int create_open(rux_handle *handle, const std::string &path,
                rux_open_flag flags = RUX_OPEN_READWRITE);

// Deterministic bytes that differ between seeds.
Bytes pattern(uint64_t size, uint64_t seed);

// A copy of an entry that rux_find_chunk returned: the entry lies in the
// mapped index block at any offset, so it is copied before its fields are read.
rux_index_entry load_entry(const rux_index_entry *entry);

// rux_write_chunk of raw bytes: N rows of M elements of the type.
int write_bytes(rux_handle *handle, const std::string &name, rux_type type, uint64_t N, uint32_t M,
                const Bytes &data);

// The bytes of the chunk, found with rux_find_chunk and read with
// rux_read_chunk; false when it is not found or the read fails.
bool read_back(rux_handle *handle, uint64_t frame, const std::string &name, Bytes *out);

// Every name that rux_find_matching_chunk_name yields for the prefix.
std::vector<std::string> matching_names(rux_handle *handle, const std::string &prefix);

}  // namespace rux_test

#endif
