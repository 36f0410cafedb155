#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <vector>

#include "containers.h"
#include "file_crafter.h"
#include "recording_sys.h"
#include "temp_dir.h"

// Global, so that the comparison of std::vectors of entries finds it.
static bool operator==(const rux_index_entry &a, const rux_index_entry &b) {
    return a.frame == b.frame && a.N == b.N && a.location == b.location && a.M == b.M &&
           a.id == b.id && a.type == b.type && a.flags == b.flags;
}

namespace {

using rux_test::Call;
using rux_test::FileImage;
using rux_test::RawEntry;
using rux_test::RecordingSys;
using rux_test::TempDir;

rux_index_entry make_entry(uint64_t frame, uint16_t id, int64_t location = 1) {
    rux_index_entry entry = {};
    entry.frame = frame;
    entry.id = id;
    entry.location = location;
    entry.N = 1;
    entry.M = 1;
    entry.type = RUX_TYPE_UINT8;
    return entry;
}

bool entries_less(const rux_index_entry &a, const rux_index_entry &b) {
    if (a.frame != b.frame) {
        return a.frame < b.frame;
    }
    if (a.id != b.id) {
        return a.id < b.id;
    }
    return a.location < b.location;  // only to compare multisets
}

// A handle with just what mapping the index needs: descriptor, header, file
// size and the number of known names.
class RawHandle {
  public:
    RawHandle(const std::string &path, uint64_t names) {
        handle.fd = ::open(path.c_str(), O_RDONLY);
        EXPECT_GE(handle.fd, 0);
        EXPECT_EQ(::pread(handle.fd, &handle.header, sizeof handle.header, 0), 256);
        handle.file_size = ::lseek(handle.fd, 0, SEEK_END);
        handle.file_names.count = names;
        handle.open_flags = RUX_OPEN_READONLY;
    }
    ~RawHandle() {
        if (handle.file_index.data != nullptr) {
            EXPECT_EQ(rux_index_buffer_release(&handle.file_index), RUX_SUCCESS);
        }
        ::close(handle.fd);
    }
    int map() { return rux_index_buffer_map_file(&handle.file_index, &handle); }

