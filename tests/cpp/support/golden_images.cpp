#include "golden_images.h"

#include <cstring>

namespace rux_test {

namespace {

template <typename T>
Bytes bytes_of(const std::vector<T> &values) {
    Bytes bytes(values.size() * sizeof(T));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

Bytes text(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

}  // namespace

std::vector<GoldenChunk> golden_v2_chunks() {
    return {
        {0, "pos", 9, 2, 3, bytes_of<float>({0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f})},
        {0, "step", 8, 1, 1, bytes_of<int64_t>({-42})},
        {1, "pos", 9, 2, 3, bytes_of<float>({-0.5f, -1.5f, -2.5f, -3.5f, -4.5f, -5.5f})},
        {1, "box", 10, 3, 3, bytes_of<double>({10, 0, 0, 0, 10, 0, 0, 0, 10})},
    };
}

// The writer buffers all four chunks and writes them at close in call order;
// the entries are sorted by frame and name id.
FileImage golden_v2_image() {
    FileImage image(kVersion21);
    image.header.application = "rux-tests";
    image.header.schema = "trajectory";
    image.header.schema_version = 0x10002;
    image.set_names({"pos", "step", "box"});
    const uint16_t ids[] = {0, 1, 0, 2};
    int i = 0;
    for (const GoldenChunk &c : golden_v2_chunks()) {
        image.add_chunk(c.frame, ids[i++], c.type, c.N, c.M, c.data.data());
    }
    return image;
}

FileImage golden_v1_image() {
    FileImage image(kVersion10);
    image.header.application = "old writer";
    image.header.schema = "v1 schema";
    image.header.schema_version = 0x3;
    image.set_names({"pos", "vel", "box"});
    const Bytes vel = text("vel0"), pos = text("pos0"), old_pos = text("old"), box = text("box1"),
                new_pos = text("new"), box3 = text("box3");
    image.add_chunk(0, 1, 11, 1, 4, vel.data());
    image.add_chunk(0, 0, 11, 1, 4, pos.data());
    image.add_chunk(1, 0, 11, 1, 3, old_pos.data());
    image.add_chunk(1, 2, 11, 1, 4, box.data());
    image.add_chunk(1, 0, 11, 1, 3, new_pos.data());
    image.add_chunk(3, 2, 11, 1, 4, box3.data());
    return image;
}

std::string golden_directory() {
    std::string here = __FILE__;  // .../tests/cpp/support/golden_images.cpp
    for (int i = 0; i < 3; ++i) {
        here = here.substr(0, here.rfind('/'));
    }
    return here + "/data";
}

}  // namespace rux_test
