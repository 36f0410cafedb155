// Many frames with chunks of every type code, both write paths and both
// block growths, read back byte for byte after reopening.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "file_crafter.h"
#include "handle_helpers.h"
#include "temp_dir.h"

namespace {

using rux_test::Bytes;
using rux_test::TempDir;

constexpr int kTypes = 11;

std::string type_name(int type) {
    return "type/" + std::to_string(type);
}
std::string extra_name(int i) {
    return "extra/" + std::string(24, 'e') + std::to_string(i);
}

// Rows per chunk vary with the frame, so that some chunks stay below the
// threshold and others go straight to the file.
uint64_t rows(uint64_t frame, int type) {
    return (frame * 7 + static_cast<uint64_t>(type)) % 23;
}
uint64_t seed(uint64_t frame, int type) {
    return frame * 100 + static_cast<uint64_t>(type);
}

class RoundTrip : public testing::Test {
  protected:
    std::string path() const { return dir_.path("round.rux"); }

    void write_frames(rux_handle *handle, uint64_t first, uint64_t count) {
        for (uint64_t frame = first; frame < first + count; ++frame) {
            for (int type = 1; type <= kTypes; ++type) {
                const rux_type code = static_cast<rux_type>(type);
                const uint64_t N = rows(frame, type);
                const Bytes data =
                    rux_test::pattern(N * 3 * rux_sizeof_type(code), seed(frame, type));
                ASSERT_EQ(rux_test::write_bytes(handle, type_name(type), code, N, 3, data),
                          RUX_SUCCESS);
            }
            if (frame % 5 == 0) {
                const int i = static_cast<int>(frame / 5);
                ASSERT_EQ(rux_test::write_bytes(handle, extra_name(i), RUX_TYPE_CHARACTER, 1, 5,
                                                {'h', 'e', 'l', 'l', 'o'}),
                          RUX_SUCCESS);
            }
            ASSERT_EQ(rux_end_frame(handle), RUX_SUCCESS);
        }
    }

    void check_frames(rux_handle *handle, uint64_t count) {
        ASSERT_EQ(rux_get_nframes(handle), count);
        for (uint64_t frame = 0; frame < count; ++frame) {
            for (int type = 1; type <= kTypes; ++type) {
                const rux_index_entry *entry =
                    rux_find_chunk(handle, frame, type_name(type).c_str());
                ASSERT_NE(entry, nullptr) << frame << " " << type;
                const uint64_t N = rows(frame, type);
                const rux_index_entry fields = rux_test::load_entry(entry);
                ASSERT_EQ(fields.N, N);
                ASSERT_EQ(fields.M, 3u);
                ASSERT_EQ(fields.type, type);
                const Bytes expected = rux_test::pattern(
                    N * 3 * rux_sizeof_type(static_cast<rux_type>(type)), seed(frame, type));
                Bytes back(expected.size());
                if (N > 0) {
                    ASSERT_EQ(rux_read_chunk(handle, back.data(), entry), RUX_SUCCESS);
                }
                ASSERT_EQ(back, expected) << frame << " " << type;
            }
            Bytes text;
            const bool has_extra =
                rux_test::read_back(handle, frame, extra_name(static_cast<int>(frame / 5)), &text);
            ASSERT_EQ(has_extra, frame % 5 == 0) << frame;
            if (has_extra) {
                ASSERT_EQ(std::string(text.begin(), text.end()), "hello");
            }
        }
    }

    TempDir dir_;
};

TEST_F(RoundTrip, EveryTypeBothPathsBothGrowths) {
    rux_handle handle = {};
    ASSERT_EQ(rux_test::create_open(&handle, path()), RUX_SUCCESS);
    ASSERT_EQ(rux_set_maximum_write_buffer_size(&handle, 200), RUX_SUCCESS);
    ASSERT_EQ(rux_set_index_entries_to_buffer(&handle, 500), RUX_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(write_frames(&handle, 0, 300));
    ASSERT_EQ(rux_close(&handle), RUX_SUCCESS);

    const Bytes file = rux_test::read_file(path());
    ASSERT_EQ(rux_test::check_well_formed(file), "");
    const rux_test::ParsedFile parsed = rux_test::parse_file(file);
    EXPECT_GT(parsed.header.index_entries, 128u);
    EXPECT_GT(parsed.header.namelist_units, 16u);
    EXPECT_EQ(parsed.entries.size(), 300u * kTypes + 60);
    EXPECT_EQ(parsed.names.size(), static_cast<size_t>(kTypes + 60));

    for (rux_open_flag flags : {RUX_OPEN_READONLY, RUX_OPEN_READWRITE}) {
        ASSERT_EQ(rux_open(&handle, path().c_str(), flags), RUX_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(check_frames(&handle, 300));
        ASSERT_EQ(rux_close(&handle), RUX_SUCCESS);
    }
    ASSERT_EQ(rux_open(&handle, path().c_str(), RUX_OPEN_APPEND), RUX_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(write_frames(&handle, 300, 100));
    ASSERT_EQ(rux_close(&handle), RUX_SUCCESS);
    ASSERT_EQ(rux_open(&handle, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(check_frames(&handle, 400));
    ASSERT_EQ(rux_close(&handle), RUX_SUCCESS);
    EXPECT_EQ(rux_test::check_well_formed(rux_test::read_file(path())), "");
}

}  // namespace
