// Hostile and damaged files, failures that stop writing, and the corners of
// the write path that fault planting showed the other tests would miss.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "containers.h"
#include "file_crafter.h"
#include "handle_helpers.h"
#include "recording_sys.h"
#include "temp_dir.h"

namespace {

using rux_test::Bytes;
using rux_test::Call;
using rux_test::FileImage;
using rux_test::RecordingSys;

class Hardening : public testing::Test {
  protected:
    void TearDown() override {
        if (rux_is_open_for_test()) {
            rux_close(&handle_);
        }
    }
    bool rux_is_open_for_test() const { return handle_.owns_descriptor != 0; }
    std::string path() const { return dir_.path("f.rux"); }
    int write(const std::string &name, uint64_t size, uint64_t seed = 1) {
        return rux_test::write_bytes(&handle_, name, RUX_TYPE_UINT8, size, 1,
                                     rux_test::pattern(size, seed));
    }

    rux_test::TempDir dir_;
    rux_handle handle_ = {};
};

// Names made of "Aa" and "B@" blocks all share one bucket of the name hash.
TEST(HostileNames, CollidingNamesKeepTheirIdsAndChainOrder) {
    std::vector<std::string> names;
    for (unsigned bits = 0; bits < 4096; ++bits) {
        std::string name;
        for (int block = 0; block < 12; ++block) {
            name += (bits >> block & 1) ? "B@" : "Aa";
        }
        names.push_back(name);
    }
    RecordingSys sys;
    rux_name_id_map map = {};
    ASSERT_EQ(rux_name_id_map_init(&map), RUX_SUCCESS);
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_EQ(rux_name_id_map_add(&map, names[i].c_str(), static_cast<uint16_t>(i)),
                  RUX_SUCCESS);
    }
    ASSERT_EQ(rux_name_id_map_add(&map, names[7].c_str(), 9999), RUX_SUCCESS);
    const rux_name_id_node *node = &map.buckets[rux_name_hash(names[0].c_str()) % 57557];
    for (size_t i = 0; i < names.size(); ++i, node = node->next) {
        ASSERT_NE(node, nullptr);
        ASSERT_EQ(node->name, names[i]);
    }
    EXPECT_EQ(node->id, 9999);
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_EQ(rux_name_id_map_lookup(&map, names[i].c_str()), i);
    }
    EXPECT_EQ(rux_name_id_map_lookup(&map, "AaAa"), RUX_NAME_ID_NONE);
    ASSERT_EQ(rux_name_id_map_release(&map), RUX_SUCCESS);
    EXPECT_EQ(sys.live_allocations(), 0u);
}

// Damage that a read-only open tolerates but that would make a flush
// overwrite bytes the file still needs.
struct LayoutCase {
    const char *what;
    void (*damage)(FileImage &image);
    bool chunk_readable = true;  // a read-only open still finds the chunk
};

void PrintTo(const LayoutCase &c, std::ostream *out) {
    *out << c.what;
}

const LayoutCase kLayoutCases[] = {
    {"namelist block covering chunk data",
     [](FileImage &image) { image.header.namelist_units += 1; }},
    {"index block covering the namelist",
     [](FileImage &image) { image.header.index_entries += 4; }},
    {"unprobed entry behind the used ones",
     [](FileImage &image) {
         rux_test::RawEntry stray{};
         stray.location = 9;
         image.set_entry(5, stray);
     }},
    // Unused (location 0) but not zero: the first flush would write over it.
    {"entry right after the used ones with location 0 and other fields set",
     [](FileImage &image) {
         rux_test::RawEntry stray{};
         stray.frame = 3;
         stray.N = 1;
         image.set_entry(1, stray);
     }},
    {"last byte of the index block not zero",
     [](FileImage &image) { image.bytes[256 + 128 * 32 - 1] = 1; }},
    {"index block over the header's reserved bytes",
     [](FileImage &image) { image.header.index_location = 224; }, false},
    {"empty index block inside the namelist block's zero tail",
     [](FileImage &image) {
         image.header.index_location = 4352 + 512;
         image.header.index_entries = 0;
     },
     false},
};

class WritableOpenLayout : public Hardening, public testing::WithParamInterface<LayoutCase> {};

TEST_P(WritableOpenLayout, IsRefusedAndTheFileStaysReadable) {
    FileImage image;
    image.set_names({"a"});
    Bytes data(64, 0x11);
    data.back() = 0;  // keeps the last byte of a namelist block covering it 0
    image.add_chunk(0, 0, RUX_TYPE_UINT8, 64, 1, data.data());
    GetParam().damage(image);
    image.save(path());
    const Bytes before = rux_test::read_file(path());
    for (rux_open_flag flags : {RUX_OPEN_READWRITE, RUX_OPEN_APPEND}) {
        EXPECT_EQ(rux_open(&handle_, path().c_str(), flags), RUX_ERROR_FILE_CORRUPT);
    }
    EXPECT_EQ(rux_test::read_file(path()), before);
    ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    Bytes read;
    ASSERT_EQ(rux_test::read_back(&handle_, 0, "a", &read), GetParam().chunk_readable);
    if (GetParam().chunk_readable) {
        EXPECT_EQ(read, data);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, WritableOpenLayout, testing::ValuesIn(kLayoutCases));

// Zero bytes that the file does not hold (a hole) pass the check without
// being read.
TEST_F(Hardening, SparseIndexTailOpensWritableWithoutReadingTheHole) {
    FileImage image;
    image.header.index_location = 8192;
    image.header.index_entries = uint64_t{1} << 25;  // a 1 GiB block, all hole
    image.save(path());
    ASSERT_EQ(truncate(path().c_str(), 8192 + (int64_t{1} << 30)), 0);
    RecordingSys sys;
    ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READWRITE), RUX_SUCCESS);
    uint64_t bytes_read = 0;
    for (const auto &record : sys.records_of({Call::pread})) {
        bytes_read += record.length;
    }
    EXPECT_LT(bytes_read, uint64_t{1} << 20);
}

