// Emptying a file and converting the version 1 layout.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "file_crafter.h"
#include "handle_helpers.h"
#include "recording_sys.h"
#include "temp_dir.h"

namespace {

using rux_test::Bytes;
using rux_test::Call;
using rux_test::CallRecord;
using rux_test::FileImage;
using rux_test::RawEntry;
using rux_test::RecordingSys;
using rux_test::TempDir;

class TruncateUpgradeTest : public testing::Test {
  protected:
    void TearDown() override {
        if (open_) {
            EXPECT_EQ(rux_close(&handle_), RUX_SUCCESS);
        }
    }
    std::string path() const { return dir_.path("t.rux"); }
    Bytes file() const { return rux_test::read_file(path()); }
    void open_image(const FileImage &image, rux_open_flag flags = RUX_OPEN_READWRITE) {
        image.save(path());
        ASSERT_EQ(rux_open(&handle_, path().c_str(), flags), RUX_SUCCESS);
        open_ = true;
    }
    int write(const std::string &name, const std::string &text) {
        return rux_write_chunk(&handle_, name.c_str(), RUX_TYPE_CHARACTER, 1,
                               static_cast<uint32_t>(text.size()), 0, text.data());
    }
    std::string read_text(uint64_t frame, const std::string &name) {
        Bytes back;
        if (!rux_test::read_back(&handle_, frame, name, &back)) {
            return "<none>";
        }
        return std::string(back.begin(), back.end());
    }
    void reopen(rux_open_flag flags = RUX_OPEN_READONLY) {
        ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
        ASSERT_EQ(rux_open(&handle_, path().c_str(), flags), RUX_SUCCESS);
    }

    TempDir dir_;
    rux_handle handle_ = {};
    bool open_ = false;
};

// A version 1.0 file with the given names; frame 0 holds the text "text<id>"
// for ids 2, 0 and 1, in that order, for those ids that have a name.
FileImage version1_image(const std::vector<std::string> &names) {
    FileImage image(rux_test::kVersion10);
    image.set_names(names);
    for (uint16_t id : {2, 0, 1}) {
        if (id < names.size()) {
            const std::string text = "text" + std::to_string(id);
            image.add_chunk(0, id, RUX_TYPE_CHARACTER, 1, static_cast<uint32_t>(text.size()),
                            text.data());
        }
    }
    return image;
}

TEST_F(TruncateUpgradeTest, TruncateLeavesANewFileWithTheSameMetadata) {
    ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS);
    open_ = true;
    for (int frame = 0; frame < 10; ++frame) {
        ASSERT_EQ(write("n" + std::to_string(frame % 3), "data"), RUX_SUCCESS);
        ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    }
    reopen(RUX_OPEN_READWRITE);
    ASSERT_EQ(rux_get_nframes(&handle_), 10u);
    ASSERT_EQ(rux_truncate(&handle_), RUX_SUCCESS);
    const std::string fresh = dir_.path("fresh.rux");
    ASSERT_EQ(rux_create(fresh.c_str(), rux_test::kApplication, rux_test::kSchema,
                         rux_test::kSchemaVersion),
              RUX_SUCCESS);
    // Apart from the commit record of the handle that holds it.
    Bytes truncated = file();
    std::fill(truncated.begin() + 176, truncated.begin() + 256, 0);
    EXPECT_EQ(truncated, rux_test::read_file(fresh));
    EXPECT_EQ(rux_get_nframes(&handle_), 0u);
    EXPECT_EQ(handle_.file_size, 5376);
    EXPECT_EQ(handle_.file_names.count, 0u);
    EXPECT_EQ(rux_find_chunk(&handle_, 0, "n0"), nullptr);
    EXPECT_EQ(rux_test::matching_names(&handle_, ""), std::vector<std::string>{});
    ASSERT_EQ(write("after", "x"), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    reopen();
    EXPECT_EQ(rux_get_nframes(&handle_), 1u);
    EXPECT_EQ(read_text(0, "after"), "x");
}

// A crash after any write of a truncation leaves a file that opens: the old
// contents or an empty file, never a header that names blocks not yet written.
TEST_F(TruncateUpgradeTest, TruncateKeepsTheFileWellFormedAtEveryWrite) {
    ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS);
    open_ = true;
    for (int frame = 0; frame < 200; ++frame) {
        ASSERT_EQ(write("n" + std::to_string(frame % 7), std::string(1 + frame % 50, 'd')),
                  RUX_SUCCESS);
        ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    }
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    const int fd = handle_.fd;
    int states = 0;
    RecordingSys sys;
    sys.after_each_write([&] {
        ++states;
        EXPECT_EQ(rux_test::check_well_formed(file()), "") << "after write " << states;
    });
    ASSERT_EQ(rux_truncate(&handle_), RUX_SUCCESS);
    EXPECT_GT(states, 2);
    EXPECT_EQ(sys.count(Call::close), 0);
    EXPECT_EQ(sys.count(Call::open), 0);
    EXPECT_EQ(sys.count_on(fd), static_cast<int>(sys.records().size()) - sys.count(Call::munmap) -
                                     sys.count(Call::mmap, -1));
    EXPECT_EQ(file().size(), 5376u);
}

