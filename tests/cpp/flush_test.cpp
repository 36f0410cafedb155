// Flushing: what reaches the file, in which order, and how blocks grow.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "containers.h"
#include "file_crafter.h"
#include "handle_helpers.h"
#include "handle_ops.h"
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

// A grown index block starts at the end of the file rounded up to a whole
// entry, so that the entries of the mapping are aligned.
uint64_t entry_aligned(uint64_t end) {
    return (end + 31) / 32 * 32;
}

class FlushTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS); }
    void TearDown() override { close_for_good(); }
    // A handle whose flush keeps failing stays open; release it by hand.
    void close_for_good() {
        if (rux_close(&handle_) != RUX_SUCCESS) {
            rux_release_containers(&handle_);
            ::close(handle_.fd);
        }
    }
    std::string path() const { return dir_.path("f.rux"); }
    Bytes file() const { return rux_test::read_file(path()); }
    int write(const std::string &name, uint64_t bytes, uint64_t seed = 0) {
        return rux_test::write_bytes(&handle_, name, RUX_TYPE_UINT8, bytes, 1,
                                     rux_test::pattern(bytes, seed));
    }
    void use_image(const FileImage &image) {
        ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
        image.save(path());
        ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READWRITE), RUX_SUCCESS);
    }
    // The file calls of a flush: writes, fsyncs and the reads of a block copy.
    static std::vector<CallRecord> file_calls(const RecordingSys &sys) {
        return sys.records_of({Call::pwrite, Call::fsync, Call::pread, Call::ftruncate});
    }

    TempDir dir_;
    rux_handle handle_ = {};
};

TEST_F(FlushTest, NothingStagedIsOneFsync) {
    const Bytes before = file();
    RecordingSys sys;
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    EXPECT_EQ(file_calls(sys), (std::vector<CallRecord>{{Call::fsync, handle_.fd, 0, 0}}));
    EXPECT_EQ(file(), before);
}

TEST_F(FlushTest, RefusesNullAndReadOnlyHandles) {
    EXPECT_EQ(rux_flush(nullptr), RUX_ERROR_INVALID_ARGUMENT);
    rux_handle reader = {};
    ASSERT_EQ(rux_open(&reader, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    RecordingSys sys;
    EXPECT_EQ(rux_flush(&reader), RUX_ERROR_FILE_MUST_BE_WRITABLE);
    EXPECT_TRUE(sys.records().empty());
    EXPECT_EQ(rux_close(&reader), RUX_SUCCESS);
}

// Names, then data, then the grown index block, then the entries; every
// block complete and synced before the header points at it, and the entries
// synced last so that what a flush recorded survives a power cut.
TEST_F(FlushTest, OrderOfWritesWhenEverythingGrows) {
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i) {
        names.push_back(std::string(58, 'n') + (i < 10 ? "0" : "") + std::to_string(i));
    }
    for (int i = 0; i < 130; ++i) {
        ASSERT_EQ(write(names[i % 20], 8, i), RUX_SUCCESS);
    }
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    const int fd = handle_.fd;
    RecordingSys sys;
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    const uint64_t namelist = 5376, data = namelist + 2048, index = entry_aligned(data + 130 * 8);
    const std::vector<CallRecord> expected = {{Call::pwrite, fd, namelist, 2048},
                                              {Call::fsync, fd, 0, 0},
                                              {Call::pwrite, fd, 0, 256},
                                              {Call::fsync, fd, 0, 0},
                                              {Call::pwrite, fd, data, 130 * 8},
                                              {Call::fsync, fd, 0, 0},
                                              {Call::pread, fd, 256, 4096},
                                              {Call::pwrite, fd, index, 4096},
                                              {Call::pwrite, fd, index + 4096, 4096},
                                              {Call::fsync, fd, 0, 0},
                                              {Call::pwrite, fd, 0, 256},
                                              {Call::fsync, fd, 0, 0},
                                              {Call::pwrite, fd, index, 130 * 32},
                                              {Call::fsync, fd, 0, 0},
                                              {Call::pwrite, fd, 0, 256},
                                              {Call::fsync, fd, 0, 0}};
    EXPECT_EQ(file_calls(sys), expected);
    const Bytes bytes = file();
    const rux_test::ParsedFile parsed = rux_test::parse_file(bytes);
    EXPECT_EQ(parsed.header.namelist_location, namelist);
    EXPECT_EQ(parsed.header.namelist_units, 32u);
    EXPECT_EQ(parsed.header.index_location, index);
    EXPECT_EQ(parsed.header.index_entries, 256u);
    EXPECT_EQ(bytes.size(), index + 256 * 32);
    EXPECT_EQ(handle_.file_size, static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(parsed.names, names);
    EXPECT_EQ(parsed.entries.size(), 130u);
    EXPECT_EQ(rux_test::check_well_formed(bytes), "");
}

// A crash after any single write of these flushes leaves a file that keeps
// every rule: no entry before the names and data it refers to, entries only
// in the zero part of the index block, and a header that names complete
// blocks only. Each state is checked as the write lands.
TEST_F(FlushTest, EveryStateBetweenWritesIsWellFormed) {
    int states = 0;
    RecordingSys sys;
    sys.after_each_write([&] {
        ++states;
        const std::string fault = rux_test::check_well_formed(file());
        EXPECT_EQ(fault, "") << "after write " << states;
    });
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 90; ++i) {
            const std::string name =
                "r" + std::to_string(round) + "/" + std::string(40, 'w') + std::to_string(i % 15);
            ASSERT_EQ(write(name, static_cast<uint64_t>(i % 7), round * 100 + i), RUX_SUCCESS);
            if (i % 30 == 29) {
                ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
            }
        }
        ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    }
    EXPECT_GT(states, 20);
    EXPECT_GT(handle_.header.index_allocated_entries, 256u);
    EXPECT_GT(handle_.header.namelist_allocated_entries, 32u);
}

