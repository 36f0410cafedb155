#include <cstddef>

#include "containers.h"

// Declared extern (and exported) by the public header.
const uint64_t RUX_MAGIC_ID = 0x65DF65DF65DF65DFull;

namespace {
// Element sizes by type code; codes outside 1 to 11 are not types.
constexpr size_t kTypeSizes[] = {0, 1, 2, 4, 8, 1, 2, 4, 8, 4, 8, 1};
constexpr size_t kTypeCodeCount = sizeof(kTypeSizes) / sizeof(kTypeSizes[0]);
}  // namespace

size_t rux_type_size(unsigned code) {
    return code < kTypeCodeCount ? kTypeSizes[code] : 0;
}

size_t rux_sizeof_type(rux_type type) {
    return rux_type_size(static_cast<unsigned>(type));
}

uint32_t rux_make_version(uint32_t major, uint32_t minor) {
    return (major << 16) | minor;
}