TEST_F(TruncateUpgradeTest, TruncateMakesVersion1Files21AndResetsThresholds) {
    open_image(version1_image({"a", "bc"}));
    ASSERT_EQ(rux_set_maximum_write_buffer_size(&handle_, 1024), RUX_SUCCESS);
    ASSERT_EQ(rux_set_index_entries_to_buffer(&handle_, 5), RUX_SUCCESS);
    ASSERT_EQ(rux_truncate(&handle_), RUX_SUCCESS);
    EXPECT_EQ(rux_test::decode_header(file()).version, 0x20001u);
    EXPECT_EQ(handle_.header.rux_version, 0x20001u);
    EXPECT_EQ(rux_get_maximum_write_buffer_size(&handle_), 67108864u);
    EXPECT_EQ(rux_get_index_entries_to_buffer(&handle_), 262144u);
    EXPECT_EQ(rux_test::decode_header(file()).application, "crafter");
}

TEST_F(TruncateUpgradeTest, StagedChunksNeverReachTheFile) {
    ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS);
    open_ = true;
    ASSERT_EQ(write("buffered", "abc"), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(write("open", "def"), RUX_SUCCESS);
    ASSERT_EQ(rux_truncate(&handle_), RUX_SUCCESS);
    reopen();
    EXPECT_EQ(file().size(), 5376u);
    EXPECT_EQ(rux_get_nframes(&handle_), 0u);
}

TEST_F(TruncateUpgradeTest, MetadataWithoutNulIsCutTo63Bytes) {
    FileImage image;
    image.header.application = std::string(64, 'A');
    image.header.schema = std::string(64, 'S');
    image.header.schema_version = 0x50006;
    open_image(image);
    ASSERT_EQ(rux_truncate(&handle_), RUX_SUCCESS);
    const auto header = rux_test::decode_header(file());
    EXPECT_EQ(header.application, std::string(63, 'A'));
    EXPECT_EQ(header.schema, std::string(63, 'S'));
    EXPECT_EQ(header.schema_version, 0x50006u);
}

