// Series and frame reads: the data mapping they keep on a handle (it follows a
// file that grows under a writable handle, and every way out releases it),
// and what they find, against the per-chunk oracle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "file_crafter.h"
#include "handle_helpers.h"
#include "read_oracle.h"
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

namespace {

// Frame and series reads against the per-chunk oracle on damaged indexes.
// Every entry of a small file in turn gets another frame, another id, or
// location 0, with and without a trusted commit record that vouches for every
// entry (so that the open probes no more than the first and the last). Each
// read must find what rux_find_chunk and rux_read_chunk find, or report the
// file corrupt.
struct DamageLayout {
    const char *label;
    uint32_t version;
    bool committed;
};

void PrintTo(const DamageLayout &layout, std::ostream *out) {
    *out << layout.label;
}

class DamagedIndex : public ::testing::TestWithParam<DamageLayout> {
  protected:
    // Frames 0 to 5 of x (id 0) and e (id 1); frame 2 lacks e, y (id 2) is in
    // frames 1 and 4, x stands twice in frame 3. Version 1 layouts store each
    // frame's entries in reverse id order.
    rux_test::FileImage base() const {
        rux_test::FileImage image(GetParam().version);
        image.set_names({"x", "e", "y"});
        for (uint64_t frame = 0; frame < 6; ++frame) {
            std::vector<uint16_t> ids = {0, 1};
            if (frame == 2) {
                ids = {0};
            }
            if (frame == 1 || frame == 4) {
                ids.push_back(2);
            }
            if (frame == 3) {
                ids.insert(ids.begin(), 0);
            }
            if (!rux_test::is_v2_layout(GetParam().version)) {
                std::reverse(ids.begin(), ids.end());
            }
            for (const uint16_t id : ids) {
                const int32_t value = static_cast<int32_t>(frame * 10 + id + entries_);
                image.add_chunk(frame, id, RUX_TYPE_INT32, 1, 1, &value);
                ++entries_;
            }
        }
        return image;
    }

    // Every disagreement with the oracle on the image, one line each.
    std::string disagreements(const rux_test::Bytes &image) {
        rux_test::Bytes file = image;
        if (GetParam().committed) {
            rux_test::RawCommitRecord record;
            record.entries = entries_;
            record.names = 3;
            rux_test::put_commit_record(file, record);
        }
        const std::string path = dir_.path("damaged.rux");
        rux_test::write_file(path, file);
        rux_handle handle{};
        if (rux_open(&handle, path.c_str(), RUX_OPEN_READONLY) != RUX_SUCCESS) {
            return "";  // refused at open: nothing to compare
        }
        ++opened;
        std::string found;
        const std::vector<std::string> names = rux_test::distinct_names(&handle);
        const uint64_t frames = rux_get_nframes(&handle);
        for (uint64_t frame = 0; frame < frames; ++frame) {
            found += rux_test::compare_frame_read(&handle, frame, names);
        }
        const uint64_t listed[] = {4, 1, 1, 5, 0};
        const rux_frame_selection selections[] = {
            {nullptr, 0, 1, frames},
            {nullptr, frames == 0 ? 0 : frames - 1, -1, frames},
            {listed, 0, 0, frames >= 6 ? 5u : 0u},
        };
        for (const std::string &name : names) {
            for (const rux_frame_selection &selection : selections) {
                found += rux_test::compare_series_read(&handle, name, selection);
            }
        }
        EXPECT_EQ(rux_close(&handle), RUX_SUCCESS);
        return found.empty() ? found : found + "\n";
    }

    rux_test::TempDir dir_;
    mutable uint64_t entries_ = 0;
    int opened = 0;
};

TEST_P(DamagedIndex, FrameAndSeriesReadsFindWhatEachLookupFinds) {
    const rux_test::FileImage intact = base();
    const uint64_t used = entries_;
    EXPECT_EQ(disagreements(intact.image()), "");
    std::string found;
    for (uint64_t position = 0; position < used; ++position) {
        const uint64_t at = intact.header.index_location + 32 * position;
        const rux_test::RawEntry entry = rux_test::decode_entry(intact.image(), at);
        std::vector<rux_test::RawEntry> damaged;
        for (uint64_t frame = 0; frame <= 6; ++frame) {
            damaged.push_back(entry);
            damaged.back().frame = frame;
        }
        for (uint16_t id = 0; id < 3; ++id) {
            damaged.push_back(entry);
            damaged.back().id = id;
        }
        damaged.push_back(entry);
        damaged.back().location = 0;
        for (const rux_test::RawEntry &change : damaged) {
            if (change == entry) {
                continue;
            }
            rux_test::FileImage image = intact;
            image.set_entry(position, change);
            const std::string differs = disagreements(image.image());
            if (!differs.empty()) {
                std::ostringstream what;
                what << "entry " << position << " made ";
                rux_test::PrintTo(change, &what);
                found += what.str() + ": " + differs;
            }
        }
    }
    EXPECT_EQ(found, "");
    EXPECT_GT(opened, static_cast<int>(used));  // most damaged files still open
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, DamagedIndex,
    ::testing::Values(DamageLayout{"v2_committed", rux_test::kVersion21, true},
                      DamageLayout{"v2_counted", rux_test::kVersion21, false},
                      DamageLayout{"v1_committed", rux_test::kVersion10, true},
                      DamageLayout{"v1_counted", rux_test::kVersion10, false}),
    [](const ::testing::TestParamInfo<DamageLayout> &info) { return std::string(info.param.label); });

}  // namespace