TEST_F(FlushTest, OrderOfWritesWhenNothingGrows) {
    FileImage image;
    image.set_names({"a"});
    use_image(image);
    ASSERT_EQ(write("b", 8), RUX_SUCCESS);
    ASSERT_EQ(write("a", 4), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    const int fd = handle_.fd;
    RecordingSys sys;
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    // The new names and the zero tail behind the old end of the list ("a\0").
    const std::vector<CallRecord> expected = {
        {Call::pwrite, fd, 4352 + 2, 1022}, {Call::fsync, fd, 0, 0},
        {Call::pwrite, fd, 5376, 12},       {Call::fsync, fd, 0, 0},
        {Call::pwrite, fd, 256, 64},        {Call::fsync, fd, 0, 0},
        {Call::pwrite, fd, 0, 256},         {Call::fsync, fd, 0, 0}};
    EXPECT_EQ(file_calls(sys), expected);
    EXPECT_EQ(rux_test::parse_file(file()).names, (std::vector<std::string>{"a", "b"}));
}

TEST_F(FlushTest, MidFrameFlushKeepsTheOpenFramesEntries) {
    ASSERT_EQ(write("a", 5, 1), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(write("b", 7, 2), RUX_SUCCESS);
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    EXPECT_EQ(handle_.file_index.size, 1u);
    ASSERT_EQ(handle_.frame_index.size, 1u);
    EXPECT_EQ(handle_.frame_index.data[0].location, 5376 + 5);
    EXPECT_EQ(handle_.frame_index.data[0].frame, 1u);
    EXPECT_EQ(handle_.write_buffer.size, 0u);
    EXPECT_EQ(rux_test::file_length(path()), 5376u + 12);
    EXPECT_EQ(rux_find_chunk(&handle_, 1, "b"), nullptr);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    EXPECT_EQ(handle_.file_index.size, 2u);
    Bytes back;
    ASSERT_TRUE(rux_test::read_back(&handle_, 1, "b", &back));
    EXPECT_EQ(back, rux_test::pattern(7, 2));
}

TEST_F(FlushTest, IndexBlockMovesWhenTheEntry129Arrives) {
    for (int i = 0; i < 128; ++i) {
        ASSERT_EQ(write("c" + std::to_string(i % 3), 1, i), RUX_SUCCESS);
        if (i % 3 == 2) {
            ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
        }
    }
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    ASSERT_EQ(handle_.header.index_location, 256u);
    const Bytes before = file();
    const Bytes old_block(before.begin() + 256, before.begin() + 256 + 4096);
    ASSERT_EQ(write("c0", 1), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    const Bytes bytes = file();
    const auto header = rux_test::decode_header(bytes);
    EXPECT_EQ(header.index_entries, 256u);
    EXPECT_GT(header.index_location, 4352u);
    EXPECT_EQ(handle_.file_index.size, 129u);
    EXPECT_EQ(Bytes(bytes.begin() + 256, bytes.begin() + 256 + 4096), old_block);
    EXPECT_EQ(
        Bytes(bytes.begin() + header.index_location, bytes.begin() + header.index_location + 4096),
        old_block);
    EXPECT_EQ(rux_test::check_well_formed(bytes), "");
}

struct ExpandCase {
    uint64_t required;
    uint64_t capacity;
};

void PrintTo(const ExpandCase &c, std::ostream *out) {
    *out << "hold " << c.required;
}

class FlushExpand : public FlushTest, public testing::WithParamInterface<ExpandCase> {};

TEST_P(FlushExpand, CapacityDoublesPastTheRequirement) {
    FileImage image;
    image.set_names({"a"});
    for (int i = 0; i < 100; ++i) {
        const uint8_t byte = static_cast<uint8_t>(i);
        image.add_chunk(static_cast<uint64_t>(i), 0, RUX_TYPE_UINT8, 1, 1, &byte);
    }
    use_image(image);
    const int64_t end = handle_.file_size;
    ASSERT_EQ(rux_expand_file_index(&handle_, GetParam().required), RUX_SUCCESS);
    EXPECT_EQ(handle_.header.index_allocated_entries, GetParam().capacity);
    EXPECT_EQ(handle_.header.index_location, entry_aligned(static_cast<uint64_t>(end)));
    EXPECT_EQ(handle_.file_index.reserved, GetParam().capacity);
    EXPECT_EQ(handle_.file_index.size, 100u);
    EXPECT_EQ(handle_.file_size,
              static_cast<int64_t>(handle_.header.index_location + 32 * GetParam().capacity));
    EXPECT_EQ(rux_test::file_length(path()), static_cast<uint64_t>(handle_.file_size));
    Bytes back;
    ASSERT_TRUE(rux_test::read_back(&handle_, 99, "a", &back));
    EXPECT_EQ(back, Bytes{99});
}

INSTANTIATE_TEST_SUITE_P(Cases, FlushExpand,
                         testing::Values(ExpandCase{200, 256}, ExpandCase{256, 512},
                                         ExpandCase{129, 256}, ExpandCase{1000, 1024}),
                         [](const testing::TestParamInfo<ExpandCase> &info) {
                             return "hold" + std::to_string(info.param.required);
                         });

// A capacity of 0 cannot double into more room; growth fails instead of
// looping, before the block is touched.
TEST_F(FlushTest, GrowthFromCapacityZeroFailsAsCorrupt) {
    const rux_index_buffer mapped = handle_.file_index;
    handle_.header.index_allocated_entries = 0;
    RecordingSys sys;
    EXPECT_EQ(rux_expand_file_index(&handle_, 1), RUX_ERROR_FILE_CORRUPT);
    EXPECT_TRUE(sys.writes().empty());
    EXPECT_EQ(handle_.file_index.data, mapped.data);
    handle_.header.index_allocated_entries = 128;
}

TEST_F(FlushTest, FileWithIndexCapacityZeroNeverLoops) {
    FileImage image;
    image.header.index_entries = 0;
    image.save(dir_.path("zero.rux"));
    rux_handle zero = {};
    const int opened = rux_open(&zero, dir_.path("zero.rux").c_str(), RUX_OPEN_READWRITE);
    if (opened != RUX_SUCCESS) {
        EXPECT_EQ(opened, RUX_ERROR_FILE_CORRUPT);
        return;
    }
    EXPECT_EQ(rux_get_nframes(&zero), 0u);
    ASSERT_EQ(rux_write_chunk(&zero, "a", RUX_TYPE_UINT8, 0, 1, 0, nullptr), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&zero), RUX_SUCCESS);
    EXPECT_EQ(rux_flush(&zero), RUX_ERROR_FILE_CORRUPT);
    if (rux_close(&zero) != RUX_SUCCESS) {
        rux_release_containers(&zero);
        ::close(zero.fd);
    }
}

struct NamelistGrowthCase {
    uint32_t version;
    std::vector<std::string> existing;
    std::string added;
    bool grows;
};

void PrintTo(const NamelistGrowthCase &c, std::ostream *out) {
    *out << (rux_test::is_v2_layout(c.version) ? "v2 " : "v1 ") << c.existing.size() << " names + "
         << c.added.size() << " bytes";
}

class FlushNamelistGrowth : public FlushTest,
                            public testing::WithParamInterface<NamelistGrowthCase> {};

TEST_P(FlushNamelistGrowth, InPlaceUpToTheBlocksEnd) {
    const NamelistGrowthCase &c = GetParam();
    FileImage image(c.version);
    image.set_names(c.existing);
    use_image(image);
    const int64_t end = handle_.file_size;
    ASSERT_EQ(write(c.added, 1), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    const Bytes bytes = file();
    const auto parsed = rux_test::parse_file(bytes);
    std::vector<std::string> expected = c.existing;
    expected.push_back(c.added);
    EXPECT_EQ(parsed.names, expected);
    EXPECT_EQ(parsed.header.namelist_location, c.grows ? static_cast<uint64_t>(end) : 4352u);
    EXPECT_EQ(parsed.header.namelist_units, c.grows ? 32u : 16u);
    EXPECT_EQ(handle_.file_names.bytes.reserved, c.grows ? 2048u : 1024u);
    if (!c.grows) {
        EXPECT_EQ(bytes[4352 + 1023], 0);
    }
    EXPECT_EQ(rux_test::check_well_formed(bytes), "");
}

std::vector<std::string> v2_names_of_1000_bytes() {
    std::vector<std::string> names;
    for (int i = 0; i < 10; ++i) {
        names.push_back(std::to_string(i) + std::string(98, 'v'));
    }
    return names;
}

std::vector<std::string> v1_slots(int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        names.push_back("slot" + std::to_string(i));
    }
    return names;
}

INSTANTIATE_TEST_SUITE_P(Cases, FlushNamelistGrowth,
                         testing::Values(NamelistGrowthCase{0x20001, v2_names_of_1000_bytes(),
                                                            std::string(23, 'x'), false},
                                         NamelistGrowthCase{0x20001, v2_names_of_1000_bytes(),
                                                            std::string(24, 'x'), true},
                                         NamelistGrowthCase{0x10000, v1_slots(15), "last", false},
                                         NamelistGrowthCase{0x10000, v1_slots(16), "seventeenth",
                                                            true}));

TEST_F(FlushTest, EntriesAreSortedByFrameThenId) {
    FileImage image;
    image.set_names({"a", "b"});
    use_image(image);
    for (int frame = 0; frame < 3; ++frame) {
        ASSERT_EQ(write("b", 1), RUX_SUCCESS);
        ASSERT_EQ(write("a", 1), RUX_SUCCESS);
        ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    }
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    const auto parsed = rux_test::parse_file(file());
    ASSERT_EQ(parsed.entries.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(parsed.entries[i].frame, i / 2) << i;
        EXPECT_EQ(parsed.entries[i].id, i % 2) << i;
    }
}

// The flush grows the index block so that its capacity exceeds every frame
// written, even frames without chunks.
TEST_F(FlushTest, FramesBeyondTheIndexCapacityReopen) {
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    }
    ASSERT_EQ(write("late", 3, 9), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
    EXPECT_EQ(rux_test::check_well_formed(file()), "");
    ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READWRITE), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&handle_), 201u);
    Bytes back;
    ASSERT_TRUE(rux_test::read_back(&handle_, 200, "late", &back));
    EXPECT_EQ(back, rux_test::pattern(3, 9));
}