TEST_F(TruncateUpgradeTest, RefusalsOfReadOnlyAndNullHandles) {
    open_image(version1_image({"a"}), RUX_OPEN_READONLY);
    RecordingSys sys;
    EXPECT_EQ(rux_truncate(&handle_), RUX_ERROR_FILE_MUST_BE_WRITABLE);
    EXPECT_EQ(rux_upgrade(&handle_), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_truncate_frames(&handle_, 0), RUX_ERROR_FILE_MUST_BE_WRITABLE);
    EXPECT_EQ(rux_truncate(nullptr), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_upgrade(nullptr), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_truncate_frames(nullptr, 0), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_TRUE(sys.records().empty());
    EXPECT_EQ(read_text(0, "a"), "text0");
}

struct TruncateFailureCase {
    const char *what;
    Call kind;
    int nth;
};
void PrintTo(const TruncateFailureCase &c, std::ostream *out) {
    *out << c.what;
}

class TruncateFailure : public TruncateUpgradeTest,
                        public testing::WithParamInterface<TruncateFailureCase> {};

// A failed truncate leaves a file that opens, and a handle that refuses to
// write, finds nothing, and still closes its descriptor.
TEST_P(TruncateFailure, HandleRefusesWritesAndStillCloses) {
    RecordingSys sys;
    ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS);
    const int fd = handle_.fd;
    ASSERT_EQ(write("a", "abc"), RUX_SUCCESS);
    sys.fail(GetParam().kind, GetParam().nth, EIO);
    EXPECT_NE(rux_truncate(&handle_), RUX_SUCCESS);
    sys.clear_faults();
    EXPECT_EQ(rux_test::check_well_formed(file()), "");
    EXPECT_NE(write("a", "abc"), RUX_SUCCESS);
    EXPECT_NE(rux_end_frame(&handle_), RUX_SUCCESS);
    EXPECT_NE(rux_flush(&handle_), RUX_SUCCESS);
    EXPECT_EQ(rux_find_chunk(&handle_, 0, "a"), nullptr);
    EXPECT_EQ(rux_find_matching_chunk_name(&handle_, "", nullptr), nullptr);
    rux_close(&handle_);
    EXPECT_EQ(sys.count(Call::close, fd), 1);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(sys.live_allocations(), 0u);
    EXPECT_EQ(sys.live_mappings(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, TruncateFailure,
                         testing::Values(TruncateFailureCase{"cut", Call::ftruncate, 1},
                                         TruncateFailureCase{"first write", Call::pwrite, 1},
                                         TruncateFailureCase{"first fsync", Call::fsync, 1},
                                         TruncateFailureCase{"header read back", Call::pread, 1},
                                         TruncateFailureCase{"mapping", Call::mmap, 2}));

TEST_F(TruncateUpgradeTest, UpgradeOfVersion2WritesNothing) {
    FileImage image;
    image.set_names({"a"});
    open_image(image);
    RecordingSys sys;
    EXPECT_EQ(rux_upgrade(&handle_), RUX_SUCCESS);
    EXPECT_TRUE(sys.writes().empty());
}

TEST_F(TruncateUpgradeTest, UpgradeRefusesStagedNamesAndDirectEntries) {
    for (uint32_t version : {rux_test::kVersion10, rux_test::kVersion21}) {
        FileImage image(version);
        image.set_names({"a"});
        open_image(image);
        ASSERT_EQ(write("new", "x"), RUX_SUCCESS);
        RecordingSys sys;
        EXPECT_EQ(rux_upgrade(&handle_), RUX_ERROR_INVALID_ARGUMENT);
        EXPECT_TRUE(sys.writes().empty());
        ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
        open_ = false;
    }
    open_image(version1_image({"a"}));
    ASSERT_EQ(rux_set_maximum_write_buffer_size(&handle_, 1), RUX_SUCCESS);
    ASSERT_EQ(write("a", "direct"), RUX_SUCCESS);
    EXPECT_EQ(rux_upgrade(&handle_), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_test::decode_header(file()).version, rux_test::kVersion10);
}

TEST_F(TruncateUpgradeTest, UpgradePacksNamesSortsEntriesAndMarksTheHeader) {
    open_image(version1_image({"a", "bc", "def"}));
    const int fd = handle_.fd;
    const uint64_t end = file().size();
    int states = 0;
    RecordingSys sys;
    sys.after_each_write([&] {
        ++states;
        EXPECT_EQ(rux_test::check_well_formed(file()), "") << "after write " << states;
    });
    ASSERT_EQ(rux_upgrade(&handle_), RUX_SUCCESS);
    // New blocks at the end of the file: the sorted entries with zeros up to
    // the old capacity (aligned to an entry), the packed namelist of the same
    // size; synced; then the one header that names both and version 2.1.
    const uint64_t index = (end + 31) / 32 * 32, names = index + 128 * 32;
    const std::vector<CallRecord> expected = {
        {Call::pwrite, fd, index, 96}, {Call::pwrite, fd, index + 96, 128 * 32 - 96},
        {Call::pwrite, fd, names, 1024}, {Call::fsync, fd, 0, 0},
        {Call::pwrite, fd, 0, 256},      {Call::fsync, fd, 0, 0}};
    EXPECT_EQ(sys.writes(), expected);
    const Bytes bytes = file();
    const auto parsed = rux_test::parse_file(bytes);
    EXPECT_EQ(parsed.header.version, 0x20001u);
    EXPECT_EQ(parsed.header.namelist_location, names);
    EXPECT_EQ(parsed.header.namelist_units, 16u);
    EXPECT_EQ(parsed.header.index_location, index);
    Bytes block(1024, 0);
    std::memcpy(block.data(), "a\0bc\0def", 9);
    EXPECT_EQ(Bytes(bytes.begin() + names, bytes.end()), block);
    ASSERT_EQ(parsed.entries.size(), 3u);
    for (uint16_t id = 0; id < 3; ++id) {
        EXPECT_EQ(parsed.entries[id].id, id);
    }
    EXPECT_EQ(rux_test::check_well_formed(bytes), "");
    EXPECT_EQ(handle_.header.rux_version, 0x20001u);
    EXPECT_EQ(read_text(0, "bc"), "text1");
    // New names are now staged in the version 2 encoding.
    ASSERT_EQ(write("zz", "new"), RUX_SUCCESS);
    EXPECT_EQ(handle_.frame_names.bytes.size, 3u);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    reopen();
    EXPECT_EQ(rux_test::matching_names(&handle_, ""),
              (std::vector<std::string>{"a", "bc", "def", "zz"}));
    EXPECT_EQ(read_text(0, "def"), "text2");
    EXPECT_EQ(read_text(1, "zz"), "new");
}

TEST_F(TruncateUpgradeTest, UpgradeOfAnEmptyVersion03FileOnlyRewritesTheHeader) {
    open_image(FileImage(rux_test::kVersion03));
    const int fd = handle_.fd;
    RecordingSys sys;
    ASSERT_EQ(rux_upgrade(&handle_), RUX_SUCCESS);
    EXPECT_EQ(sys.records_of({Call::pwrite}),
              (std::vector<CallRecord>{{Call::pwrite, fd, 0, 256}}));
    EXPECT_EQ(sys.writes().back(), (CallRecord{Call::fsync, fd, 0, 0}));
    EXPECT_EQ(rux_test::decode_header(file()).version, 0x20001u);
}

// Only the names that have ids are packed: the list up to its end.
// A version 1 namelist with a slot behind its end holds bytes that a flush
// would overwrite: writable opens, and so upgrades, refuse it; reads work.
TEST_F(TruncateUpgradeTest, StraySlotBehindTheNamelistRefusesWritableOpens) {
    FileImage image(rux_test::kVersion10);
    image.set_names({"x", "", "y"});
    const std::string text = "xx";
    image.add_chunk(0, 0, RUX_TYPE_CHARACTER, 1, 2, text.data());
    image.save(path());
    EXPECT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READWRITE), RUX_ERROR_FILE_CORRUPT);
    open_image(image, RUX_OPEN_READONLY);
    EXPECT_EQ(read_text(0, "x"), "xx");
}

