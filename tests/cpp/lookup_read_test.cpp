// Finding chunks, reading them and listing names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "file_crafter.h"
#include "handle_helpers.h"
#include "recording_sys.h"
#include "temp_dir.h"

namespace {

using rux_test::Bytes;
using rux_test::Call;
using rux_test::FileImage;
using rux_test::RawEntry;
using rux_test::RecordingSys;
using rux_test::TempDir;

class LookupTest : public testing::Test {
  protected:
    void TearDown() override {
        if (open_) {
            EXPECT_EQ(rux_close(&handle_), RUX_SUCCESS);
        }
    }
    std::string path() const { return dir_.path("l.rux"); }
    void open_image(const FileImage &image, rux_open_flag flags = RUX_OPEN_READONLY) {
        image.save(path());
        ASSERT_EQ(rux_open(&handle_, path().c_str(), flags), RUX_SUCCESS);
        open_ = true;
    }
    void create() {
        ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS);
        open_ = true;
    }
    std::string read_text(uint64_t frame, const std::string &name) {
        Bytes back;
        if (!rux_test::read_back(&handle_, frame, name, &back)) {
            return "<none>";
        }
        return std::string(back.begin(), back.end());
    }

    TempDir dir_;
    rux_handle handle_ = {};
    bool open_ = false;
};

// A chunk of text: type 11, one row.
RawEntry add_text(FileImage &image, uint64_t frame, uint16_t id, const std::string &text) {
    return image.add_chunk(frame, id, RUX_TYPE_CHARACTER, 1, static_cast<uint32_t>(text.size()),
                           text.data());
}

struct SizeCase {
    int type;
    size_t size;
};

void PrintTo(const SizeCase &c, std::ostream *out) {
    *out << "type " << c.type;
}

class SizeofType : public testing::TestWithParam<SizeCase> {};

TEST_P(SizeofType, MatchesTheTypeTable) {
    EXPECT_EQ(rux_sizeof_type(static_cast<rux_type>(GetParam().type)), GetParam().size);
}

INSTANTIATE_TEST_SUITE_P(Codes, SizeofType,
                         testing::Values(SizeCase{0, 0}, SizeCase{1, 1}, SizeCase{2, 2},
                                         SizeCase{3, 4}, SizeCase{4, 8}, SizeCase{5, 1},
                                         SizeCase{6, 2}, SizeCase{7, 4}, SizeCase{8, 8},
                                         SizeCase{9, 4}, SizeCase{10, 8}, SizeCase{11, 1},
                                         SizeCase{12, 0}, SizeCase{15, 0}));

TEST_F(LookupTest, NullArgumentsFindNothing) {
    create();
    EXPECT_EQ(rux_get_nframes(nullptr), 0u);
    EXPECT_EQ(rux_find_chunk(nullptr, 0, "a"), nullptr);
    EXPECT_EQ(rux_find_chunk(&handle_, 0, nullptr), nullptr);
    EXPECT_EQ(rux_find_matching_chunk_name(nullptr, "", nullptr), nullptr);
    EXPECT_EQ(rux_find_matching_chunk_name(&handle_, nullptr, nullptr), nullptr);
    rux_index_entry entry = {};
    uint8_t byte;
    EXPECT_EQ(rux_read_chunk(nullptr, &byte, &entry), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_read_chunk(&handle_, nullptr, &entry), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_read_chunk(&handle_, &byte, nullptr), RUX_ERROR_INVALID_ARGUMENT);
}

TEST_F(LookupTest, WritableHandleFindsCompletedFramesOnly) {
    create();
    ASSERT_EQ(rux_test::write_bytes(&handle_, "a", RUX_TYPE_UINT8, 3, 1, {1, 2, 3}), RUX_SUCCESS);
    EXPECT_EQ(rux_find_chunk(&handle_, 0, "a"), nullptr);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_test::write_bytes(&handle_, "a", RUX_TYPE_UINT8, 1, 1, {9}), RUX_SUCCESS);
    Bytes back;
    ASSERT_TRUE(rux_test::read_back(&handle_, 0, "a", &back));
    EXPECT_EQ(back, (Bytes{1, 2, 3}));
    EXPECT_EQ(rux_find_chunk(&handle_, 1, "a"), nullptr);
    EXPECT_EQ(rux_find_chunk(&handle_, 0, "never"), nullptr);
}

