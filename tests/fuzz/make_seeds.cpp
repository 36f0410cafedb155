// Writes the seed files of the fuzzing corpus: small valid files of both
// layouts. Usage: make_seeds DIRECTORY
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "rux/rux.h"

namespace {

bool write_v2_seed(const std::string &path, int frames, bool grow_blocks) {
    rux_handle handle;
    if (rux_create_and_open(&handle, path.c_str(), "seed", "fuzz", rux_make_version(1, 2),
                            RUX_OPEN_READWRITE, 0) != RUX_SUCCESS) {
        return false;
    }
    const double values[4] = {1.5, -2.0, 3.25, 8.0};
    const char text[] = "abc";
    for (int frame = 0; frame < frames; ++frame) {
        rux_write_chunk(&handle, "pos", RUX_TYPE_DOUBLE, 2, 2, 0, values);
        rux_write_chunk(&handle, "a/type", RUX_TYPE_CHARACTER, 3, 1, 0, text);
        if (grow_blocks) {
            const std::string name = "name/" + std::to_string(frame) + std::string(40, 'x');
            rux_write_chunk(&handle, name.c_str(), RUX_TYPE_UINT8, 1, 1, 0, text);
        }
        rux_end_frame(&handle);
    }
    return rux_close(&handle) == RUX_SUCCESS;
}

// A version 1.0 file: one name per 64-byte slot, entries of a frame unsorted.
bool write_v1_seed(const std::string &path) {
    rux_header header{};
    header.magic = RUX_MAGIC_ID;
    header.index_location = 256;
    header.index_allocated_entries = 8;
    header.namelist_location = 256 + 8 * 32;
    header.namelist_allocated_entries = 4;
    header.rux_version = 0x10000;
    std::strcpy(header.application, "seed");
    std::strcpy(header.schema, "fuzz");
    std::vector<uint8_t> file(256 + 8 * 32 + 4 * 64 + 24, 0);
    const uint64_t data_location = 256 + 8 * 32 + 4 * 64;
    std::memcpy(file.data(), &header, sizeof header);
    const rux_index_entry entries[3] = {
        {0, 2, static_cast<int64_t>(data_location), 1, 1, RUX_TYPE_INT32, 0},
        {0, 1, static_cast<int64_t>(data_location + 8), 1, 0, RUX_TYPE_DOUBLE, 0},
        {1, 2, static_cast<int64_t>(data_location + 16), 1, 1, RUX_TYPE_INT32, 0},
    };
    std::memcpy(file.data() + 256, entries, sizeof entries);
    std::strcpy(reinterpret_cast<char *>(file.data() + header.namelist_location), "energy");
    std::strcpy(reinterpret_cast<char *>(file.data() + header.namelist_location + 64), "ids");
    for (int i = 0; i < 24; ++i) {
        file[data_location + i] = static_cast<uint8_t>(i * 7);
    }
    FILE *out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    const bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    return std::fclose(out) == 0 && written;
}

// Many frames whose small chunk lies between larger ones, so that series
// reads copy through a mapping; with `damage`, the last entry claims data
// past the end of the file (an entry that the count at open does not probe).
bool write_scattered_seed(const std::string &path, bool damage) {
    rux_handle handle;
    if (rux_create_and_open(&handle, path.c_str(), "seed", "fuzz", rux_make_version(1, 0),
                            RUX_OPEN_READWRITE, 0) != RUX_SUCCESS) {
        return false;
    }
    const float big[12] = {};
    for (int frame = 0; frame < 40; ++frame) {
        const int16_t value = static_cast<int16_t>(frame);
        rux_write_chunk(&handle, "big", RUX_TYPE_FLOAT, 4, 3, 0, big);
        rux_write_chunk(&handle, "e", RUX_TYPE_INT16, 1, 1, 0, &value);
        rux_end_frame(&handle);
    }
    const uint64_t used = handle.file_index.size;
    const uint64_t index_location = handle.header.index_location;
    if (rux_close(&handle) != RUX_SUCCESS) {
        return false;
    }
    if (!damage) {
        return true;
    }
    FILE *file = std::fopen(path.c_str(), "r+b");
    if (file == nullptr) {
        return false;
    }
    rux_index_entry last;
    const long at = static_cast<long>(index_location + (used - 1) * sizeof last);
    bool ok = std::fseek(file, at, SEEK_SET) == 0 && std::fread(&last, sizeof last, 1, file) == 1;
    last.N = 1u << 20;
    ok = ok && std::fseek(file, at, SEEK_SET) == 0 && std::fwrite(&last, sizeof last, 1, file) == 1;
    return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string directory = argv[1];
    const bool ok = write_v2_seed(directory + "/seed-v2-empty", 0, false) &&
                    write_v2_seed(directory + "/seed-v2-small", 3, false) &&
                    write_v2_seed(directory + "/seed-v2-grown", 30, true) &&
                    write_v1_seed(directory + "/seed-v1-small") &&
                    write_scattered_seed(directory + "/seed-v2-scattered", false) &&
                    write_scattered_seed(directory + "/seed-v2-scattered-damaged", true);
    return ok ? 0 : 1;
}
