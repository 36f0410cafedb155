// The commit record: readers trust the committed entries while a writer holds
// the file, whatever lies behind them; a writable open discards what a dead
// writer left there; refresh takes a new view with the same guarantees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "file_crafter.h"
#include "handle_helpers.h"
#include "recording_sys.h"
#include "rux/rux.h"
#include "temp_dir.h"

namespace {

using rux_test::Bytes;
using rux_test::Call;
using rux_test::RecordingSys;

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
    void put_entry_behind(const rux_index_entry &entry, uint64_t past = 0) {
        const int fd = ::open(path().c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        const uint64_t at = writer_.header.index_location + 32 * (writer_.file_index.size + past);
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
// file whose record does not apply is written as any other (a 2.2 file
// without a writer record opens writable, its header untouched).
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
    // The frame in progress is still there to end, and reads back.
    ASSERT_EQ(rux_end_frame(&writer_), RUX_SUCCESS);
    Bytes staged;
    ASSERT_TRUE(rux_test::read_back(&writer_, 1, "a", &staged));
    EXPECT_EQ(staged, Bytes{'x'});
    EXPECT_EQ(rux_refresh(nullptr), RUX_ERROR_INVALID_ARGUMENT);
    rux_handle reader;
    ASSERT_EQ(rux_open(&reader, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    ASSERT_EQ(rux_close(&reader), RUX_SUCCESS);
    EXPECT_EQ(rux_refresh(&reader), RUX_ERROR_INVALID_ARGUMENT);
}

}  // namespace

namespace {

// The trust rules, on the image of a writer holding the file with two
// committed frames and a whole third frame behind them (a flush between its
// entries and its header): a trusted record with the writer bit set shows
// the frames it commits; any other record is ignored, and the entries are
// counted (three frames).
struct TrustCase {
    const char *label;
    void (*change)(Bytes &file);
    uint64_t frames;
};

void PrintTo(const TrustCase &c, std::ostream *out) {
    *out << c.label;
}

class CommitRecordTrust : public CommitRecordTest, public ::testing::WithParamInterface<TrustCase> {};

TEST_P(CommitRecordTrust, DecidesWhatReadersSee) {
    start_writer(2);
    for (uint16_t id = 0; id < 2; ++id) {
        rux_index_entry entry = entry_of_frame(2, RUX_TYPE_INT64);
        entry.id = id;
        put_entry_behind(entry, id);
    }
    Bytes image = rux_test::read_file(path());
    GetParam().change(image);
    const std::string copy = dir_.path("copy.rux");
    rux_test::write_file(copy, image);
    rux_handle reader;
    ASSERT_EQ(rux_open(&reader, copy.c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&reader), GetParam().frames);
    EXPECT_EQ(rux_close(&reader), RUX_SUCCESS);
}

void reseal(Bytes &file) {
    rux_test::seal_commit_record(file);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CommitRecordTrust,
    ::testing::Values(
        TrustCase{"as_written", [](Bytes &) {}, 2},
        TrustCase{"entries_changed_without_new_checksum",
                  [](Bytes &f) { rux_test::put_le(f, 184, 1, 8); }, 3},
        // Sealed, the same change is believed: one entry, frame 0.
        TrustCase{"entries_changed_and_sealed",
                  [](Bytes &f) {
                      rux_test::put_le(f, 184, 1, 8);
                      reseal(f);
                  },
                  1},
        TrustCase{"byte_in_the_zero_tail",
                  [](Bytes &f) {
                      f[176 + 40] = 1;
                      reseal(f);
                  },
                  3},
        TrustCase{"flag_beside_the_writer_bit",
                  [](Bytes &f) {
                      rux_test::put_le(f, 196, 3, 4);
                      reseal(f);
                  },
                  3},
        TrustCase{"writer_bit_clear",
                  [](Bytes &f) {
                      rux_test::put_le(f, 196, 0, 4);
                      reseal(f);
                  },
                  3},
        TrustCase{"other_tag",
                  [](Bytes &f) {
                      f[176] ^= 1;
                      reseal(f);
                  },
                  3},
        TrustCase{"more_entries_than_the_block_holds",
                  [](Bytes &f) {
                      rux_test::put_le(f, 184, rux_test::get_le(f, 16, 8) + 1, 8);
                      reseal(f);
                  },
                  3}),
    [](const ::testing::TestParamInfo<TrustCase> &info) { return std::string(info.param.label); });

TEST_F(CommitRecordTest, RecordWhoseEntriesFillTheIndexBlockIsTrusted) {
    rux_test::FileImage image;
    image.set_names({"a"});
    for (uint64_t frame = 0; frame < 128; ++frame) {
        const int64_t value = static_cast<int64_t>(frame);
        image.add_chunk(frame, 0, RUX_TYPE_INT64, 1, 1, &value);
    }
    Bytes file = image.image();
    rux_test::RawCommitRecord record;
    record.entries = 128;
    record.names = 1;
    rux_test::put_commit_record(file, record);
    rux_test::write_file(path(), file);
    rux_handle reader;
    ASSERT_EQ(rux_open(&reader, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    EXPECT_EQ(reader.file_index.size, 128u);
    EXPECT_EQ(rux_get_nframes(&reader), 128u);
    EXPECT_EQ(rux_close(&reader), RUX_SUCCESS);
}

// A writer that died between writing a name and its header leaves name
// bytes behind the committed names (here apart from the list, as a torn
// write leaves them). The next writable open zeroes them, so that after its
// clean close no stray bytes make the following writable open refuse the file.
TEST_F(CommitRecordTest, DeadWritersNameBytesAreZeroedForTheNextWriter) {
    start_writer(1);
    Bytes image = rux_test::read_file(path());
    const uint64_t names = rux_test::get_le(image, 24, 8);
    std::memcpy(image.data() + names + 8, "ghost", 5);  // "a\0b\0" then a gap
    const std::string copy = dir_.path("copy.rux");
    rux_test::write_file(copy, image);
    for (int open = 0; open < 2; ++open) {
        rux_handle resumed;
        ASSERT_EQ(rux_open(&resumed, copy.c_str(), RUX_OPEN_APPEND), RUX_SUCCESS) << open;
        EXPECT_EQ(rux_test::matching_names(&resumed, ""), (std::vector<std::string>{"a", "b"}));
        ASSERT_EQ(rux_close(&resumed), RUX_SUCCESS);
        const Bytes after = rux_test::read_file(copy);
        EXPECT_EQ(Bytes(after.begin() + names + 4, after.begin() + names + 1024), Bytes(1020, 0));
    }
}

// The header that records a flush is its last write; when it or its sync
// fails the handle stops writing, with the failing call's errno.
class CommitHeaderFailure : public CommitRecordTest, public ::testing::WithParamInterface<Call> {};

TEST_P(CommitHeaderFailure, StopsWritingWithAnIoError) {
    start_writer(1);
    const int64_t value = 9;
    ASSERT_EQ(rux_write_chunk(&writer_, "a", RUX_TYPE_INT64, 1, 1, 0, &value), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&writer_), RUX_SUCCESS);
    {
        // A flush writes the data, syncs, writes the entries, syncs, then the header.
        RecordingSys sys;
        sys.fail(GetParam(), 3, ENOSPC);
        EXPECT_EQ(rux_flush(&writer_), RUX_ERROR_IO);
        const std::vector<rux_test::CallRecord> pwrites = sys.records_of({Call::pwrite});
        ASSERT_FALSE(pwrites.empty());
        EXPECT_EQ(pwrites.back().offset, 0u);  // the header was the write that failed, or the last
    }
    EXPECT_EQ(writer_.write_error, RUX_ERROR_IO);
    errno = 0;
    EXPECT_EQ(rux_write_chunk(&writer_, "a", RUX_TYPE_INT64, 1, 1, 0, &value), RUX_ERROR_IO);
    EXPECT_EQ(errno, ENOSPC);
}

INSTANTIATE_TEST_SUITE_P(Calls, CommitHeaderFailure, ::testing::Values(Call::pwrite, Call::fsync),
                         [](const ::testing::TestParamInfo<Call> &info) {
                             return std::string(rux_test::call_name(info.param));
                         });

}  // namespace