struct NamesFailureCase {
    const char *what;
    bool grows;
    Call kind;
    int nth;
};
void PrintTo(const NamesFailureCase &c, std::ostream *out) {
    *out << c.what;
}

class FlushNamesFailure : public FlushTest, public testing::WithParamInterface<NamesFailureCase> {};

// Whatever call of the names step fails, no index entry reaches the file
// before the names that it uses, then or at any later flush. The handle may
// go on writing, or refuse to (write_error); either way the file stays whole.
TEST_P(FlushNamesFailure, EntriesNeverPrecedeTheirNames) {
    const NamesFailureCase &c = GetParam();
    const std::string stem = c.grows ? std::string(200, 'g') : "n";
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(write(stem + std::to_string(i), 2, i), RUX_SUCCESS);
    }
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    {
        RecordingSys sys;
        sys.fail(c.kind, c.nth, EIO);
        EXPECT_EQ(rux_flush(&handle_), RUX_ERROR_IO);
        EXPECT_EQ(rux_test::check_well_formed(file()), "");
        EXPECT_EQ(rux_test::parse_file(file()).entries.size(), 0u);
    }
    const bool goes_on = write(stem + "0", 2, 50) == RUX_SUCCESS;
    EXPECT_EQ(goes_on, handle_.write_error == 0);
    if (goes_on) {
        EXPECT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
        EXPECT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    } else {
        EXPECT_NE(rux_flush(&handle_), RUX_SUCCESS);
    }
    EXPECT_EQ(rux_test::check_well_formed(file()), "");
    close_for_good();
    const Bytes bytes = file();
    EXPECT_EQ(rux_test::check_well_formed(bytes), "");
    ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READWRITE), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&handle_), goes_on ? 2u : 0u);
    for (int i = 0; goes_on && i < 8; ++i) {
        Bytes back;
        ASSERT_TRUE(rux_test::read_back(&handle_, 0, stem + std::to_string(i), &back));
        EXPECT_EQ(back, rux_test::pattern(2, i));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlushNamesFailure,
    testing::Values(NamesFailureCase{"in-place write", false, Call::pwrite, 1},
                    NamesFailureCase{"in-place fsync", false, Call::fsync, 1},
                    NamesFailureCase{"grown block write", true, Call::pwrite, 1},
                    NamesFailureCase{"grown block fsync", true, Call::fsync, 1},
                    NamesFailureCase{"header write", true, Call::pwrite, 2},
                    NamesFailureCase{"header fsync", true, Call::fsync, 2}));

