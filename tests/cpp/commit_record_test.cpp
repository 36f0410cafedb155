// The commit record: readers trust the committed entries while a writer holds
// the file, whatever lies behind them; a writable open discards what a dead
// writer left there; refresh takes a new view with the same guarantees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

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

// The values of "a" in every frame, read one chunk at a time.
std::vector<int64_t> values_of_a(const std::string &file) {
    rux_handle reader;
    std::vector<int64_t> values;
    EXPECT_EQ(rux_open(&reader, file.c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    for (uint64_t frame = 0; frame < rux_get_nframes(&reader); ++frame) {
        Bytes bytes;
        int64_t value = -1;
        if (rux_test::read_back(&reader, frame, "a", &bytes) && bytes.size() == sizeof value) {
            std::memcpy(&value, bytes.data(), sizeof value);
        }
        values.push_back(value);
    }
    EXPECT_EQ(rux_close(&reader), RUX_SUCCESS);
    return values;
}

void append_values(const std::string &file, int64_t from, int64_t to) {
    rux_handle writer;
    ASSERT_EQ(rux_open(&writer, file.c_str(), RUX_OPEN_APPEND), RUX_SUCCESS);
    for (int64_t value = from; value < to; ++value) {
        ASSERT_EQ(rux_write_chunk(&writer, "a", RUX_TYPE_INT64, 1, 1, 0, &value), RUX_SUCCESS);
        ASSERT_EQ(rux_end_frame(&writer), RUX_SUCCESS);
    }
    ASSERT_EQ(rux_close(&writer), RUX_SUCCESS);
}

// A file that a writer died holding (its record counts three frames), stamped
// with another layout version. Readers honour the record whatever the
// version. A 2.0 file is written as 2.1, so its writers keep the record; any
// other version's writers would append behind a record they do not keep
// (invisible to readers, and written over by the writer after them), so
// writable opens refuse it before writing a byte.
class HeldFileOfVersion : public CommitRecordTest,
                          public ::testing::WithParamInterface<uint32_t> {};

TEST_P(HeldFileOfVersion, IsReadToTheRecordAndWrittenOnlyWhereTheRecordIsKept) {
    ASSERT_EQ(rux_test::create_open(&writer_, path()), RUX_SUCCESS);
    writing_ = true;
    for (int64_t value = 0; value < 3; ++value) {  // one name: both layouts read "a\0" alike
        ASSERT_EQ(rux_write_chunk(&writer_, "a", RUX_TYPE_INT64, 1, 1, 0, &value), RUX_SUCCESS);
        ASSERT_EQ(rux_end_frame(&writer_), RUX_SUCCESS);
    }
    ASSERT_EQ(rux_flush(&writer_), RUX_SUCCESS);
    Bytes held = rux_test::read_file(path());
    rux_test::put_le(held, 44, GetParam(), 4);
    rux_test::seal_commit_record(held);
    const std::string image = dir_.path("image.rux");
    rux_test::write_file(image, held);
    EXPECT_EQ(values_of_a(image), (std::vector<int64_t>{0, 1, 2}));

    if (GetParam() == rux_test::kVersion20) {
        append_values(image, 3, 5);
        EXPECT_EQ(values_of_a(image), (std::vector<int64_t>{0, 1, 2, 3, 4}));
        append_values(image, 5, 6);
        EXPECT_EQ(values_of_a(image), (std::vector<int64_t>{0, 1, 2, 3, 4, 5}));
        return;
    }
    for (rux_open_flag flags : {RUX_OPEN_READWRITE, RUX_OPEN_APPEND}) {
        rux_handle refused;
        const int opened = rux_open(&refused, image.c_str(), flags);
        EXPECT_EQ(opened, RUX_ERROR_INVALID_RUX_FILE_VERSION);
        if (opened == RUX_SUCCESS) {
            rux_close(&refused);
        }
    }
    EXPECT_EQ(rux_test::read_file(image), held);
}

INSTANTIATE_TEST_SUITE_P(Versions, HeldFileOfVersion,
                         ::testing::Values(rux_test::kVersion03, rux_test::kVersion10,
                                           rux_test::kVersion20, 0x20002u, 0x2FFFFu));

// The record applies only while it is trusted and the writer bit is set; a
// file whose record does not apply is written as any other (the spec'd
// behaviour of a 2.2 file: opened writable, its header untouched).
TEST_F(CommitRecordTest, RecordThatDoesNotApplyLeavesLaterVersionsWritable) {
    ASSERT_EQ(rux_test::create_open(&writer_, path()), RUX_SUCCESS);
    const int64_t value = 0;
    ASSERT_EQ(rux_write_chunk(&writer_, "a", RUX_TYPE_INT64, 1, 1, 0, &value), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&writer_), RUX_SUCCESS);
    ASSERT_EQ(rux_close(&writer_), RUX_SUCCESS);
    Bytes file = rux_test::read_file(path());
    rux_test::put_le(file, 44, 0x20002, 4);
    rux_test::RawCommitRecord released;
    released.entries = 1;
    released.names = 1;
    released.flags = 0;
    rux_test::put_commit_record(file, released);
    rux_test::write_file(path(), file);
    append_values(path(), 1, 3);
    EXPECT_EQ(values_of_a(path()), (std::vector<int64_t>{0, 1, 2}));
    const Bytes after = rux_test::read_file(path());
    EXPECT_EQ(Bytes(after.begin(), after.begin() + 256), Bytes(file.begin(), file.begin() + 256));
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