TEST_F(LookupTest, ReadOnlyLookupsNeverWrite) {
    FileImage image;
    image.set_names({"a"});
    add_text(image, 0, 0, "text");
    open_image(image);
    RecordingSys sys;
    EXPECT_EQ(read_text(0, "a"), "text");
    EXPECT_EQ(rux_test::matching_names(&handle_, ""), std::vector<std::string>{"a"});
    EXPECT_TRUE(sys.writes().empty());
}

TEST_F(LookupTest, FailedFlushFindsNothing) {
    create();
    ASSERT_EQ(rux_test::write_bytes(&handle_, "a", RUX_TYPE_UINT8, 1, 1, {1}), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    {
        // The name reaches the file; every write of the data fails.
        RecordingSys sys;
        sys.fail(Call::pwrite, 2, EIO, 0);
        EXPECT_EQ(rux_find_chunk(&handle_, 0, "a"), nullptr);
        EXPECT_EQ(rux_find_matching_chunk_name(&handle_, "", nullptr), nullptr);
    }
    EXPECT_EQ(read_text(0, "a"), "\x01");
}

class LookupLayouts : public LookupTest, public testing::WithParamInterface<uint32_t> {};

TEST_P(LookupLayouts, EmptyIndexFindsNothing) {
    FileImage image(GetParam());
    image.set_names({"a"});
    open_image(image);
    EXPECT_EQ(rux_get_nframes(&handle_), 0u);
    EXPECT_EQ(rux_find_chunk(&handle_, 0, "a"), nullptr);
}

// 100 frames of 10 chunks each, some frames without chunks; within a frame
// the version 1 layout keeps any order, so it is shuffled there.
TEST_P(LookupLayouts, FindsEveryChunkOfALargeIndex) {
    FileImage image(GetParam());
    image.header.index_location = image.bytes.size();
    image.header.index_entries = 1024;
    image.bytes.resize(image.bytes.size() + 1024 * 32, 0);
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) {
        names.push_back("name" + std::to_string(i));
    }
    image.set_names(names);
    std::mt19937 random(GetParam());
    std::set<std::pair<uint64_t, uint16_t>> present;
    for (uint64_t frame = 0; frame < 100; ++frame) {
        if (frame % 7 == 3) {
            continue;
        }
        std::vector<uint16_t> ids = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
        ids.erase(ids.begin() + static_cast<long>(frame % 3));
        ids.erase(ids.begin() + static_cast<long>(frame % 5 + 2));
        if (!rux_test::is_v2_layout(GetParam())) {
            std::shuffle(ids.begin(), ids.end(), random);
        }
        for (uint16_t id : ids) {
            add_text(image, frame, id, std::to_string(frame) + "/" + names[id]);
            present.insert({frame, id});
        }
    }
    open_image(image);
    EXPECT_EQ(rux_get_nframes(&handle_), 100u);
    for (uint64_t frame = 0; frame < 101; ++frame) {
        for (uint16_t id = 0; id < 12; ++id) {
            const std::string expected = std::to_string(frame) + "/" + names[id];
            ASSERT_EQ(read_text(frame, names[id]),
                      present.count({frame, id}) != 0 ? expected : "<none>")
                << "frame " << frame << " id " << id;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, LookupLayouts,
                         testing::Values(rux_test::kVersion10, rux_test::kVersion21),
                         [](const testing::TestParamInfo<uint32_t> &info) {
                             return rux_test::is_v2_layout(info.param) ? std::string("v2")
                                                                       : std::string("v1");
                         });

// Grown index blocks land at the end of the file, at any offset: entries of
// a block at an odd offset are found and read (the sanitizer build checks
// that nothing reads them through misaligned pointers).
TEST_F(LookupTest, IndexBlockAtAnOddOffset) {
    FileImage image;
    image.set_names({"a", "b"});
    image.bytes.resize(5377 + 128 * 32, 0);
    image.header.index_location = 5377;
    add_text(image, 0, 0, "odd");
    add_text(image, 0, 1, "offset");
    add_text(image, 3, 1, "later");
    open_image(image);
    EXPECT_EQ(rux_get_nframes(&handle_), 4u);
    const rux_index_entry *entry = rux_find_chunk(&handle_, 0, "b");
    ASSERT_NE(entry, nullptr);
    const rux_index_entry fields = rux_test::load_entry(entry);
    EXPECT_EQ(fields.M, 6u);
    EXPECT_EQ(fields.type, RUX_TYPE_CHARACTER);
    EXPECT_EQ(read_text(0, "a"), "odd");
    EXPECT_EQ(read_text(3, "b"), "later");
    EXPECT_EQ(read_text(3, "a"), "<none>");
}

TEST_F(LookupTest, Version1DuplicatesGiveTheLaterEntry) {
    FileImage image(rux_test::kVersion10);
    image.set_names({"a", "b", "c"});
    const uint64_t frames[] = {0, 0, 1, 2, 2, 3, 3, 3, 3, 3, 4};
    const uint16_t ids[] = {0, 1, 0, 2, 0, 1, 2, 0, 1, 0, 0};
    for (int i = 0; i < 11; ++i) {
        add_text(image, frames[i], ids[i], "entry" + std::to_string(i));
    }
    open_image(image);
    EXPECT_EQ(read_text(3, "a"), "entry9");
    EXPECT_EQ(read_text(3, "c"), "entry6");
    EXPECT_EQ(read_text(1, "b"), "<none>");
    EXPECT_EQ(read_text(2, "c"), "entry3");
    EXPECT_EQ(read_text(0, "a"), "entry0");
    EXPECT_EQ(read_text(4, "a"), "entry10");
    EXPECT_EQ(read_text(4, "b"), "<none>");
}

TEST_F(LookupTest, Version1FramesWithoutChunksFindNothing) {
    FileImage image(rux_test::kVersion03);
    image.set_names({"a"});
    add_text(image, 2, 0, "two");
    add_text(image, 5, 0, "five");
    open_image(image);
    EXPECT_EQ(read_text(0, "a"), "<none>");
    EXPECT_EQ(read_text(3, "a"), "<none>");
    EXPECT_EQ(read_text(5, "a"), "five");
}

TEST_F(LookupTest, Version2DuplicatesGiveOneOfThem) {
    FileImage image;
    image.set_names({"a", "b"});
    add_text(image, 0, 0, "x");
    add_text(image, 0, 1, "first");
    add_text(image, 0, 1, "other");
    add_text(image, 1, 0, "y");
    open_image(image);
    const std::string found = read_text(0, "b");
    EXPECT_TRUE(found == "first" || found == "other") << found;
}

// Reads of entries that the caller hands in: nothing is read unless the
// whole chunk lies inside the file.
class ReadChunkEntry : public LookupTest {
  protected:
    void SetUp() override {
        FileImage image;
        image.set_names({"a"});
        add_text(image, 0, 0, "abcdefgh");
        open_image(image);
    }
    int read(int64_t location, uint64_t N, uint32_t M, uint8_t type) {
        rux_index_entry entry = {};
        entry.location = location;
        entry.N = N;
        entry.M = M;
        entry.type = type;
        destination_.assign(64, 0);
        return rux_read_chunk(&handle_, destination_.data(), &entry);
    }
    Bytes destination_;
};

TEST_F(ReadChunkEntry, RefusesEntriesOutsideTheFile) {
    const int64_t size = handle_.file_size;
    RecordingSys sys;
    EXPECT_EQ(read(size - 8, 0, 1, RUX_TYPE_UINT8), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(read(size - 8, 1, 0, RUX_TYPE_UINT8), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(read(size - 8, 8, 1, 0), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(read(size - 8, 8, 1, 12), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(read(0, 8, 1, RUX_TYPE_UINT8), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(read(size - 8, 9, 1, RUX_TYPE_UINT8), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(read(-1, 1, 1, RUX_TYPE_UINT8), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(read(size - 8, uint64_t{1} << 61, 8, RUX_TYPE_UINT8), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(read(size - 8, (uint64_t{1} << 62) + 1, 4, RUX_TYPE_UINT16), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(read(INT64_MAX, (uint64_t{1} << 63) + 2, 1, RUX_TYPE_UINT8), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(sys.count(Call::pread), 0);
}

TEST_F(ReadChunkEntry, ReadsAChunkEndingAtTheEndOfTheFile) {
    EXPECT_EQ(read(handle_.file_size - 8, 2, 2, RUX_TYPE_UINT16), RUX_SUCCESS);
    EXPECT_EQ(std::string(destination_.begin(), destination_.begin() + 8), "abcdefgh");
    EXPECT_EQ(destination_[8], 0);
}

TEST_F(ReadChunkEntry, FailedOrShortReadsAreIoErrors) {
    {
        RecordingSys sys;
        sys.fail(Call::pread, 1, EIO);
        EXPECT_EQ(read(handle_.file_size - 8, 8, 1, RUX_TYPE_UINT8), RUX_ERROR_IO);
        EXPECT_EQ(errno, EIO);
    }
    RecordingSys sys;
    sys.shorten(Call::pread, 1, 3);
    sys.stall(Call::pread, 2, 0);
    EXPECT_EQ(read(handle_.file_size - 8, 8, 1, RUX_TYPE_UINT8), RUX_ERROR_IO);
}

TEST_F(LookupTest, MatchingNamesByPrefix) {
    FileImage image;
    image.set_names({"log/a", "pos", "log/b", "lo"});
    open_image(image);
    EXPECT_EQ(rux_test::matching_names(&handle_, "log/"),
              (std::vector<std::string>{"log/a", "log/b"}));
    EXPECT_EQ(rux_test::matching_names(&handle_, ""),
              (std::vector<std::string>{"log/a", "pos", "log/b", "lo"}));
    EXPECT_EQ(rux_test::matching_names(&handle_, "pos/"), std::vector<std::string>{});
    EXPECT_EQ(rux_test::matching_names(&handle_, "log/a/deeper"), std::vector<std::string>{});
    const char *outside = "log/a";
    EXPECT_EQ(rux_find_matching_chunk_name(&handle_, "", outside), nullptr);
    const char *first = rux_find_matching_chunk_name(&handle_, "", nullptr);
    ASSERT_NE(first, nullptr);
    const char *end = first + handle_.file_names.bytes.reserved;
    EXPECT_EQ(rux_find_matching_chunk_name(&handle_, "", end), nullptr);
    EXPECT_EQ(rux_find_matching_chunk_name(&handle_, "", first - 1), nullptr);
}

TEST_F(LookupTest, Version1HoleListsLaterSlotsToo) {
    FileImage image(rux_test::kVersion10);
    image.set_names({"x", "", "y"});
    open_image(image);
    EXPECT_EQ(handle_.file_names.count, 1u);
    EXPECT_EQ(rux_test::matching_names(&handle_, ""), (std::vector<std::string>{"x", "y"}));
}

// A writable handle flushes before it tests for names, so names of frames
// completed without an explicit flush are listed.
TEST_F(LookupTest, WritableHandleListsNamesWithoutExplicitFlush) {
    create();
    ASSERT_EQ(rux_test::write_bytes(&handle_, "log/a", RUX_TYPE_UINT8, 1, 1, {1}), RUX_SUCCESS);
    ASSERT_EQ(rux_test::write_bytes(&handle_, "pos", RUX_TYPE_UINT8, 1, 1, {2}), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    EXPECT_EQ(rux_test::matching_names(&handle_, ""), (std::vector<std::string>{"log/a", "pos"}));
    EXPECT_EQ(rux_test::matching_names(&handle_, "log/"), std::vector<std::string>{"log/a"});
}

// A listed name points into the namelist memory; a flush that adds names in
// place (the block does not grow) must leave it valid, so that an iteration
// can go on after writing a chunk with a new name.
TEST(NameListing, ListedNameSurvivesAFlushThatAddsNamesInPlace) {
    rux_test::TempDir dir;
    rux_handle handle;
    ASSERT_EQ(rux_test::create_open(&handle, dir.path("f.rux")), RUX_SUCCESS);
    const Bytes one = rux_test::pattern(4, 1);
    for (const char *name : {"log/a", "pos", "log/b"}) {
        ASSERT_EQ(rux_test::write_bytes(&handle, name, RUX_TYPE_INT32, 1, 1, one), RUX_SUCCESS);
    }
    ASSERT_EQ(rux_end_frame(&handle), RUX_SUCCESS);
    const char *first = rux_find_matching_chunk_name(&handle, "log/", nullptr);
    ASSERT_STREQ(first, "log/a");
    ASSERT_EQ(rux_test::write_bytes(&handle, "log/c", RUX_TYPE_INT32, 1, 1, one), RUX_SUCCESS);
    ASSERT_EQ(rux_flush(&handle), RUX_SUCCESS);
    const char *second = rux_find_matching_chunk_name(&handle, "log/", first);
    EXPECT_STREQ(first, "log/a");
    EXPECT_STREQ(second, "log/b");
    EXPECT_STREQ(rux_find_matching_chunk_name(&handle, "log/", second), "log/c");
    EXPECT_EQ(rux_close(&handle), RUX_SUCCESS);
}

}  // namespace
