#include "chunk_model.h"

#include "handle_helpers.h"

namespace rux_test {

Chunk make_chunk(uint8_t type, uint64_t N, uint32_t M, uint64_t seed) {
    return Chunk{type, N, M, pattern(N * M * rux_sizeof_type(static_cast<rux_type>(type)), seed)};
}

}  // namespace rux_test
