// Staging chunks and ending frames.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "containers.h"
#include "file_crafter.h"
#include "handle_helpers.h"
#include "recording_sys.h"
#include "temp_dir.h"

namespace {

using rux_test::Bytes;
using rux_test::Call;
using rux_test::CallRecord;
using rux_test::FileImage;
using rux_test::RecordingSys;
using rux_test::TempDir;

class WriteTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS); }
    void TearDown() override {
        if (open_) {
            EXPECT_EQ(rux_close(&handle_), RUX_SUCCESS);
        }
    }
    std::string path() const { return dir_.path("w.rux"); }
    int write(const std::string &name, uint64_t bytes, uint64_t seed = 0) {
        return rux_test::write_bytes(&handle_, name, RUX_TYPE_UINT8, bytes, 1,
                                     rux_test::pattern(bytes, seed));
    }
    void close_and_reopen(rux_open_flag flags = RUX_OPEN_READONLY) {
        ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
        ASSERT_EQ(rux_open(&handle_, path().c_str(), flags), RUX_SUCCESS);
    }
    void reopen_image(const FileImage &image) {
        ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
        image.save(path());
        ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READWRITE), RUX_SUCCESS);
    }

    TempDir dir_;
    rux_handle handle_ = {};
    bool open_ = true;
};

TEST_F(WriteTest, ArgumentChecksComeInOrder) {
    const uint8_t byte = 1;
    EXPECT_EQ(rux_write_chunk(&handle_, "a", RUX_TYPE_UINT8, 1, 0, 0, &byte),
              RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_write_chunk(&handle_, "a", RUX_TYPE_UINT8, 0, 0, 0, nullptr),
              RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_write_chunk(&handle_, "a", RUX_TYPE_UINT8, 1, 1, 0, nullptr),
              RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_write_chunk(&handle_, "a", RUX_TYPE_UINT8, 1, 1, 1, &byte),
              RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_write_chunk(nullptr, "a", RUX_TYPE_UINT8, 1, 1, 0, &byte),
              RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_write_chunk(&handle_, nullptr, RUX_TYPE_UINT8, 1, 1, 0, &byte),
              RUX_ERROR_INVALID_ARGUMENT);
    for (int type : {0, 12, 15}) {
        EXPECT_EQ(rux_write_chunk(&handle_, "a", static_cast<rux_type>(type), 1, 1, 0, &byte),
                  RUX_ERROR_INVALID_ARGUMENT)
            << "type " << type;
    }
    EXPECT_EQ(handle_.pending_index_entries, 0u);
    EXPECT_EQ(handle_.frame_names.count, 0u);
    EXPECT_EQ(handle_.buffer_index.size, 0u);

    close_and_reopen(RUX_OPEN_READONLY);
    EXPECT_EQ(rux_write_chunk(&handle_, "a", RUX_TYPE_UINT8, 1, 0, 0, &byte),
              RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_write_chunk(&handle_, "a", RUX_TYPE_UINT8, 1, 1, 0, nullptr),
              RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_write_chunk(&handle_, "a", RUX_TYPE_UINT8, 1, 1, 0, &byte),
              RUX_ERROR_FILE_MUST_BE_WRITABLE);
    EXPECT_EQ(rux_write_chunk(&handle_, "a", RUX_TYPE_UINT8, 1, 1, 1, &byte),
              RUX_ERROR_FILE_MUST_BE_WRITABLE);
    EXPECT_EQ(rux_end_frame(&handle_), RUX_ERROR_FILE_MUST_BE_WRITABLE);
    EXPECT_EQ(rux_end_frame(nullptr), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_get_nframes(&handle_), 0u);
}

TEST_F(WriteTest, EmptyChunkWithoutDataStagesAnEntryOnly) {
    ASSERT_EQ(rux_write_chunk(&handle_, "empty", RUX_TYPE_DOUBLE, 0, 3, 0, nullptr), RUX_SUCCESS);
    ASSERT_EQ(handle_.buffer_index.size, 1u);
    EXPECT_EQ(handle_.buffer_index.data[0].N, 0u);
    EXPECT_EQ(handle_.buffer_index.data[0].M, 3u);
    EXPECT_EQ(handle_.buffer_index.data[0].location, 0);
    EXPECT_EQ(handle_.write_buffer.size, 0u);
    EXPECT_EQ(handle_.pending_index_entries, 1u);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    close_and_reopen();
    const rux_index_entry *entry = rux_find_chunk(&handle_, 0, "empty");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(rux_test::load_entry(entry).N, 0u);
    EXPECT_EQ(rux_test::load_entry(entry).type, RUX_TYPE_DOUBLE);
    EXPECT_EQ(rux_test::file_length(path()), 5376u);
}