// The upgrade packs the names up to the list's end: a name behind a hole has
// no id, and packing it would give it the id that the next new name takes.
// Writable opens refuse such a block (above), so the bytes behind the hole
// are put into the handle's copy of the block after the open.
TEST_F(TruncateUpgradeTest, UpgradeOfAListWithAHoleGivesTheNameBehindItNoId) {
    open_image(version1_image({"x"}));
    std::memcpy(handle_.file_names.bytes.data + 2 * 64, "y", 2);
    ASSERT_EQ(rux_upgrade(&handle_), RUX_SUCCESS);
    ASSERT_EQ(write("z", "new"), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    reopen();
    EXPECT_EQ(rux_test::matching_names(&handle_, ""), (std::vector<std::string>{"x", "z"}));
    EXPECT_EQ(read_text(1, "z"), "new");
    EXPECT_EQ(read_text(0, "x"), "text0");
    EXPECT_EQ(rux_find_chunk(&handle_, 1, "y"), nullptr);
}

// Completed frames still staged are flushed during the upgrade; the index
// stays sorted across the old and the new entries.
TEST_F(TruncateUpgradeTest, UpgradeFlushesStagedCompletedFrames) {
    open_image(version1_image({"a", "bc", "def"}));
    ASSERT_EQ(write("def", "later"), RUX_SUCCESS);
    ASSERT_EQ(write("a", "later a"), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_upgrade(&handle_), RUX_SUCCESS);
    EXPECT_EQ(rux_test::check_well_formed(file()), "");
    reopen();
    EXPECT_EQ(rux_get_nframes(&handle_), 2u);
    EXPECT_EQ(read_text(1, "def"), "later");
    EXPECT_EQ(read_text(1, "a"), "later a");
    EXPECT_EQ(read_text(0, "a"), "text0");
}

struct UpgradeFlushFailureCase {
    const char *what;
    Call kind;
    bool data_survive;  // a failed write is retried at close; a failed fsync stops writing
};
void PrintTo(const UpgradeFlushFailureCase &c, std::ostream *out) {
    *out << c.what;
}

class UpgradeFlushFailure : public TruncateUpgradeTest,
                            public testing::WithParamInterface<UpgradeFlushFailureCase> {};

// A failing flush during the upgrade fails it before the namelist or the
// header is written: the file keeps its version 1 header and namelist.
TEST_P(UpgradeFlushFailure, FailsWithoutWritingTheNamelist) {
    FileImage image(rux_test::kVersion10);
    image.set_names({"a", "bc"});
    open_image(image);
    ASSERT_EQ(write("bc", "staged"), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    {
        RecordingSys sys;
        sys.fail(GetParam().kind, 1, EIO);
        EXPECT_NE(rux_upgrade(&handle_), RUX_SUCCESS);
        for (const CallRecord &record : sys.records_of({Call::pwrite})) {
            EXPECT_NE(record.length, 1024u) << "namelist written";
            EXPECT_NE(record.offset, 0u) << "header written";
        }
    }
    EXPECT_EQ(rux_close(&handle_) == RUX_SUCCESS, GetParam().data_survive);
    open_ = false;
    const Bytes bytes = file();
    EXPECT_EQ(rux_test::check_well_formed(bytes), "");
    EXPECT_EQ(rux_test::decode_header(bytes).version, rux_test::kVersion10);
    Bytes slots(1024, 0);
    slots[0] = 'a';
    slots[64] = 'b';
    slots[65] = 'c';
    EXPECT_EQ(Bytes(bytes.begin() + 4352, bytes.begin() + 4352 + 1024), slots);
    ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    open_ = true;
    EXPECT_EQ(read_text(0, "bc"), GetParam().data_survive ? "staged" : "<none>");
}

INSTANTIATE_TEST_SUITE_P(Cases, UpgradeFlushFailure,
                         testing::Values(UpgradeFlushFailureCase{"data write", Call::pwrite, true},
                                         UpgradeFlushFailureCase{"fsync", Call::fsync, false}));

// ---- Cutting a file back to its first frames ----

class TruncateFramesTest : public TruncateUpgradeTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS);
        open_ = true;
    }
    static std::string text_of(uint64_t frame) { return "f" + std::to_string(frame); }
    // Frames of one chunk "pos" holding text_of(frame); the frames listed in
    // `empty` hold no chunk.
    void fill(uint64_t frames, const std::vector<uint64_t> &empty = {}) {
        for (uint64_t frame = rux_get_nframes(&handle_); frame < frames; ++frame) {
            if (std::find(empty.begin(), empty.end(), frame) == empty.end()) {
                ASSERT_EQ(write("pos", text_of(frame)), RUX_SUCCESS);
            }
            ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
        }
    }
};

