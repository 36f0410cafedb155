// The model of a file's content that randomised and scripted runs check
// files against: frames of named chunks with their bytes.
#ifndef RUX_TEST_CHUNK_MODEL_H
#define RUX_TEST_CHUNK_MODEL_H

#include <cstdint>
#include <map>
#include <string>

#include "file_crafter.h"

namespace rux_test {

struct Chunk {
    uint8_t type;
    uint64_t N;
    uint32_t M;
    Bytes bytes;
};

// Name -> chunk, for one frame.
using Frame = std::map<std::string, Chunk>;

// A chunk of N x M elements of the type, filled with pattern(…, seed).
Chunk make_chunk(uint8_t type, uint64_t N, uint32_t M, uint64_t seed);

}  // namespace rux_test

#endif