TEST_F(WriteTest, DefaultThresholdSeparatesTheTwoPaths) {
    const uint64_t threshold = 67108864;
    Bytes big = rux_test::pattern(threshold, 1);
    ASSERT_EQ(rux_test::write_bytes(&handle_, "big", RUX_TYPE_UINT8, threshold, 1, big),
              RUX_SUCCESS);
    ASSERT_EQ(handle_.frame_index.size, 1u);
    EXPECT_EQ(handle_.frame_index.data[0].location, 5376);
    EXPECT_EQ(handle_.file_size, static_cast<int64_t>(5376 + threshold));
    EXPECT_EQ(rux_test::file_length(path()), 5376 + threshold);
    big.pop_back();
    ASSERT_EQ(rux_test::write_bytes(&handle_, "almost", RUX_TYPE_UINT8, threshold - 1, 1, big),
              RUX_SUCCESS);
    EXPECT_EQ(handle_.buffer_index.size, 1u);
    EXPECT_EQ(handle_.write_buffer.size, threshold - 1);
    EXPECT_EQ(rux_test::file_length(path()), 5376 + threshold);
}

TEST_F(WriteTest, BufferIsWrittenOutWhenAChunkWouldTakeItPastTheThreshold) {
    ASSERT_EQ(rux_set_maximum_write_buffer_size(&handle_, 1000), RUX_SUCCESS);
    ASSERT_EQ(write("a", 600, 1), RUX_SUCCESS);
    RecordingSys sys;
    ASSERT_EQ(write("b", 400, 2), RUX_SUCCESS);
    EXPECT_EQ(handle_.write_buffer.size, 1000u);
    EXPECT_TRUE(sys.writes().empty());
    ASSERT_EQ(write("c", 1, 3), RUX_SUCCESS);
    const std::vector<CallRecord> expected = {{Call::pwrite, handle_.fd, 5376, 1000}};
    EXPECT_EQ(sys.writes(), expected);
    EXPECT_EQ(handle_.write_buffer.size, 1u);
    EXPECT_EQ(handle_.file_size, 6376);
    EXPECT_EQ(handle_.frame_index.size, 2u);
    EXPECT_EQ(handle_.buffer_index.size, 1u);
    EXPECT_EQ(handle_.buffer_index.data[0].location, 0);
}

// A threshold lowered below what is already buffered makes the next chunk
// write the buffer out.
TEST_F(WriteTest, LoweredThresholdWritesTheBufferOut) {
    ASSERT_EQ(write("a", 600, 1), RUX_SUCCESS);
    ASSERT_EQ(rux_set_maximum_write_buffer_size(&handle_, 100), RUX_SUCCESS);
    EXPECT_EQ(handle_.write_buffer.size, 600u);
    RecordingSys sys;
    ASSERT_EQ(write("b", 10, 2), RUX_SUCCESS);
    const std::vector<CallRecord> expected = {{Call::pwrite, handle_.fd, 5376, 600}};
    EXPECT_EQ(sys.writes(), expected);
    EXPECT_EQ(handle_.write_buffer.size, 10u);
}

// A failed write-out leaves the buffer as it was; the chunk goes behind it
// and the next flush writes everything.
TEST_F(WriteTest, FailedWriteOutKeepsBufferingAndFlushesLater) {
    ASSERT_EQ(rux_set_maximum_write_buffer_size(&handle_, 1000), RUX_SUCCESS);
    ASSERT_EQ(write("a", 900, 1), RUX_SUCCESS);
    {
        RecordingSys sys;
        sys.fail(Call::pwrite, 1, EIO);
        ASSERT_EQ(write("b", 200, 2), RUX_SUCCESS);
    }
    EXPECT_EQ(handle_.write_buffer.size, 1100u);
    EXPECT_EQ(handle_.file_size, 5376);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    close_and_reopen();
    Bytes back;
    ASSERT_TRUE(rux_test::read_back(&handle_, 0, "a", &back));
    EXPECT_EQ(back, rux_test::pattern(900, 1));
    ASSERT_TRUE(rux_test::read_back(&handle_, 0, "b", &back));
    EXPECT_EQ(back, rux_test::pattern(200, 2));
}