// The cut writes the kept entries as a new block at the end of the file,
// syncs, then switches the header: no other byte of the file changes.
TEST_F(TruncateFramesTest, WritesANewBlockAndOverwritesOnlyTheHeader) {
    fill(300);  // the index block grows to 512 entries
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    const Bytes before = file();
    const int fd = handle_.fd;
    RecordingSys sys;
    ASSERT_EQ(rux_truncate_frames(&handle_, 100), RUX_SUCCESS);
    const uint64_t block = (before.size() + 31) / 32 * 32;
    const std::vector<CallRecord> expected = {{Call::pwrite, fd, block, 100 * 32},
                                              {Call::pwrite, fd, block + 100 * 32, 28 * 32},
                                              {Call::fsync, fd, 0, 0},
                                              {Call::pwrite, fd, 0, 256},
                                              {Call::fsync, fd, 0, 0}};
    EXPECT_EQ(sys.writes(), expected);
    const Bytes after = file();
    ASSERT_GE(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin() + 256, before.end(), after.begin() + 256));
    EXPECT_EQ(rux_test::check_well_formed(after), "");
    const auto parsed = rux_test::parse_file(after);
    EXPECT_EQ(parsed.header.index_location, block);
    EXPECT_EQ(parsed.header.index_entries, 128u);
    EXPECT_EQ(parsed.entries.size(), 100u);
    EXPECT_EQ(rux_get_nframes(&handle_), 100u);
    EXPECT_EQ(read_text(99, "pos"), "f99");
    EXPECT_EQ(rux_find_chunk(&handle_, 100, "pos"), nullptr);
    ASSERT_EQ(write("pos", "again"), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    reopen();
    EXPECT_EQ(rux_get_nframes(&handle_), 101u);
    EXPECT_EQ(read_text(100, "pos"), "again");
    EXPECT_EQ(read_text(42, "pos"), "f42");
}

