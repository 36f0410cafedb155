// Series and frame reads: the data mapping they keep on a handle (it follows a
// file that grows under a writable handle, and every way out releases it),
// and what they find, against the per-chunk oracle.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
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
    // frames 1 and 4, x stands twice in frame 3, and frame 5 holds id 3 too,
    // a second "x" in the namelist that no lookup reaches. Version 1 layouts
    // store each frame's entries in reverse id order.
    rux_test::FileImage base() const {
        rux_test::FileImage image(GetParam().version);
        image.set_names({"x", "e", "y", "x"});
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
            if (frame == 5) {
                ids.push_back(3);
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
            record.names = 4;
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

namespace {

using rux_test::Bytes;
using rux_test::Call;
using rux_test::FileImage;
using rux_test::RecordingSys;

// Six frames of "x", int32 (2, 3) holding pattern(24, frame), and of "y" in
// frames 1 to 5; each frame's chunks back to back in the file.
constexpr uint64_t kXBytes = 24;

FileImage six_frames() {
    FileImage image;
    image.set_names({"x", "y"});
    for (uint64_t frame = 0; frame < 6; ++frame) {
        const Bytes x = rux_test::pattern(kXBytes, frame);
        image.add_chunk(frame, 0, RUX_TYPE_INT32, 2, 3, x.data());
        if (frame > 0) {
            const int64_t y = static_cast<int64_t>(frame);
            image.add_chunk(frame, 1, RUX_TYPE_INT64, 1, 1, &y);
        }
    }
    return image;
}

uint64_t entry_position(uint64_t frame, uint16_t id) {
    return frame == 0 ? 0 : 2 * frame - 1 + id;
}

rux_test::RawEntry entry_of(const FileImage &image, uint64_t frame, uint16_t id) {
    return rux_test::decode_entry(image.image(),
                                  image.header.index_location + 32 * entry_position(frame, id));
}

void change_entry(FileImage &image, uint64_t frame, uint16_t id,
                  void (*change)(rux_test::RawEntry &, const FileImage &)) {
    rux_test::RawEntry entry = entry_of(image, frame, id);
    change(entry, image);
    image.set_entry(entry_position(frame, id), entry);
}

// Series reads that are refused: the code, the problem and its frame, and
// the destination untouched, a guard byte after it included.
struct SeriesRefusal {
    const char *label;
    void (*damage)(FileImage &);
    std::vector<uint64_t> frames;
    int code;
    uint8_t problem;
    uint64_t problem_frame;
    uint64_t short_by = 0;  // the destination is this many bytes smaller than the series
};

void PrintTo(const SeriesRefusal &refusal, std::ostream *out) {
    *out << refusal.label;
}

class SeriesRefused : public ::testing::TestWithParam<SeriesRefusal> {};

TEST_P(SeriesRefused, WithItsProblemFrameAndNothingWritten) {
    const SeriesRefusal &r = GetParam();
    FileImage image = six_frames();
    if (r.damage != nullptr) {
        r.damage(image);
    }
    rux_test::TempDir dir;
    image.save(dir.path("refused.rux"));
    rux_handle handle{};
    ASSERT_EQ(rux_open(&handle, dir.path("refused.rux").c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    const rux_frame_selection frames = {r.frames.data(), 0, 0, r.frames.size()};
    const uint64_t size = r.frames.size() * kXBytes - r.short_by;
    Bytes destination(size + 1, 0xA5);
    rux_series_info info{};
    EXPECT_EQ(rux_read_series(&handle, "x", &frames, destination.data(), size, &info), r.code);
    EXPECT_EQ(info.problem, r.problem);
    EXPECT_EQ(info.problem_frame, r.problem_frame);
    EXPECT_EQ(destination, Bytes(size + 1, 0xA5));
    rux_close(&handle);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SeriesRefused,
    ::testing::Values(
        SeriesRefusal{"corrupt_middle_entry",
                      [](FileImage &image) {
                          change_entry(image, 3, 0, [](rux_test::RawEntry &e, const FileImage &i) {
                              e.location = static_cast<int64_t>(i.bytes.size()) - 8;
                          });
                      },
                      {0, 1, 2, 3, 4, 5}, RUX_ERROR_FILE_CORRUPT, RUX_SERIES_OK, 3},
        // Header bytes are no chunk's data.
        SeriesRefusal{"location_0_with_data",
                      [](FileImage &image) {
                          change_entry(image, 2, 0,
                                       [](rux_test::RawEntry &e, const FileImage &) { e.location = 0; });
                      },
                      {0, 1, 2, 3}, RUX_ERROR_FILE_CORRUPT, RUX_SERIES_OK, 2},
        SeriesRefusal{"shape_change",
                      [](FileImage &image) {
                          for (uint64_t frame : {4, 5}) {
                              change_entry(image, frame, 0,
                                           [](rux_test::RawEntry &e, const FileImage &) { e.M = 2; });
                          }
                      },
                      {0, 1, 2, 3, 4, 5}, RUX_ERROR_INVALID_ARGUMENT, RUX_SERIES_SHAPE_MISMATCH, 4},
        SeriesRefusal{"shape_change_in_selection_order",
                      [](FileImage &image) {
                          change_entry(image, 4, 0,
                                       [](rux_test::RawEntry &e, const FileImage &) { e.N = 1; });
                      },
                      {4, 5, 0}, RUX_ERROR_INVALID_ARGUMENT, RUX_SERIES_SHAPE_MISMATCH, 5},
        SeriesRefusal{"buffer_one_frame_short", nullptr, {5, 3, 1}, RUX_ERROR_INVALID_ARGUMENT,
                      RUX_SERIES_BUFFER_TOO_SMALL, 5, kXBytes},
        SeriesRefusal{"frame_past_the_end", nullptr, {1, 6}, RUX_ERROR_INVALID_ARGUMENT,
                      RUX_SERIES_FRAME_OUT_OF_RANGE, 6}),
    [](const ::testing::TestParamInfo<SeriesRefusal> &info) { return std::string(info.param.label); });

// The frame being written is out of range until it ends.
TEST(SeriesRead, FrameInProgressIsOutOfRange) {
    rux_test::TempDir dir;
    rux_handle writer{};
    ASSERT_EQ(rux_test::create_open(&writer, dir.path("w.rux")), RUX_SUCCESS);
    const int64_t value = 1;
    for (int frame = 0; frame < 3; ++frame) {
        ASSERT_EQ(rux_write_chunk(&writer, "v", RUX_TYPE_INT64, 1, 1, 0, &value), RUX_SUCCESS);
        if (frame < 2) {
            ASSERT_EQ(rux_end_frame(&writer), RUX_SUCCESS);
        }
    }
    const rux_frame_selection frames = {nullptr, 0, 1, 3};
    int64_t destination[4] = {-1, -1, -1, -1};
    rux_series_info info{};
    EXPECT_EQ(rux_read_series(&writer, "v", &frames, destination, sizeof destination, &info),
              RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(info.problem, RUX_SERIES_FRAME_OUT_OF_RANGE);
    EXPECT_EQ(info.problem_frame, 2u);
    EXPECT_EQ(destination[0], -1);
    ASSERT_EQ(rux_end_frame(&writer), RUX_SUCCESS);
    EXPECT_EQ(rux_read_series(&writer, "v", &frames, destination, sizeof destination, &info),
              RUX_SUCCESS);
    EXPECT_EQ(destination[2], 1);
    EXPECT_EQ(rux_close(&writer), RUX_SUCCESS);
}

// The sizing call (no destination) looks up the first frame only and gives
// the bytes of the whole selection.
TEST(SeriesRead, SizingCallGivesTheBytesOfTheWholeSelection) {
    rux_test::TempDir dir;
    six_frames().save(dir.path("six.rux"));
    rux_handle handle{};
    ASSERT_EQ(rux_open(&handle, dir.path("six.rux").c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    const uint64_t repeated[] = {2, 2, 2, 0, 5};
    for (const rux_frame_selection &frames :
         {rux_frame_selection{nullptr, 0, 1, 6}, rux_frame_selection{repeated, 0, 0, 5},
          rux_frame_selection{nullptr, 5, -2, 3}}) {
        rux_series_info info{};
        ASSERT_EQ(rux_read_series(&handle, "x", &frames, nullptr, 0, &info), RUX_SUCCESS);
        EXPECT_EQ(info.bytes, frames.count * kXBytes);
        EXPECT_EQ(info.type, RUX_TYPE_INT32);
        EXPECT_EQ(info.N, 2u);
        EXPECT_EQ(info.M, 3u);
    }
    rux_close(&handle);
}

class FrameRead : public ::testing::Test {
  protected:
    void SetUp() override {
        six_frames().save(dir_.path("six.rux"));
        ASSERT_EQ(rux_open(&handle_, dir_.path("six.rux").c_str(), RUX_OPEN_READONLY),
                  RUX_SUCCESS);
    }
    void TearDown() override { rux_close(&handle_); }

    rux_test::TempDir dir_;
    rux_handle handle_{};
};

// Too little room: the count of every chunk, no record past the capacity.
TEST_F(FrameRead, SmallCapacityCountsEveryChunkAndFillsOnlyItsRoom) {
    uint64_t count = 0;
    ASSERT_EQ(rux_find_frame_chunks(&handle_, 3, nullptr, 0, &count), RUX_SUCCESS);
    EXPECT_EQ(count, 2u);
    rux_chunk_info chunks[3];
    std::memset(chunks, 0xCD, sizeof chunks);
    ASSERT_EQ(rux_find_frame_chunks(&handle_, 3, chunks, 1, &count), RUX_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_STREQ(chunks[0].name, "x");
    EXPECT_EQ(chunks[0].bytes, kXBytes);
    rux_chunk_info untouched;
    std::memset(&untouched, 0xCD, sizeof untouched);
    EXPECT_EQ(std::memcmp(&chunks[1], &untouched, sizeof untouched), 0);
    EXPECT_EQ(std::memcmp(&chunks[2], &untouched, sizeof untouched), 0);
}

// A record the caller changed no longer matches its entry's bytes: refused
// before any destination is written.
using ChunkChange = void (*)(rux_chunk_info &);

class FrameReadChanged : public FrameRead, public ::testing::WithParamInterface<ChunkChange> {};

TEST_P(FrameReadChanged, IsCorruptAndWritesNothing) {
    rux_chunk_info chunks[2];
    uint64_t count = 0;
    ASSERT_EQ(rux_find_frame_chunks(&handle_, 2, chunks, 2, &count), RUX_SUCCESS);
    ASSERT_EQ(count, 2u);
    GetParam()(chunks[1]);
    Bytes x(kXBytes + 8, 0xA5);
    Bytes y(64, 0xA5);
    void *destinations[2] = {x.data(), y.data()};
    EXPECT_EQ(rux_read_chunks(&handle_, chunks, 2, destinations), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(x, Bytes(kXBytes + 8, 0xA5));
    EXPECT_EQ(y, Bytes(64, 0xA5));
}

INSTANTIATE_TEST_SUITE_P(
    Changes, FrameReadChanged,
    ::testing::Values([](rux_chunk_info &c) { c.bytes += 1; }, [](rux_chunk_info &c) { c.N = 2; },
                      [](rux_chunk_info &c) { c.M = 2; },
                      [](rux_chunk_info &c) { c.type = RUX_TYPE_INT32; },
                      [](rux_chunk_info &c) { c.type = 12; },
                      [](rux_chunk_info &c) { c.location = 0; },
                      [](rux_chunk_info &c) { c.location = 1ll << 40; }));

// Chunks that lie back to back in the file, read together, with a null
// destination (skip) between two read ones: whether the bytes come through
// the kept mapping or, when it cannot be made, through reads.
class FrameReadSkipping : public ::testing::TestWithParam<bool> {};

TEST_P(FrameReadSkipping, NullDestinationInTheMiddleIsSkipped) {
    rux_test::TempDir dir;
    FileImage image;
    image.set_names({"a", "b", "c"});
    const Bytes bytes[3] = {rux_test::pattern(16, 1), rux_test::pattern(16, 2),
                            rux_test::pattern(16, 3)};
    for (uint16_t id = 0; id < 3; ++id) {
        image.add_chunk(0, id, RUX_TYPE_UINT8, 16, 1, bytes[id].data());
    }
    image.save(dir.path("abc.rux"));
    rux_handle handle{};
    ASSERT_EQ(rux_open(&handle, dir.path("abc.rux").c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    rux_chunk_info chunks[3];
    uint64_t count = 0;
    ASSERT_EQ(rux_find_frame_chunks(&handle, 0, chunks, 3, &count), RUX_SUCCESS);
    ASSERT_EQ(count, 3u);
    Bytes a(16, 0), c(16, 0);
    void *destinations[3] = {a.data(), nullptr, c.data()};
    {
        RecordingSys sys;
        if (!GetParam()) {
            sys.fail(Call::mmap, 1, ENOMEM, 0);
        }
        ASSERT_EQ(rux_read_chunks(&handle, chunks, 3, destinations), RUX_SUCCESS);
        EXPECT_EQ(sys.count(Call::pread), GetParam() ? 0 : 2);
    }
    EXPECT_EQ(a, bytes[0]);
    EXPECT_EQ(c, bytes[2]);
    rux_close(&handle);
}

INSTANTIATE_TEST_SUITE_P(Mapping, FrameReadSkipping, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "mapped" : "mapping_fails");
                         });

// A file cut by someone else after the handle took its view (and after a
// series read made the kept data mapping): series and frame reads of chunks
// past the new end fail with RUX_ERROR_IO, touching no page of the mapping
// past it (which would be SIGBUS); chunks before it still read.
TEST(CutFromOutside, SeriesAndFrameReadsPastTheEndAreIoErrors) {
    rux_test::TempDir dir;
    const std::string path = dir.path("cut.rux");
    rux_handle writer{};
    ASSERT_EQ(rux_test::create_open(&writer, path), RUX_SUCCESS);
    const Bytes padding(4096, 7);
    for (int64_t frame = 0; frame < 40; ++frame) {
        ASSERT_EQ(rux_write_chunk(&writer, "e", RUX_TYPE_INT64, 1, 1, 0, &frame), RUX_SUCCESS);
        ASSERT_EQ(rux_test::write_bytes(&writer, "pad", RUX_TYPE_UINT8, 4096, 1, padding),
                  RUX_SUCCESS);
        ASSERT_EQ(rux_end_frame(&writer), RUX_SUCCESS);
    }
    ASSERT_EQ(rux_close(&writer), RUX_SUCCESS);
    rux_handle handle{};
    ASSERT_EQ(rux_open(&handle, path.c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    const rux_frame_selection all = {nullptr, 0, 1, 40};
    std::vector<int64_t> values(40, -1);
    rux_series_info info{};
    ASSERT_EQ(rux_read_series(&handle, "e", &all, values.data(), 40 * 8, &info), RUX_SUCCESS);
    ASSERT_NE(handle.data_map_base, nullptr);  // 40 scattered pieces: copied from the mapping
    // The last chunk's data and the index behind them lie in the last pages.
    ASSERT_EQ(truncate(path.c_str(), handle.file_size - 3 * 4096), 0);
    EXPECT_EQ(rux_read_series(&handle, "e", &all, values.data(), 40 * 8, &info), RUX_ERROR_IO);
    const rux_frame_selection first = {nullptr, 0, 1, 10};
    EXPECT_EQ(rux_read_series(&handle, "e", &first, values.data(), 10 * 8, &info), RUX_SUCCESS);
    EXPECT_EQ(values[9], 9);
    for (const uint64_t frame : {uint64_t{0}, uint64_t{39}}) {
        rux_chunk_info chunks[2];
        uint64_t count = 0;
        ASSERT_EQ(rux_find_frame_chunks(&handle, frame, chunks, 2, &count), RUX_SUCCESS);
        int64_t e = -1;
        Bytes pad(4096);
        void *destinations[2] = {chunks[0].id == 0 ? static_cast<void *>(&e) : pad.data(),
                                 chunks[0].id == 0 ? static_cast<void *>(pad.data()) : &e};
        EXPECT_EQ(rux_read_chunks(&handle, chunks, 2, destinations),
                  frame == 0 ? RUX_SUCCESS : RUX_ERROR_IO);
    }
    rux_close(&handle);
}

}  // namespace