TEST_F(WriteTest, SameNameTwiceInAFrameStagesTwoEntries) {
    ASSERT_EQ(write("twice", 4, 1), RUX_SUCCESS);
    ASSERT_EQ(write("twice", 4, 2), RUX_SUCCESS);
    ASSERT_EQ(handle_.buffer_index.size, 2u);
    EXPECT_EQ(handle_.buffer_index.data[0].id, handle_.buffer_index.data[1].id);
    EXPECT_EQ(handle_.frame_names.count, 1u);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    const auto parsed = rux_test::parse_file(rux_test::read_file(path()));
    ASSERT_EQ(parsed.entries.size(), 2u);
    EXPECT_EQ(parsed.entries[0].frame, 0u);
    EXPECT_EQ(parsed.entries[1].frame, 0u);
    EXPECT_EQ(parsed.entries[0].id, 0u);
    EXPECT_EQ(parsed.entries[1].id, 0u);
    EXPECT_EQ(std::llabs(parsed.entries[1].location - parsed.entries[0].location), 4);
}

TEST_F(WriteTest, NamelistHoldsAtMost65535Names) {
    for (int i = 0; i < 65535; ++i) {
        ASSERT_EQ(
            rux_write_chunk(&handle_, std::to_string(i).c_str(), RUX_TYPE_UINT8, 0, 1, 0, nullptr),
            RUX_SUCCESS)
            << i;
    }
    EXPECT_EQ(rux_write_chunk(&handle_, "one more", RUX_TYPE_UINT8, 0, 1, 0, nullptr),
              RUX_ERROR_NAMELIST_FULL);
    EXPECT_EQ(handle_.frame_names.count, 65535u);
    EXPECT_EQ(handle_.pending_index_entries, 65535u);
    EXPECT_EQ(rux_write_chunk(&handle_, "65534", RUX_TYPE_UINT8, 0, 1, 0, nullptr), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    close_and_reopen(RUX_OPEN_READWRITE);
    EXPECT_EQ(handle_.file_names.count, 65535u);
    EXPECT_EQ(rux_write_chunk(&handle_, "one more", RUX_TYPE_UINT8, 0, 1, 0, nullptr),
              RUX_ERROR_NAMELIST_FULL);
    EXPECT_EQ(rux_write_chunk(&handle_, "0", RUX_TYPE_UINT8, 0, 1, 0, nullptr), RUX_SUCCESS);
    const rux_index_entry *last = rux_find_chunk(&handle_, 0, "65534");
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(rux_test::load_entry(last).id, 65534);
}

TEST_F(WriteTest, Version1LayoutStagesCutNamesIn64ByteRecords) {
    reopen_image(FileImage(rux_test::kVersion10));
    const std::string long_name(70, 'q');
    ASSERT_EQ(write(long_name, 1, 1), RUX_SUCCESS);
    ASSERT_EQ(handle_.frame_names.bytes.size, 64u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(handle_.frame_names.bytes.data)),
              std::string(63, 'q'));
    EXPECT_EQ(handle_.frame_names.bytes.data[63], 0);
    EXPECT_EQ(rux_name_id_map_lookup(&handle_.name_map, std::string(63, 'q').c_str()), 0);
    // The full name is not in the map, so it takes another record and id.
    ASSERT_EQ(write(long_name, 1, 2), RUX_SUCCESS);
    EXPECT_EQ(handle_.frame_names.bytes.size, 128u);
    EXPECT_EQ(handle_.frame_names.count, 2u);
    EXPECT_EQ(handle_.buffer_index.data[1].id, 1);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    close_and_reopen();
    EXPECT_EQ(rux_test::matching_names(&handle_, ""),
              (std::vector<std::string>{std::string(63, 'q'), std::string(63, 'q')}));
    EXPECT_EQ(rux_test::check_well_formed(rux_test::read_file(path())), "");
}

TEST_F(WriteTest, Version2LayoutStagesNameAndNul) {
    const std::string long_name(70, 'q');
    ASSERT_EQ(write(long_name, 1, 1), RUX_SUCCESS);
    ASSERT_EQ(handle_.frame_names.bytes.size, 71u);
    EXPECT_EQ(std::memcmp(handle_.frame_names.bytes.data, long_name.c_str(), 71), 0);
    EXPECT_EQ(rux_name_id_map_lookup(&handle_.name_map, long_name.c_str()), 0);
}

