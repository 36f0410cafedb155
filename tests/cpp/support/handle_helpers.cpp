#include "handle_helpers.h"

#include <cstring>

namespace rux_test {

int create_open(rux_handle *handle, const std::string &path, rux_open_flag flags) {
    return rux_create_and_open(handle, path.c_str(), kApplication, kSchema, kSchemaVersion, flags,
                               0);
}

Bytes pattern(uint64_t size, uint64_t seed) {
    Bytes bytes(size);
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    for (uint8_t &b : bytes) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        b = static_cast<uint8_t>(state >> 56);
    }
    return bytes;
}

int write_bytes(rux_handle *handle, const std::string &name, rux_type type, uint64_t N, uint32_t M,
                const Bytes &data) {
    return rux_write_chunk(handle, name.c_str(), type, N, M, 0,
                           data.empty() ? nullptr : data.data());
}

rux_index_entry load_entry(const rux_index_entry *entry) {
    rux_index_entry copy;
    std::memcpy(&copy, entry, sizeof copy);
    return copy;
}

bool read_back(rux_handle *handle, uint64_t frame, const std::string &name, Bytes *out) {
    const rux_index_entry *entry = rux_find_chunk(handle, frame, name.c_str());
    if (entry == nullptr) {
        return false;
    }
    const rux_index_entry fields = load_entry(entry);
    out->assign(fields.N * fields.M * rux_sizeof_type(static_cast<rux_type>(fields.type)), 0);
    if (out->empty()) {
        return true;
    }
    return rux_read_chunk(handle, out->data(), entry) == RUX_SUCCESS;
}

std::vector<std::string> matching_names(rux_handle *handle, const std::string &prefix) {
    std::vector<std::string> names;
    for (const char *name = rux_find_matching_chunk_name(handle, prefix.c_str(), nullptr);
         name != nullptr; name = rux_find_matching_chunk_name(handle, prefix.c_str(), name)) {
        names.emplace_back(name);
    }
    return names;
}

}  // namespace rux_test