struct CutCase {
    const char *what;
    uint64_t keep;
    int result;
    bool writes;  // whether the call changes the file
};
void PrintTo(const CutCase &c, std::ostream *out) {
    *out << c.what;
}

class TruncateFramesTo : public TruncateFramesTest,
                         public testing::WithParamInterface<CutCase> {};

// Ten frames, 6 and 7 without chunks. Whatever is kept, the next frame
// written is frame `keep`, and the file then holds keep + 1 frames.
TEST_P(TruncateFramesTo, KeepsTheFirstFramesAndAppendsAfterThem) {
    const CutCase &c = GetParam();
    fill(10, {6, 7});
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    {
        RecordingSys sys;
        EXPECT_EQ(rux_truncate_frames(&handle_, c.keep), c.result);
        EXPECT_EQ(sys.writes().empty(), !c.writes);
    }
    const uint64_t kept = c.result == RUX_SUCCESS ? c.keep : 10;
    EXPECT_EQ(rux_get_nframes(&handle_), kept);
    ASSERT_EQ(write("pos", "after"), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    reopen();
    EXPECT_EQ(rux_test::check_well_formed(file()), "");
    EXPECT_EQ(rux_get_nframes(&handle_), kept + 1);
    EXPECT_EQ(read_text(kept, "pos"), "after");
    for (uint64_t frame = 0; frame < kept; ++frame) {
        EXPECT_EQ(read_text(frame, "pos"), frame == 6 || frame == 7 ? "<none>" : text_of(frame));
    }
    EXPECT_EQ(rux_test::matching_names(&handle_, ""), std::vector<std::string>{"pos"});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TruncateFramesTo,
    testing::Values(CutCase{"to_nothing", 0, RUX_SUCCESS, true},
                    CutCase{"to_three", 3, RUX_SUCCESS, true},
                    CutCase{"after_empty_frames", 8, RUX_SUCCESS, true},
                    CutCase{"to_the_last_frame", 9, RUX_SUCCESS, true},
                    CutCase{"to_every_frame", 10, RUX_SUCCESS, false},
                    CutCase{"past_the_end", 11, RUX_ERROR_INVALID_ARGUMENT, false}),
    [](const testing::TestParamInfo<CutCase> &info) { return info.param.what; });

// Frames still staged count; the chunks of the frame in progress are dropped,
// also when every frame is kept. Their names stay in the namelist.
TEST_F(TruncateFramesTest, CountsStagedFramesAndDropsTheFrameInProgress) {
    fill(6);
    ASSERT_EQ(write("open", "dropped"), RUX_SUCCESS);
    ASSERT_EQ(rux_truncate_frames(&handle_, 4), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&handle_), 4u);
    EXPECT_EQ(read_text(3, "pos"), "f3");
    ASSERT_EQ(write("kept", "k"), RUX_SUCCESS);
    ASSERT_EQ(write("open", "dropped too"), RUX_SUCCESS);
    ASSERT_EQ(rux_truncate_frames(&handle_, 4), RUX_SUCCESS);
    ASSERT_EQ(write("pos", "x"), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    reopen();
    EXPECT_EQ(rux_get_nframes(&handle_), 5u);
    EXPECT_EQ(read_text(4, "pos"), "x");
    for (uint64_t frame = 0; frame < 5; ++frame) {
        EXPECT_EQ(rux_find_chunk(&handle_, frame, "open"), nullptr) << frame;
        EXPECT_EQ(rux_find_chunk(&handle_, frame, "kept"), nullptr) << frame;
    }
    EXPECT_EQ(rux_test::matching_names(&handle_, ""),
              (std::vector<std::string>{"pos", "open", "kept"}));
}

// A reader that opened before the cut keeps every frame it saw, byte for
// byte; a refresh shows the kept frames and what was appended after them.
TEST_F(TruncateFramesTest, AReaderKeepsTheViewItHad) {
    fill(40);
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    rux_handle reader;
    ASSERT_EQ(rux_open(&reader, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    ASSERT_EQ(rux_truncate_frames(&handle_, 10), RUX_SUCCESS);
    for (int frame = 10; frame < 15; ++frame) {
        ASSERT_EQ(write("pos", "late" + std::to_string(frame)), RUX_SUCCESS);
        ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    }
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&reader), 40u);
    for (uint64_t frame = 0; frame < 40; ++frame) {
        Bytes back;
        ASSERT_TRUE(rux_test::read_back(&reader, frame, "pos", &back)) << frame;
        EXPECT_EQ(std::string(back.begin(), back.end()), text_of(frame));
    }
    uint64_t kept = 0;
    ASSERT_EQ(rux_refresh_keeping(&reader, &kept), RUX_SUCCESS);
    EXPECT_EQ(kept, 10u);
    EXPECT_EQ(rux_get_nframes(&reader), 15u);
    Bytes back;
    ASSERT_TRUE(rux_test::read_back(&reader, 12, "pos", &back));
    EXPECT_EQ(std::string(back.begin(), back.end()), "late12");
    // Appending keeps every frame; a cut behind the reader's frames keeps
    // them all; a cut to nothing keeps none.
    fill(20);
    ASSERT_EQ(rux_truncate_frames(&handle_, 17), RUX_SUCCESS);
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_refresh_keeping(&reader, &kept), RUX_SUCCESS);
    EXPECT_EQ(kept, 15u);
    EXPECT_EQ(rux_get_nframes(&reader), 17u);
    ASSERT_EQ(rux_truncate_frames(&handle_, 0), RUX_SUCCESS);
    fill(3);
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_refresh_keeping(&reader, &kept), RUX_SUCCESS);
    EXPECT_EQ(kept, 0u);
    EXPECT_EQ(rux_get_nframes(&reader), 3u);
    EXPECT_EQ(rux_refresh_keeping(&reader, nullptr), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_close(&reader), RUX_SUCCESS);
}