TEST_F(WriteTest, NewNamesTakeTheNextIds) {
    FileImage image;
    image.set_names({"x", "y", "z"});
    reopen_image(image);
    ASSERT_EQ(write("new1", 1), RUX_SUCCESS);
    ASSERT_EQ(write("new2", 1), RUX_SUCCESS);
    ASSERT_EQ(write("y", 1), RUX_SUCCESS);
    EXPECT_EQ(handle_.buffer_index.data[0].id, 3);
    EXPECT_EQ(handle_.buffer_index.data[1].id, 4);
    EXPECT_EQ(handle_.buffer_index.data[2].id, 1);
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    ASSERT_EQ(write("new3", 1), RUX_SUCCESS);
    EXPECT_EQ(rux_name_id_map_lookup(&handle_.name_map, "new3"), 5);
}

TEST_F(WriteTest, EndFrameWithNothingStagedTouchesNothing) {
    RecordingSys sys;
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&handle_), 1u);
    EXPECT_TRUE(sys.records().empty());
}

TEST_F(WriteTest, EndFrameFlushesWhenMoreEntriesThanTheLimitAreBuffered) {
    ASSERT_EQ(rux_set_index_entries_to_buffer(&handle_, 3), RUX_SUCCESS);
    RecordingSys sys;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(write("c" + std::to_string(i), 2), RUX_SUCCESS);
    }
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    EXPECT_TRUE(sys.writes().empty());
    ASSERT_EQ(write("c0", 2), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    EXPECT_GT(sys.count(Call::fsync), 0);
    EXPECT_EQ(handle_.file_index.size, 4u);
    EXPECT_EQ(handle_.buffer_index.size, 0u);
    EXPECT_EQ(handle_.pending_index_entries, 0u);
}

TEST_F(WriteTest, FrameWithADirectChunkIsFlushedAtItsEnd) {
    ASSERT_EQ(rux_set_maximum_write_buffer_size(&handle_, 8), RUX_SUCCESS);
    ASSERT_EQ(write("small", 2), RUX_SUCCESS);
    ASSERT_EQ(write("direct", 8), RUX_SUCCESS);
    EXPECT_EQ(handle_.file_index.size, 0u);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    EXPECT_EQ(handle_.file_index.size, 2u);
    EXPECT_EQ(handle_.frame_index.size, 0u);
}

TEST_F(WriteTest, ThresholdAccessors) {
    EXPECT_EQ(rux_get_maximum_write_buffer_size(&handle_), 67108864u);
    EXPECT_EQ(rux_get_index_entries_to_buffer(&handle_), 262144u);
    EXPECT_EQ(rux_set_maximum_write_buffer_size(&handle_, 0), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_set_index_entries_to_buffer(&handle_, 0), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_get_maximum_write_buffer_size(&handle_), 67108864u);
    EXPECT_EQ(rux_get_index_entries_to_buffer(&handle_), 262144u);
    EXPECT_EQ(rux_set_maximum_write_buffer_size(&handle_, UINT64_MAX), RUX_SUCCESS);
    EXPECT_EQ(rux_get_maximum_write_buffer_size(&handle_), UINT64_MAX);
    EXPECT_EQ(rux_get_maximum_write_buffer_size(nullptr), 0u);
    EXPECT_EQ(rux_get_index_entries_to_buffer(nullptr), 0u);
    EXPECT_EQ(rux_set_maximum_write_buffer_size(nullptr, 5), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_set_index_entries_to_buffer(nullptr, 5), RUX_ERROR_INVALID_ARGUMENT);
    close_and_reopen(RUX_OPEN_READONLY);
    EXPECT_EQ(rux_get_maximum_write_buffer_size(&handle_), 67108864u);
    EXPECT_EQ(rux_set_index_entries_to_buffer(&handle_, 7), RUX_SUCCESS);
    EXPECT_EQ(rux_get_index_entries_to_buffer(&handle_), 7u);
}