TEST_F(Hardening, FailureThatStopsWritingKeepsItsErrno) {
    ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS);
    ASSERT_EQ(write("a", 4), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    RecordingSys sys;
    sys.fail(Call::fsync, 1, ENOSPC, 0);
    ASSERT_EQ(rux_flush(&handle_), RUX_ERROR_IO);
    ASSERT_EQ(handle_.write_error, RUX_ERROR_IO);
    errno = ENOENT;  // as any unrelated call might leave it
    EXPECT_EQ(write("a", 4), RUX_ERROR_IO);
    EXPECT_EQ(errno, ENOSPC);
    errno = 0;
    EXPECT_EQ(rux_close(&handle_), RUX_ERROR_IO);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(rux_is_open_for_test());
}

TEST_F(Hardening, ShortReadOfAFileCutFromOutsideIsEio) {
    ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS);
    ASSERT_EQ(write("a", 4096), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    const rux_index_entry *entry = rux_find_chunk(&handle_, 0, "a");
    ASSERT_NE(entry, nullptr);
    ASSERT_EQ(truncate(path().c_str(), rux_test::kNewFileSize + 100), 0);
    Bytes out(4096);
    EXPECT_EQ(rux_read_chunk(&handle_, out.data(), entry), RUX_ERROR_IO);
    EXPECT_EQ(errno, EIO);
}

// A flush whose only new data is one chunk written straight to the file,
// under a known name: the data are synced before the entry refers to them.
TEST_F(Hardening, DirectChunkIsSyncedBeforeItsEntry) {
    ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS);
    ASSERT_EQ(write("a", 8), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_set_maximum_write_buffer_size(&handle_, 1), RUX_SUCCESS);
    RecordingSys sys;
    ASSERT_EQ(write("a", 8, 2), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    const auto writes = sys.writes();
    const auto is_entry = [](const rux_test::CallRecord &r) {
        return r.kind == Call::pwrite && r.offset >= 256 && r.offset < 256 + 4096;
    };
    const auto entry = std::find_if(writes.begin(), writes.end(), is_entry);
    ASSERT_NE(entry, writes.end());
    ASSERT_EQ(writes.front().kind, Call::pwrite);
    EXPECT_EQ(writes.front().offset, static_cast<uint64_t>(rux_test::kNewFileSize + 8));
    EXPECT_NE(std::find_if(writes.begin(), entry,
                           [](const rux_test::CallRecord &r) { return r.kind == Call::fsync; }),
              entry);
}

TEST_F(Hardening, ByteCountPastTheLargestFileIsRefusedWithNoNameStaged) {
    ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS);
    const uint8_t byte = 0;
    const uint64_t rows = static_cast<uint64_t>(INT64_MAX - handle_.file_size) + 1;
    EXPECT_EQ(rux_write_chunk(&handle_, "huge", RUX_TYPE_UINT8, rows, 1, 0, &byte),
              RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(handle_.frame_names.count, 0u);
    EXPECT_EQ(rux_name_id_map_lookup(&handle_.name_map, "huge"), RUX_NAME_ID_NONE);
    EXPECT_EQ(handle_.write_error, RUX_SUCCESS);
}

TEST_F(Hardening, AsManyEmptyFramesAsIndexEntriesThenAChunk) {
    ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS);
    for (int frame = 0; frame < 128; ++frame) {
        ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    }
    ASSERT_EQ(write("a", 8), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&handle_), 129u);
    Bytes read;
    ASSERT_TRUE(rux_test::read_back(&handle_, 128, "a", &read));
    EXPECT_EQ(read, rux_test::pattern(8, 1));
}

// The index grows into the end of the file; a file that someone else cut
// meanwhile would have that block overwrite data it no longer holds.
TEST_F(Hardening, FileCutFromOutsideBeforeTheIndexGrowsStopsWriting) {
    ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS);
    for (int frame = 0; frame < 128; ++frame) {
        ASSERT_EQ(write("a", 8, static_cast<uint64_t>(frame)), RUX_SUCCESS);
        ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    }
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    ASSERT_EQ(truncate(path().c_str(), handle_.file_size - 1), 0);
    // An empty chunk: the flush writes no data that would lengthen the file.
    ASSERT_EQ(rux_write_chunk(&handle_, "a", RUX_TYPE_UINT8, 0, 1, 0, nullptr), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    EXPECT_EQ(rux_flush(&handle_), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(handle_.write_error, RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(write("a", 8), RUX_ERROR_FILE_CORRUPT);
}

TEST_F(Hardening, CreatingAFileSyncsItsDirectory) {
    RecordingSys sys;
    ASSERT_EQ(rux_create(path().c_str(), "app", "schema", 0), RUX_SUCCESS);
    const auto opens = sys.records_of({Call::open});
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_NE(opens[1].fd, opens[0].fd);
    EXPECT_EQ(sys.count(Call::fsync, opens[1].fd), 1);
    EXPECT_EQ(sys.count(Call::close, opens[1].fd), 1);
}

TEST_F(Hardening, DeviceThatNeverAcceptsAByteFailsWithEio) {
    const int fd = ::open(path().c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    RecordingSys sys;
    sys.stall(Call::pwrite, 1, 0, 0);
    const Bytes data(16, 1);
    EXPECT_EQ(rux_pwrite_all(fd, data.data(), data.size(), 0), -1);
    EXPECT_EQ(errno, EIO);
    ::close(fd);
}

}  // namespace
