// The commit record: readers trust the committed entries while a writer holds
// the file, whatever lies behind them; a writable open discards what a dead
// writer left there; refresh takes a new view with the same guarantees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "file_crafter.h"
#include "handle_helpers.h"
#include "rux/rux.h"
#include "temp_dir.h"

namespace {

using rux_test::Bytes;

class CommitRecordTest : public ::testing::Test {
  protected:
    std::string path() const { return dir_.path("live.rux"); }

    // A writer holding the file with `frames` flushed frames of chunks a, b.
    void start_writer(int frames) {
        ASSERT_EQ(rux_test::create_open(&writer_, path()), RUX_SUCCESS);
        writing_ = true;
        add_frames(frames);
    }
    void add_frames(int frames) {
        for (int f = 0; f < frames; ++f) {
            for (const char *name : {"a", "b"}) {
                const int64_t value = f;
                ASSERT_EQ(rux_write_chunk(&writer_, name, RUX_TYPE_INT64, 1, 1, 0, &value),
                          RUX_SUCCESS);
            }
            ASSERT_EQ(rux_end_frame(&writer_), RUX_SUCCESS);
        }
        ASSERT_EQ(rux_flush(&writer_), RUX_SUCCESS);
    }
    // Writes an entry behind the used ones, as a flush in progress (or a
    // dead writer's torn write) leaves it.
    void put_entry_behind(const rux_index_entry &entry) {
        const int fd = ::open(path().c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        const uint64_t at = writer_.header.index_location + 32 * writer_.file_index.size;
        ASSERT_EQ(pwrite(fd, &entry, sizeof entry, static_cast<off_t>(at)), 32);
        ::close(fd);
    }
    void TearDown() override {
        if (writing_) {
            rux_close(&writer_);
        }
    }

    rux_test::TempDir dir_;
    rux_handle writer_{};
    bool writing_ = false;
};

rux_index_entry entry_of_frame(uint64_t frame, uint8_t type) {
    rux_index_entry entry{};
    entry.frame = frame;
    entry.N = 1;
    entry.M = 1;
    entry.location = 5376;
    entry.type = type;
    return entry;
}

// A reader meeting an entry write in progress: before the commit record it
// counted the new entry (a partial frame 3) or, when the entry's bytes were
// half there, refused the file as corrupt.
class EntryInProgress : public CommitRecordTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(EntryInProgress, ReaderSeesOnlyCommittedWholeFrames) {
    start_writer(3);
    put_entry_behind(entry_of_frame(3, GetParam()));
    rux_handle reader;
    ASSERT_EQ(rux_open(&reader, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&reader), 3u);
    EXPECT_EQ(reader.file_index.size, 6u);
    EXPECT_EQ(rux_close(&reader), RUX_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(HalfWrittenOrWhole, EntryInProgress,
                         ::testing::Values(uint8_t{0}, uint8_t{RUX_TYPE_INT64}));

// The committed count is taken without a search; its last entry is checked.
TEST_F(CommitRecordTest, MissingLastCommittedEntryIsCorrupt) {
    start_writer(3);
    const int fd = ::open(path().c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const rux_index_entry zero{};
    const uint64_t last = writer_.header.index_location + 32 * (writer_.file_index.size - 1);
    ASSERT_EQ(pwrite(fd, &zero, sizeof zero, static_cast<off_t>(last)), 32);
    ::close(fd);
    rux_handle reader;
    EXPECT_EQ(rux_open(&reader, path().c_str(), RUX_OPEN_READONLY), RUX_ERROR_FILE_CORRUPT);
}

TEST_F(CommitRecordTest, WritableOpenDiscardsWhatADeadWriterLeftBehind) {
    start_writer(2);
    put_entry_behind(entry_of_frame(2, RUX_TYPE_INT64));
    // The writer dies holding the file: its image is what a new writer finds.
    const std::string image = dir_.path("image.rux");
    rux_test::write_file(image, rux_test::read_file(path()));
    rux_handle resumed;
    ASSERT_EQ(rux_open(&resumed, image.c_str(), RUX_OPEN_APPEND), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&resumed), 2u);
    const Bytes bytes = rux_test::read_file(image);
    const uint64_t behind = resumed.header.index_location + 32 * 4;
    EXPECT_EQ(Bytes(bytes.begin() + behind, bytes.begin() + behind + 32), Bytes(32, 0));
    ASSERT_EQ(rux_close(&resumed), RUX_SUCCESS);
    // Cleanly closed: no record, and readers count the entries as before.
    const Bytes closed = rux_test::read_file(image);
    EXPECT_EQ(Bytes(closed.begin() + 176, closed.begin() + 256), Bytes(80, 0));
}

TEST_F(CommitRecordTest, DamagedRecordIsIgnoredAndTheEntriesCounted) {
    start_writer(2);
    ASSERT_EQ(rux_close(&writer_), RUX_SUCCESS);
    writing_ = false;
    Bytes bytes = rux_test::read_file(path());
    std::memcpy(bytes.data() + 176, "RUXCOMIT", 8);  // a record whose checksum is wrong
    bytes[184] = 1;
    rux_test::write_file(path(), bytes);
    rux_handle reader;
    ASSERT_EQ(rux_open(&reader, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&reader), 2u);
    EXPECT_EQ(rux_close(&reader), RUX_SUCCESS);
}

TEST_F(CommitRecordTest, RefreshPicksUpFlushedFramesAndNames) {
    start_writer(2);
    rux_handle reader;
    ASSERT_EQ(rux_open(&reader, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    const int64_t value = 7;
    ASSERT_EQ(rux_write_chunk(&writer_, "late", RUX_TYPE_INT64, 1, 1, 0, &value), RUX_SUCCESS);
    add_frames(3);
    put_entry_behind(entry_of_frame(5, RUX_TYPE_INT64));  // a flush in progress
    // Fixed between refreshes.
    EXPECT_EQ(rux_get_nframes(&reader), 2u);
    EXPECT_EQ(rux_find_chunk(&reader, 2, "late"), nullptr);
    ASSERT_EQ(rux_refresh(&reader), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&reader), 5u);
    const rux_index_entry *late = rux_find_chunk(&reader, 2, "late");
    ASSERT_NE(late, nullptr);
    int64_t read = 0;
    ASSERT_EQ(rux_read_chunk(&reader, &read, late), RUX_SUCCESS);
    EXPECT_EQ(read, 7);
    // The flush completes; after the writer's clean close the reader sees
    // everything it recorded.
    add_frames(1);
    ASSERT_EQ(rux_close(&writer_), RUX_SUCCESS);
    writing_ = false;
    EXPECT_EQ(rux_get_nframes(&reader), 5u);
    ASSERT_EQ(rux_refresh(&reader), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&reader), 6u);
    EXPECT_EQ(rux_close(&reader), RUX_SUCCESS);
}

TEST_F(CommitRecordTest, RefreshLeavesWritersAloneAndRefusesClosedHandles) {
    start_writer(1);
    ASSERT_EQ(rux_write_chunk(&writer_, "a", RUX_TYPE_INT8, 1, 1, 0, "x"), RUX_SUCCESS);
    const uint64_t pending = writer_.pending_index_entries;
    EXPECT_EQ(rux_refresh(&writer_), RUX_SUCCESS);
    EXPECT_EQ(writer_.pending_index_entries, pending);
    EXPECT_EQ(rux_get_nframes(&writer_), 1u);
    EXPECT_EQ(rux_refresh(nullptr), RUX_ERROR_INVALID_ARGUMENT);
    rux_handle reader;
    ASSERT_EQ(rux_open(&reader, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    ASSERT_EQ(rux_close(&reader), RUX_SUCCESS);
    EXPECT_EQ(rux_refresh(&reader), RUX_ERROR_INVALID_ARGUMENT);
}

}  // namespace
