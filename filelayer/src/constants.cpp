#include <cstddef>

#include "containers.h"
#include "format.h"

// Declared extern (and exported) by the public header.
const uint64_t RUX_MAGIC_ID = 0x65DF65DF65DF65DFull;

size_t rux_type_size(unsigned code) {
    return code < RUX_TYPE_CODE_COUNT ? RUX_TYPE_SIZES[code] : 0;
}

size_t rux_sizeof_type(rux_type type) {
    return rux_type_size(static_cast<unsigned>(type));
}

uint32_t rux_make_version(uint32_t major, uint32_t minor) {
    return (major << 16) | minor;
}
