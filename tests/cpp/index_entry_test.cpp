#include <gtest/gtest.h>

#include <cstdint>

#include "containers.h"

namespace {

// Size and index capacity of the file seen by the handle below.
constexpr int64_t kFileSize = 10000;

struct ValidityCase {
    const char *what;
    uint64_t frame;
    uint16_t id;
    uint8_t type;
    uint64_t N;
    uint32_t M;
    int64_t location;
    uint8_t flags;
    bool valid;
};

void PrintTo(const ValidityCase &c, std::ostream *out) {
    *out << c.what;
}

class IndexEntryValidity : public testing::TestWithParam<ValidityCase> {};

TEST_P(IndexEntryValidity, AgainstTheHandlesFile) {
    rux_handle handle = {};
    handle.header.index_allocated_entries = 128;
    handle.file_size = kFileSize;
    handle.file_names.count = 3;
    handle.frame_names.count = 1;  // names added since the last flush count too
    const ValidityCase &c = GetParam();
    rux_index_entry entry = {};
    entry.frame = c.frame;
    entry.id = c.id;
    entry.type = c.type;
    entry.N = c.N;
    entry.M = c.M;
    entry.location = c.location;
    entry.flags = c.flags;
    EXPECT_EQ(rux_index_entry_is_valid(&entry, &handle), c.valid);
}

constexpr uint64_t kTwo61 = uint64_t{1} << 61;
constexpr uint64_t kTwo63 = uint64_t{1} << 63;

INSTANTIATE_TEST_SUITE_P(
    Rules, IndexEntryValidity,
    testing::Values(
        ValidityCase{"plain", 0, 0, RUX_TYPE_FLOAT, 10, 3, 5376, 0, true},
        ValidityCase{"type 0", 0, 0, 0, 10, 3, 5376, 0, false},
        ValidityCase{"type 12", 0, 0, 12, 10, 3, 5376, 0, false},
        ValidityCase{"type 255", 0, 0, 255, 10, 3, 5376, 0, false},
        ValidityCase{"type 11", 0, 0, RUX_TYPE_CHARACTER, 10, 3, 5376, 0, true},
        ValidityCase{"flags 1", 0, 0, RUX_TYPE_FLOAT, 10, 3, 5376, 1, false},
        ValidityCase{"ends at the end", 0, 0, RUX_TYPE_DOUBLE, 2, 2, kFileSize - 32, 0, true},
        ValidityCase{"ends one past", 0, 0, RUX_TYPE_DOUBLE, 2, 2, kFileSize - 31, 0, false},
        ValidityCase{"empty at the end", 0, 0, RUX_TYPE_UINT8, 0, 1, kFileSize, 0, true},
        ValidityCase{"last frame", 127, 0, RUX_TYPE_UINT8, 1, 1, 5376, 0, true},
        ValidityCase{"frame = capacity", 128, 0, RUX_TYPE_UINT8, 1, 1, 5376, 0, false},
        ValidityCase{"pending name id", 0, 3, RUX_TYPE_UINT8, 1, 1, 5376, 0, true},
        ValidityCase{"unknown id", 0, 4, RUX_TYPE_UINT8, 1, 1, 5376, 0, false},
        ValidityCase{"negative location", 0, 0, RUX_TYPE_UINT8, 1, 1, -1, 0, false},
        ValidityCase{"N x M x size wraps to 0", 0, 0, RUX_TYPE_UINT8, kTwo61, 8, 5376, 0, false},
        ValidityCase{"N x M wraps to 4", 0, 0, RUX_TYPE_UINT8, (uint64_t{1} << 62) + 1, 4, 5376, 0,
                     false},
        ValidityCase{"x size wraps", 0, 0, RUX_TYPE_UINT64, kTwo61 + 1, 1, 5376, 0, false},
        ValidityCase{"location + size wraps", 0, 0, RUX_TYPE_UINT8, kTwo63 + 10, 1, INT64_MAX, 0,
                     false}));

TEST(IndexEntryByteCount, MultipliesOrReportsOverflow) {
    rux_index_entry entry = {};
    entry.type = RUX_TYPE_INT32;
    entry.N = 1000;
    entry.M = 3;
    uint64_t count = 0;
    ASSERT_TRUE(rux_index_entry_byte_count(&entry, &count));
    EXPECT_EQ(count, 12000u);
    entry.N = kTwo61;
    entry.M = 2;
    EXPECT_FALSE(rux_index_entry_byte_count(&entry, &count));
    entry.N = kTwo63;
    entry.M = 1;
    entry.type = RUX_TYPE_UINT8;
    ASSERT_TRUE(rux_index_entry_byte_count(&entry, &count));
    EXPECT_EQ(count, kTwo63);
}

}  // namespace