    rux_handle handle = {};
};

TEST(IndexBufferInit, RefusesBadArguments) {
    EXPECT_EQ(rux_index_buffer_init(nullptr, 16), RUX_ERROR_INVALID_ARGUMENT);
    rux_index_buffer buffer = {};
    EXPECT_EQ(rux_index_buffer_init(&buffer, 0), RUX_ERROR_INVALID_ARGUMENT);
    rux_index_entry entry = {};
    int mapping = 0;
    rux_index_buffer used[] = {{&entry, 0, 0, nullptr, 0},
                               {nullptr, 1, 0, nullptr, 0},
                               {nullptr, 0, 1, nullptr, 0},
                               {nullptr, 0, 0, &mapping, 0}};
    for (rux_index_buffer &b : used) {
        EXPECT_EQ(rux_index_buffer_init(&b, 16), RUX_ERROR_INVALID_ARGUMENT);
    }
}

TEST(IndexBufferInit, ReportsAllocationFailure) {
    RecordingSys sys;
    sys.fail(Call::alloc, 1, ENOMEM);
    rux_index_buffer buffer = {};
    EXPECT_EQ(rux_index_buffer_init(&buffer, 16), RUX_ERROR_MEMORY_ALLOCATION_FAILED);
}

TEST(IndexBufferPush, GrowsByDoublingWithZeroedSlots) {
    rux_index_buffer buffer = {};
    ASSERT_EQ(rux_index_buffer_init(&buffer, 16), RUX_SUCCESS);
    EXPECT_EQ(buffer.map_base, nullptr);
    for (uint16_t i = 0; i < 17; ++i) {
        rux_index_entry *slot = nullptr;
        ASSERT_EQ(rux_index_buffer_push(&buffer, &slot), RUX_SUCCESS);
        ASSERT_EQ(slot, buffer.data + i);
        *slot = make_entry(i, i, i + 1);
    }
    EXPECT_EQ(buffer.size, 17u);
    EXPECT_EQ(buffer.reserved, 32u);
    for (uint16_t i = 0; i < 17; ++i) {
        EXPECT_EQ(buffer.data[i].id, i);
    }
    const rux_index_entry zero = {};
    for (uint64_t i = 17; i < 32; ++i) {
        EXPECT_TRUE(buffer.data[i] == zero) << "slot " << i;
    }
    EXPECT_EQ(rux_index_buffer_release(&buffer), RUX_SUCCESS);
}

TEST(IndexBufferPush, RefusesMappedAndEmptyBuffers) {
    rux_index_entry entry = {};
    rux_index_entry *slot = nullptr;
    int mapping = 0;
    rux_index_buffer mapped = {&entry, 0, 1, &mapping, 32};
    EXPECT_EQ(rux_index_buffer_push(&mapped, &slot), RUX_ERROR_INVALID_ARGUMENT);
    rux_index_buffer no_room = {&entry, 0, 0, nullptr, 0};
    EXPECT_EQ(rux_index_buffer_push(&no_room, &slot), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(mapped.size, 0u);
}

TEST(IndexBufferPush, FailedGrowthGivesUpTheMemory) {
    rux_index_buffer buffer = {};
    ASSERT_EQ(rux_index_buffer_init(&buffer, 1), RUX_SUCCESS);
    rux_index_entry *slot = nullptr;
    ASSERT_EQ(rux_index_buffer_push(&buffer, &slot), RUX_SUCCESS);
    RecordingSys sys;
    sys.fail(Call::alloc, 1, ENOMEM);
    EXPECT_EQ(rux_index_buffer_push(&buffer, &slot), RUX_ERROR_MEMORY_ALLOCATION_FAILED);
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(rux_index_buffer_release(&buffer), RUX_ERROR_INVALID_ARGUMENT);
}

TEST(IndexEntryCompare, OrdersByFrameThenIdOnly) {
    rux_index_entry a = make_entry(0, 9, 100), b = make_entry(1, 0, 5);
    EXPECT_LT(rux_index_entry_compare(&a, &b), 0);
    EXPECT_GT(rux_index_entry_compare(&b, &a), 0);
    rux_index_entry c = make_entry(0, 3), d = make_entry(0, 4);
    EXPECT_LT(rux_index_entry_compare(&c, &d), 0);
    rux_index_entry e = make_entry(7, 2, 10), f = make_entry(7, 2, 99);
    f.N = 1000;
    f.type = RUX_TYPE_DOUBLE;
    EXPECT_EQ(rux_index_entry_compare(&e, &f), 0);
    rux_index_entry big = make_entry(UINT64_MAX, 0), small = make_entry(UINT64_MAX - 1, 0xFFFF);
    EXPECT_GT(rux_index_entry_compare(&big, &small), 0);
}

TEST(IndexBufferSort, OrdersAnExample) {
    rux_index_buffer buffer = {};
    ASSERT_EQ(rux_index_buffer_init(&buffer, 8), RUX_SUCCESS);
    const rux_index_entry input[] = {make_entry(1, 0), make_entry(0, 3), make_entry(1, 1),
                                     make_entry(0, 1), make_entry(0, 2)};
    for (const rux_index_entry &entry : input) {
        rux_index_entry *slot = nullptr;
        ASSERT_EQ(rux_index_buffer_push(&buffer, &slot), RUX_SUCCESS);
        *slot = entry;
    }
    ASSERT_EQ(rux_index_buffer_sort(&buffer), RUX_SUCCESS);
    const uint64_t frames[] = {0, 0, 0, 1, 1};
    const uint16_t ids[] = {1, 2, 3, 0, 1};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(buffer.data[i].frame, frames[i]) << i;
        EXPECT_EQ(buffer.data[i].id, ids[i]) << i;
    }
    EXPECT_EQ(rux_index_buffer_release(&buffer), RUX_SUCCESS);
}

TEST(IndexBufferSort, LeavesShortBuffersAlone) {
    rux_index_buffer buffer = {};
    ASSERT_EQ(rux_index_buffer_init(&buffer, 4), RUX_SUCCESS);
    EXPECT_EQ(rux_index_buffer_sort(&buffer), RUX_SUCCESS);
    rux_index_entry *slot = nullptr;
    ASSERT_EQ(rux_index_buffer_push(&buffer, &slot), RUX_SUCCESS);
    *slot = make_entry(5, 5, 42);
    // A second, unused slot with a smaller key must not be pulled in.
    buffer.data[1] = make_entry(0, 0, 7);
    EXPECT_EQ(rux_index_buffer_sort(&buffer), RUX_SUCCESS);
    EXPECT_TRUE(buffer.data[0] == make_entry(5, 5, 42));
    EXPECT_TRUE(buffer.data[1] == make_entry(0, 0, 7));
    EXPECT_EQ(rux_index_buffer_release(&buffer), RUX_SUCCESS);
}

TEST(IndexBufferSort, RefusesNullMappedAndEmptyBuffers) {
    EXPECT_EQ(rux_index_buffer_sort(nullptr), RUX_ERROR_INVALID_ARGUMENT);
    rux_index_entry entries[2] = {make_entry(1, 0), make_entry(0, 0)};
    int mapping = 0;
    rux_index_buffer mapped = {entries, 2, 2, &mapping, 64};
    EXPECT_EQ(rux_index_buffer_sort(&mapped), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(entries[0].frame, 1u);
    rux_index_buffer no_room = {entries, 0, 0, nullptr, 0};
    EXPECT_EQ(rux_index_buffer_sort(&no_room), RUX_ERROR_INVALID_ARGUMENT);
}

class IndexBufferSortRandom : public testing::TestWithParam<int> {};

// Random keys with many duplicates: the result is ordered and holds the same
// entries (location tells them apart).
TEST_P(IndexBufferSortRandom, SortsAndKeepsEveryEntry) {
    const int count = GetParam();
    std::mt19937_64 random(static_cast<uint64_t>(count));
    rux_index_buffer buffer = {};
    ASSERT_EQ(rux_index_buffer_init(&buffer, 1), RUX_SUCCESS);
    std::vector<rux_index_entry> expected;
    for (int i = 0; i < count; ++i) {
        rux_index_entry *slot = nullptr;
        ASSERT_EQ(rux_index_buffer_push(&buffer, &slot), RUX_SUCCESS);
        *slot = make_entry(random() % 5, static_cast<uint16_t>(random() % 4), i + 1);
        expected.push_back(*slot);
    }
    ASSERT_EQ(rux_index_buffer_sort(&buffer), RUX_SUCCESS);
    std::vector<rux_index_entry> sorted(buffer.data, buffer.data + buffer.size);
    for (size_t i = 1; i < sorted.size(); ++i) {
        ASSERT_LE(rux_index_entry_compare(&sorted[i - 1], &sorted[i]), 0) << i;
    }
    std::sort(sorted.begin(), sorted.end(), entries_less);
    std::sort(expected.begin(), expected.end(), entries_less);
    EXPECT_TRUE(sorted == expected);
    EXPECT_EQ(rux_index_buffer_release(&buffer), RUX_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Sizes, IndexBufferSortRandom, testing::Values(2, 3, 4, 7, 16, 33, 1000));

TEST(IndexBufferRelease, RefusesNullAndZeroesHeapBuffers) {
    EXPECT_EQ(rux_index_buffer_release(nullptr), RUX_ERROR_INVALID_ARGUMENT);
    rux_index_buffer empty = {};
    EXPECT_EQ(rux_index_buffer_release(&empty), RUX_ERROR_INVALID_ARGUMENT);
    rux_index_buffer buffer = {};
    ASSERT_EQ(rux_index_buffer_init(&buffer, 4), RUX_SUCCESS);
    EXPECT_EQ(rux_index_buffer_release(&buffer), RUX_SUCCESS);
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(buffer.size, 0u);
    EXPECT_EQ(buffer.reserved, 0u);
}

// A file of the given layout whose first `used` of 128 entries are used.
std::string craft_index(const TempDir &dir, uint64_t used, uint64_t index_location = 256) {
    FileImage image;
    image.header.index_location = index_location;
    if (index_location + 128 * 32 > image.bytes.size()) {
        image.bytes.resize(index_location + 128 * 32, 0);
    }
    image.set_names({"a"});
    uint8_t byte = 1;
    for (uint64_t i = 0; i < used; ++i) {
        image.add_chunk(i / 3, 0, RUX_TYPE_UINT8, 1, 1, &byte);
    }
    std::string path = dir.path("index.rux");
    image.save(path);
    return path;
}

struct CountCase {
    uint64_t used;
    uint64_t index_location;
};

void PrintTo(const CountCase &c, std::ostream *out) {
    *out << c.used << " used at " << c.index_location;
}

class IndexBufferMapFile : public testing::TestWithParam<CountCase> {};

TEST_P(IndexBufferMapFile, CountsUsedEntries) {
    TempDir dir;
    RawHandle raw(craft_index(dir, GetParam().used, GetParam().index_location), 1);
    ASSERT_EQ(raw.map(), RUX_SUCCESS);
    const rux_index_buffer &index = raw.handle.file_index;
    EXPECT_EQ(index.size, GetParam().used);
    EXPECT_EQ(index.reserved, 128u);
    ASSERT_NE(index.map_base, nullptr);
    // data points at the block's first entry inside a page-aligned mapping.
    const uint64_t offset =
        GetParam().index_location % static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(index.data),
              static_cast<const uint8_t *>(index.map_base) + offset);
    EXPECT_EQ(index.map_length, 128 * 32 + offset);
    for (uint64_t i = 0; i < GetParam().used; ++i) {
        ASSERT_EQ(index.data[i].frame, i / 3);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, IndexBufferMapFile,
                         testing::Values(CountCase{0, 256}, CountCase{1, 256}, CountCase{2, 256},
                                         CountCase{10, 256}, CountCase{63, 256}, CountCase{64, 256},
                                         CountCase{65, 256}, CountCase{127, 256},
                                         CountCase{128, 256}, CountCase{10, 8192},
                                         CountCase{128, 8192}, CountCase{5, 9000}));

TEST(IndexBufferMapFileCorrupt, FrameBelowTheLowerBoundFailsAndKeepsTheMapping) {
    TempDir dir;
    FileImage image;
    image.set_names({"a"});
    uint8_t byte = 1;
    image.add_chunk(1, 0, RUX_TYPE_UINT8, 1, 1, &byte);
    for (int i = 1; i <= 64; ++i) {
        image.add_chunk(0, 0, RUX_TYPE_UINT8, 1, 1, &byte);
    }
    image.save(dir.path("bad.rux"));
    RawHandle raw(dir.path("bad.rux"), 1);
    EXPECT_EQ(raw.map(), RUX_ERROR_FILE_CORRUPT);
    EXPECT_NE(raw.handle.file_index.map_base, nullptr);
    EXPECT_EQ(raw.handle.file_index.size, 0u);
}

TEST(IndexBufferMapFileCorrupt, BlockPastTheEndOfTheFile) {
    TempDir dir;
    RawHandle raw(craft_index(dir, 3), 1);
    raw.handle.file_size = 256 + 128 * 32 - 1;
    RecordingSys sys;
    EXPECT_EQ(raw.map(), RUX_ERROR_FILE_CORRUPT);
    EXPECT_EQ(sys.count(Call::mmap), 0);
}

TEST(IndexBufferMapFileCorrupt, RefusesABufferInUse) {
    TempDir dir;
    RawHandle raw(craft_index(dir, 3), 1);
    ASSERT_EQ(raw.map(), RUX_SUCCESS);
    EXPECT_EQ(raw.map(), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(raw.handle.file_index.size, 3u);
    EXPECT_EQ(rux_index_buffer_map_file(nullptr, &raw.handle), RUX_ERROR_INVALID_ARGUMENT);
}

TEST(IndexBufferMapFileCorrupt, FailedMappingIsAnIoError) {
    TempDir dir;
    RawHandle raw(craft_index(dir, 3), 1);
    RecordingSys sys;
    sys.fail(Call::mmap, 1, ENOMEM);
    EXPECT_EQ(raw.map(), RUX_ERROR_IO);
    EXPECT_EQ(errno, ENOMEM);
}

TEST(IndexBufferRelease, FailedUnmapLeavesTheBufferAsItWas) {
    TempDir dir;
    RawHandle raw(craft_index(dir, 3), 1);
    ASSERT_EQ(raw.map(), RUX_SUCCESS);
    const rux_index_buffer before = raw.handle.file_index;
    {
        RecordingSys sys;
        sys.fail(Call::munmap, 1, EINVAL);
        EXPECT_EQ(rux_index_buffer_release(&raw.handle.file_index), RUX_ERROR_IO);
    }
    EXPECT_EQ(raw.handle.file_index.data, before.data);
    EXPECT_EQ(raw.handle.file_index.map_base, before.map_base);
    EXPECT_EQ(raw.handle.file_index.size, before.size);
    EXPECT_EQ(raw.handle.file_index.map_length, before.map_length);
    RecordingSys sys;
    EXPECT_EQ(rux_index_buffer_release(&raw.handle.file_index), RUX_SUCCESS);
    EXPECT_EQ(sys.count(Call::munmap), 1);
    EXPECT_EQ(raw.handle.file_index.map_base, nullptr);
    EXPECT_EQ(raw.handle.file_index.data, nullptr);
    EXPECT_EQ(raw.handle.file_index.map_length, 0u);
}

}  // namespace
