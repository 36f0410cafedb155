// The small files kept under tests/data, built by the crafter. The test that
// reads them compares them with these images and, for the version 2 file,
// with what the library writes for the same sequence of calls.
#ifndef RUX_TEST_GOLDEN_IMAGES_H
#define RUX_TEST_GOLDEN_IMAGES_H

#include <string>
#include <vector>

#include "file_crafter.h"

namespace rux_test {

// Frame 0: "pos" float 2x3, "step" int64 1x1; frame 1: "pos" float 2x3,
// "box" double 3x3. Written by one handle and closed, version 2.1.
struct GoldenChunk {
    uint64_t frame;
    std::string name;
    uint8_t type;
    uint64_t N;
    uint32_t M;
    Bytes data;
};
std::vector<GoldenChunk> golden_v2_chunks();
FileImage golden_v2_image();

// Version 1.0: names "pos", "vel", "box"; frame 0 holds vel then pos; frame 1
// holds pos ("old"), box, pos ("new"); frame 2 nothing; frame 3 box.
FileImage golden_v1_image();

// Where the golden files live in the source tree.
std::string golden_directory();

}  // namespace rux_test

#endif