// A version 1 layout file has no commit record: the cut keeps its version
// and its zero reserved bytes, and readers count the new block's entries.
TEST_F(TruncateFramesTest, CutsAVersion1FileWithoutACommitRecord) {
    ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
    open_ = false;
    FileImage image(rux_test::kVersion10);
    image.set_names({"pos"});
    for (uint64_t frame = 0; frame < 6; ++frame) {
        const std::string text = text_of(frame);
        image.add_chunk(frame, 0, RUX_TYPE_CHARACTER, 1, static_cast<uint32_t>(text.size()),
                        text.data());
    }
    open_image(image);
    ASSERT_EQ(rux_truncate_frames(&handle_, 2), RUX_SUCCESS);
    const Bytes bytes = file();
    EXPECT_EQ(rux_test::decode_header(bytes).version, rux_test::kVersion10);
    EXPECT_EQ(Bytes(bytes.begin() + 176, bytes.begin() + 256), Bytes(80, 0));
    reopen();
    EXPECT_EQ(rux_get_nframes(&handle_), 2u);
    EXPECT_EQ(read_text(1, "pos"), "f1");
}

struct CutFailureCase {
    const char *what;
    Call kind;
    int nth;
    uint64_t frames_on_disk;  // what the file holds after the failure
    bool keeps_writing;       // nothing refers to what failed: the call can be repeated
};
void PrintTo(const CutFailureCase &c, std::ostream *out) {
    *out << c.what;
}

