// The data mapping that series and frame reads keep on a handle: it follows a
// file that grows under a writable handle, and every way out releases it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "handle_helpers.h"
#include "recording_sys.h"
#include "rux/rux.h"
#include "temp_dir.h"

namespace {

using rux_test::Call;
using rux_test::RecordingSys;

class DataMapping : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(rux_test::create_open(&handle_, dir_.path("kept.rux")), RUX_SUCCESS);
    }
    void TearDown() override {
        if (handle_.owns_descriptor != 0) {
            rux_close(&handle_);
        }
    }
    // Frames of a scalar "e" = the frame number, each beside a larger "p",
    // so that the scalars lie apart and a series is copied out of the mapping.
    void add_frames(int64_t from, int64_t to) {
        const std::vector<float> padding(64, 0.0f);
        for (int64_t frame = from; frame < to; ++frame) {
            ASSERT_EQ(rux_write_chunk(&handle_, "e", RUX_TYPE_INT64, 1, 1, 0, &frame),
                      RUX_SUCCESS);
            ASSERT_EQ(rux_write_chunk(&handle_, "p", RUX_TYPE_FLOAT, 64, 1, 0, padding.data()),
                      RUX_SUCCESS);
            ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
        }
    }
    std::vector<int64_t> series() {
        const uint64_t frames = rux_get_nframes(&handle_);
        std::vector<int64_t> values(frames, -1);
        const rux_frame_selection all = {nullptr, 0, 1, frames};
        rux_series_info info{};
        EXPECT_EQ(rux_read_series(&handle_, "e", &all, values.data(), frames * 8, &info),
                  RUX_SUCCESS);
        return values;
    }
    static std::vector<int64_t> counting(int64_t count) {
        std::vector<int64_t> values(static_cast<size_t>(count));
        for (int64_t i = 0; i < count; ++i) {
            values[static_cast<size_t>(i)] = i;
        }
        return values;
    }

    rux_test::TempDir dir_;
    rux_handle handle_{};
};

TEST_F(DataMapping, IsKeptAndMadeAgainOnceTheFileGrew) {
    add_frames(0, 40);
    EXPECT_EQ(series(), counting(40));
    ASSERT_NE(handle_.data_map_base, nullptr);
    const uint64_t first_length = handle_.data_map_length;
    {
        RecordingSys sys;
        EXPECT_EQ(series(), counting(40));
        EXPECT_EQ(sys.count(Call::mmap), 0);  // the same mapping serves again
    }
    add_frames(40, 100);  // the flush before the read puts them in the file
    EXPECT_EQ(series(), counting(100));
    EXPECT_GT(handle_.data_map_length, first_length);
}

TEST_F(DataMapping, FrameReadsCopyFromIt) {
    add_frames(0, 3);
    rux_chunk_info chunks[2];
    uint64_t count = 0;
    ASSERT_EQ(rux_find_frame_chunks(&handle_, 2, chunks, 2, &count), RUX_SUCCESS);
    ASSERT_EQ(count, 2u);
    int64_t value = -1;
    std::vector<float> padding(64, 1.0f);
    void *destinations[2] = {chunks[0].id == 0 ? static_cast<void *>(&value) : padding.data(),
                             chunks[0].id == 0 ? static_cast<void *>(padding.data()) : &value};
    ASSERT_EQ(rux_read_chunks(&handle_, chunks, 2, destinations), RUX_SUCCESS);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(padding, std::vector<float>(64, 0.0f));
    EXPECT_NE(handle_.data_map_base, nullptr);
}

enum class Exit { close, truncate, upgrade_current };

class DataMappingRelease : public DataMapping, public ::testing::WithParamInterface<Exit> {};

TEST_P(DataMappingRelease, LeavesNoMappingBehind) {
    add_frames(0, 40);
    RecordingSys sys;
    EXPECT_EQ(series(), counting(40));
    ASSERT_NE(handle_.data_map_base, nullptr);
    switch (GetParam()) {
        case Exit::close:
            ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
            EXPECT_EQ(sys.live_mappings(), 0u);
            EXPECT_EQ(sys.live_allocations(), 0u);
            break;
        case Exit::truncate:
            ASSERT_EQ(rux_truncate(&handle_), RUX_SUCCESS);
            EXPECT_EQ(rux_get_nframes(&handle_), 0u);
            break;
        case Exit::upgrade_current:
            // A current file needs no upgrade: the mapping stays and serves.
            ASSERT_EQ(rux_upgrade(&handle_), RUX_SUCCESS);
            EXPECT_NE(handle_.data_map_base, nullptr);
            EXPECT_EQ(series(), counting(40));
            return;
    }
    EXPECT_EQ(handle_.data_map_base, nullptr);
    EXPECT_EQ(handle_.data_map_length, 0u);
}

INSTANTIATE_TEST_SUITE_P(Exits, DataMappingRelease,
                         ::testing::Values(Exit::close, Exit::truncate, Exit::upgrade_current));

TEST_F(DataMapping, FailedMappingFallsBackToReads) {
    add_frames(0, 40);
    RecordingSys sys;
    sys.fail(Call::mmap, 1, ENOMEM);
    EXPECT_EQ(series(), counting(40));
    EXPECT_EQ(handle_.data_map_base, nullptr);
    EXPECT_GT(sys.count(Call::pread), 0);
}

// A selection of more frames than memory can list (step 0 repeats one valid
// frame) is refused before anything is allocated or written.
TEST_F(DataMapping, SelectionTooLargeToListIsRefused) {
    const int8_t value = 7;
    ASSERT_EQ(rux_write_chunk(&handle_, "b", RUX_TYPE_INT8, 1, 1, 0, &value), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    for (const uint64_t count : {(1ull << 61) + 1, 1ull << 62}) {
        int8_t destination[16] = {};
        const rux_frame_selection repeated = {nullptr, 0, 0, count};
        rux_series_info info{};
        EXPECT_NE(rux_read_series(&handle_, "b", &repeated, destination, sizeof destination, &info),
                  RUX_SUCCESS);
        EXPECT_EQ(destination[0], 0);
    }
}

}  // namespace