TEST_F(WriteTest, ThresholdOfOneSendsEveryNonEmptyChunkToTheFile) {
    ASSERT_EQ(rux_set_maximum_write_buffer_size(&handle_, 1), RUX_SUCCESS);
    ASSERT_EQ(write("one", 1), RUX_SUCCESS);
    ASSERT_EQ(write("empty", 0), RUX_SUCCESS);
    ASSERT_EQ(write("more", 100), RUX_SUCCESS);
    EXPECT_EQ(handle_.frame_index.size, 2u);
    EXPECT_EQ(handle_.buffer_index.size, 1u);
    EXPECT_EQ(handle_.buffer_index.data[0].N, 0u);
    EXPECT_EQ(handle_.write_buffer.size, 0u);
    EXPECT_EQ(handle_.file_size, 5376 + 101);
}

// A direct write that fails leaves nothing staged: the entry is only pushed
// once its data are in the file.
TEST_F(WriteTest, FailedDirectWriteStagesNothing) {
    ASSERT_EQ(rux_set_maximum_write_buffer_size(&handle_, 8), RUX_SUCCESS);
    ASSERT_EQ(write("d", 8, 1), RUX_SUCCESS);
    {
        RecordingSys sys;
        sys.fail(Call::pwrite, 1, ENOSPC);
        EXPECT_EQ(write("d", 16, 2), RUX_ERROR_IO);
        EXPECT_EQ(errno, ENOSPC);
    }
    EXPECT_EQ(handle_.frame_index.size, 1u);
    EXPECT_EQ(handle_.pending_index_entries, 1u);
    EXPECT_EQ(handle_.file_size, 5376 + 8);
    ASSERT_EQ(write("d", 12, 3), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    close_and_reopen();
    EXPECT_EQ(rux_test::check_well_formed(rux_test::read_file(path())), "");
    const auto parsed = rux_test::parse_file(rux_test::read_file(path()));
    ASSERT_EQ(parsed.entries.size(), 2u);
    EXPECT_EQ(parsed.entries[0].N + parsed.entries[1].N, 20u);
}

struct AllocationCase {
    const char *what;
    std::function<void(rux_handle *)> prepare;  // brings the handle next to a growth
    std::function<int(rux_handle *)> trigger;   // the call whose allocation fails
};
void PrintTo(const AllocationCase &c, std::ostream *out) {
    *out << c.what;
}

class WriteAllocationFailure : public testing::TestWithParam<AllocationCase> {};

int write_u8(rux_handle *handle, const std::string &name, uint64_t bytes) {
    return rux_test::write_bytes(handle, name, RUX_TYPE_UINT8, bytes, 1,
                                 rux_test::pattern(bytes, bytes));
}

// After an allocation failure the handle refuses to write, lets nothing
// inconsistent reach the file, and still closes its descriptor.
TEST_P(WriteAllocationFailure, HandleStopsWritingAndStillCloses) {
    TempDir dir;
    const std::string path = dir.path("alloc.rux");
    int fd = -1;
    {
        RecordingSys sys;
        rux_handle handle = {};
        ASSERT_EQ(rux_test::create_open(&handle, path), RUX_SUCCESS);
        fd = handle.fd;
        ASSERT_EQ(write_u8(&handle, "kept", 10), RUX_SUCCESS);
        ASSERT_EQ(write_u8(&handle, "name", 10), RUX_SUCCESS);
        ASSERT_EQ(rux_end_frame(&handle), RUX_SUCCESS);
        ASSERT_EQ(rux_flush(&handle), RUX_SUCCESS);
        GetParam().prepare(&handle);
        sys.fail(Call::alloc, 1, ENOMEM);
        EXPECT_EQ(GetParam().trigger(&handle), RUX_ERROR_MEMORY_ALLOCATION_FAILED);
        sys.clear_faults();
        EXPECT_NE(handle.write_error, 0);
        EXPECT_NE(write_u8(&handle, "kept", 10), RUX_SUCCESS);
        EXPECT_NE(write_u8(&handle, "fresh", 10), RUX_SUCCESS);
        EXPECT_NE(rux_end_frame(&handle), RUX_SUCCESS);
        EXPECT_NE(rux_flush(&handle), RUX_SUCCESS);
        rux_close(&handle);
        EXPECT_EQ(sys.count(Call::close, fd), 1);
        EXPECT_EQ(sys.live_allocations(), 0u);
        EXPECT_EQ(sys.live_mappings(), 0u);
    }
    const Bytes file = rux_test::read_file(path);
    EXPECT_EQ(rux_test::check_well_formed(file), "");
    rux_handle reader = {};
    ASSERT_EQ(rux_open(&reader, path.c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&reader), 1u);
    Bytes back;
    ASSERT_TRUE(rux_test::read_back(&reader, 0, "kept", &back));
    EXPECT_EQ(back, rux_test::pattern(10, 10));
    EXPECT_EQ(rux_close(&reader), RUX_SUCCESS);
}

const AllocationCase kAllocationCases[] = {
    {"write buffer growth", [](rux_handle *) {},
     [](rux_handle *h) { return write_u8(h, "kept", 2000); }},
    {"buffer index growth",
     [](rux_handle *h) {
         for (int i = 0; i < 16; ++i) {
             ASSERT_EQ(write_u8(h, "kept", 1), RUX_SUCCESS);
         }
     },
     [](rux_handle *h) { return write_u8(h, "kept", 1); }},
    {"frame index growth",
     [](rux_handle *h) {
         ASSERT_EQ(rux_set_maximum_write_buffer_size(h, 1), RUX_SUCCESS);
         for (int i = 0; i < 16; ++i) {
             ASSERT_EQ(write_u8(h, "kept", 1), RUX_SUCCESS);
         }
     },
     [](rux_handle *h) { return write_u8(h, "kept", 1); }},
    {"new name record growth", [](rux_handle *) {},
     [](rux_handle *h) { return write_u8(h, std::string(80, 'n'), 1); }},
    {"new name map node", [](rux_handle *) {},
     [](rux_handle *h) { return write_u8(h, "short", 1); }},
    {"chunk after a new name", [](rux_handle *h) { ASSERT_EQ(write_u8(h, "x", 1), RUX_SUCCESS); },
     [](rux_handle *h) { return write_u8(h, "kept", 2000); }},
};

INSTANTIATE_TEST_SUITE_P(Cases, WriteAllocationFailure, testing::ValuesIn(kAllocationCases));

// An empty name would end the namelist in the file and leave the names after
// it, and their entries, without ids: the file would no longer open.
TEST(WriteRefusals, EmptyNameIsRefusedAndTheFileStaysReadable) {
    TempDir dir;
    const std::string path = dir.path("f.rux");
    rux_handle handle;
    ASSERT_EQ(rux_test::create_open(&handle, path), RUX_SUCCESS);
    const Bytes value = rux_test::pattern(4, 3);
    EXPECT_EQ(rux_test::write_bytes(&handle, "a", RUX_TYPE_INT32, 1, 1, value), RUX_SUCCESS);
    EXPECT_EQ(rux_test::write_bytes(&handle, "", RUX_TYPE_INT32, 1, 1, value),
              RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_test::write_bytes(&handle, "b", RUX_TYPE_INT32, 1, 1, value), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle), RUX_SUCCESS);
    ASSERT_EQ(rux_close(&handle), RUX_SUCCESS);
    ASSERT_EQ(rux_open(&handle, path.c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    Bytes read;
    EXPECT_TRUE(rux_test::read_back(&handle, 0, "b", &read));
    EXPECT_EQ(read, value);
    EXPECT_EQ(rux_close(&handle), RUX_SUCCESS);
}

// A flush that can never succeed (an index block of capacity 0 cannot grow)
// stops the handle writing, so that closing it still releases everything.
TEST(WriteRefusals, UngrowableIndexStopsWritingAndCloses) {
    TempDir dir;
    const std::string path = dir.path("f.rux");
    ASSERT_EQ(rux_create(path.c_str(), "app", "schema", 0), RUX_SUCCESS);
    Bytes file = rux_test::read_file(path);
    rux_test::put_le(file, 16, 0, 8);  // index_allocated_entries
    rux_test::write_file(path, file);
    rux_handle handle;
    ASSERT_EQ(rux_open(&handle, path.c_str(), RUX_OPEN_READWRITE), RUX_SUCCESS);
    EXPECT_EQ(rux_test::write_bytes(&handle, "a", RUX_TYPE_UINT8, 1, 1, Bytes{7}), RUX_SUCCESS);
    EXPECT_EQ(rux_end_frame(&handle), RUX_SUCCESS);
    EXPECT_EQ(rux_flush(&handle), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(rux_end_frame(&handle), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(rux_close(&handle), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(handle.owns_descriptor, 0);
    EXPECT_EQ(handle.name_map.buckets, nullptr);
}

}  // namespace