struct LaterFailureCase {
    const char *what;
    Call kind;
    int nth;
    bool retryable;
};
void PrintTo(const LaterFailureCase &c, std::ostream *out) {
    *out << c.what;
}

class FlushLaterFailure : public FlushTest, public testing::WithParamInterface<LaterFailureCase> {};

// A failed write of data or entries leaves everything staged, and the next
// flush writes it all where it belongs. A failed fsync may have dropped what
// it covered, so the handle stops writing instead. No entry reaches the file
// in either case.
TEST_P(FlushLaterFailure, RetryOrStopButNeverAnEntryWithoutItsData) {
    FileImage image;
    image.set_names({"a"});
    use_image(image);
    ASSERT_EQ(write("a", 10, 1), RUX_SUCCESS);
    ASSERT_EQ(write("a", 20, 2), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    const int64_t size = handle_.file_size;
    {
        RecordingSys sys;
        sys.fail(GetParam().kind, GetParam().nth, EIO);
        EXPECT_EQ(rux_flush(&handle_), RUX_ERROR_IO);
        EXPECT_EQ(handle_.file_index.size, 0u);
    }
    EXPECT_EQ(rux_test::parse_file(file()).entries.size(), 0u);
    if (GetParam().kind == Call::pwrite && GetParam().nth == 1) {
        EXPECT_EQ(handle_.write_buffer.size, 30u);
        EXPECT_EQ(handle_.buffer_index.size, 2u);
        EXPECT_EQ(handle_.file_size, size);
    }
    if (!GetParam().retryable) {
        EXPECT_NE(handle_.write_error, 0);
        EXPECT_EQ(rux_flush(&handle_), RUX_ERROR_IO);
        EXPECT_EQ(rux_close(&handle_), RUX_ERROR_IO);
        EXPECT_EQ(rux_test::check_well_formed(file()), "");
        EXPECT_EQ(rux_test::parse_file(file()).entries.size(), 0u);
        ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READWRITE), RUX_SUCCESS);
        return;
    }
    RecordingSys sys;
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    const auto pwrites = sys.records_of({Call::pwrite});
    ASSERT_GE(pwrites.size(), 2u);
    EXPECT_EQ(pwrites[pwrites.size() - 2], (CallRecord{Call::pwrite, handle_.fd, 256, 64}));
    EXPECT_EQ(pwrites.back(), (CallRecord{Call::pwrite, handle_.fd, 0, 256}));  // the commit
    const Bytes bytes = file();
    EXPECT_EQ(rux_test::check_well_formed(bytes), "");
    EXPECT_EQ(bytes.size(), static_cast<uint64_t>(handle_.file_size));
    const auto parsed = rux_test::parse_file(bytes);
    ASSERT_EQ(parsed.entries.size(), 2u);
    for (const RawEntry &e : parsed.entries) {
        const Bytes expected = rux_test::pattern(e.N, e.N / 10);
        EXPECT_EQ(Bytes(bytes.begin() + e.location, bytes.begin() + e.location + e.N), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FlushLaterFailure,
                         testing::Values(LaterFailureCase{"data write", Call::pwrite, 1, true},
                                         LaterFailureCase{"index write", Call::pwrite, 2, true},
                                         LaterFailureCase{"data fsync", Call::fsync, 1, false}));

TEST_F(FlushTest, FailedIndexCopyLeavesTheFileReadable) {
    for (int i = 0; i < 129; ++i) {
        ASSERT_EQ(write("c", 1, i), RUX_SUCCESS);
        ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    }
    {
        RecordingSys sys;
        sys.fail(Call::pread, 1, EIO);
        EXPECT_EQ(rux_flush(&handle_), RUX_ERROR_IO);
    }
    const Bytes bytes = file();
    EXPECT_EQ(rux_test::check_well_formed(bytes), "");
    EXPECT_EQ(rux_test::decode_header(bytes).index_location, 256u);
    rux_handle reader = {};
    ASSERT_EQ(rux_open(&reader, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&reader), 0u);
    EXPECT_EQ(rux_close(&reader), RUX_SUCCESS);
}

}  // namespace