class TruncateFramesFailure : public TruncateUpgradeTest,
                              public testing::WithParamInterface<CutFailureCase> {};

// A failing step leaves a well-formed file holding every frame or the first
// n. A handle that stopped writing still reads the frames it had, and closes.
TEST_P(TruncateFramesFailure, LeavesEveryFrameOrTheFirstN) {
    const CutFailureCase &c = GetParam();
    RecordingSys sys;
    ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS);
    for (int frame = 0; frame < 20; ++frame) {
        ASSERT_EQ(write("pos", "f" + std::to_string(frame)), RUX_SUCCESS);
        ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    }
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    ASSERT_EQ(write("open", "staged"), RUX_SUCCESS);
    sys.fail(c.kind, c.nth, EIO);
    EXPECT_EQ(rux_truncate_frames(&handle_, 5), RUX_ERROR_IO);
    sys.clear_faults();
    EXPECT_EQ(rux_test::check_well_formed(file()), "");
    EXPECT_EQ(rux_get_nframes(&handle_), 20u);
    EXPECT_EQ(read_text(19, "pos"), "f19");
    EXPECT_EQ(rux_truncate_frames(&handle_, 5), c.keeps_writing ? RUX_SUCCESS : RUX_ERROR_IO);
    EXPECT_EQ(rux_close(&handle_), c.keeps_writing ? RUX_SUCCESS : RUX_ERROR_IO);
    EXPECT_EQ(handle_.owns_descriptor, 0);
    EXPECT_EQ(sys.live_allocations(), 0u);
    EXPECT_EQ(sys.live_mappings(), 0u);
    ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    open_ = true;
    EXPECT_EQ(rux_get_nframes(&handle_), c.keeps_writing ? 5u : c.frames_on_disk);
    EXPECT_EQ(read_text(4, "pos"), "f4");
    EXPECT_EQ(rux_find_chunk(&handle_, 4, "open"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TruncateFramesFailure,
    // The flush before the cut writes the new name and the staged chunk:
    // two writes and two fsyncs.
    testing::Values(CutFailureCase{"block_write", Call::pwrite, 3, 20, true},
                    CutFailureCase{"block_fsync", Call::fsync, 3, 20, false},
                    CutFailureCase{"header_write", Call::pwrite, 5, 20, false},
                    CutFailureCase{"header_fsync", Call::fsync, 4, 5, false},
                    CutFailureCase{"mapping", Call::mmap, 1, 5, false}),
    [](const testing::TestParamInfo<CutFailureCase> &info) { return info.param.what; });

}  // namespace
