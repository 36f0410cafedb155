#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "containers.h"
#include "recording_sys.h"

namespace {

using rux_test::Call;
using rux_test::RecordingSys;

bool all_zero(const uint8_t *bytes, uint64_t from, uint64_t to) {
    return std::all_of(bytes + from, bytes + to, [](uint8_t b) { return b == 0; });
}

TEST(ByteBufferInit, RefusesNullZeroCapacityAndUsedBuffers) {
    EXPECT_EQ(rux_byte_buffer_init(nullptr, 16), RUX_ERROR_INVALID_ARGUMENT);
    rux_byte_buffer buffer = {};
    EXPECT_EQ(rux_byte_buffer_init(&buffer, 0), RUX_ERROR_INVALID_ARGUMENT);
    uint8_t byte = 0;
    rux_byte_buffer with_data = {&byte, 0, 0};
    rux_byte_buffer with_size = {nullptr, 1, 0};
    rux_byte_buffer with_reserved = {nullptr, 0, 1};
    EXPECT_EQ(rux_byte_buffer_init(&with_data, 16), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_byte_buffer_init(&with_size, 16), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_byte_buffer_init(&with_reserved, 16), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(with_data.data, &byte);
}

TEST(ByteBufferInit, AllocatesZeroedMemory) {
    rux_byte_buffer buffer = {};
    ASSERT_EQ(rux_byte_buffer_init(&buffer, 100), RUX_SUCCESS);
    EXPECT_EQ(buffer.size, 0u);
    EXPECT_EQ(buffer.reserved, 100u);
    ASSERT_NE(buffer.data, nullptr);
    EXPECT_TRUE(all_zero(buffer.data, 0, 100));
    EXPECT_EQ(rux_byte_buffer_release(&buffer), RUX_SUCCESS);
}

TEST(ByteBufferInit, ReportsAllocationFailure) {
    RecordingSys sys;
    sys.fail(Call::alloc, 1, ENOMEM);
    rux_byte_buffer buffer = {};
    EXPECT_EQ(rux_byte_buffer_init(&buffer, 100), RUX_ERROR_MEMORY_ALLOCATION_FAILED);
    EXPECT_EQ(buffer.data, nullptr);
}

TEST(ByteBufferAppend, RefusesBadArguments) {
    uint8_t byte = 7;
    EXPECT_EQ(rux_byte_buffer_append(nullptr, &byte, 1), RUX_ERROR_INVALID_ARGUMENT);
    rux_byte_buffer no_data = {nullptr, 0, 16};
    EXPECT_EQ(rux_byte_buffer_append(&no_data, &byte, 1), RUX_ERROR_INVALID_ARGUMENT);
    rux_byte_buffer buffer = {};
    ASSERT_EQ(rux_byte_buffer_init(&buffer, 16), RUX_SUCCESS);
    EXPECT_EQ(rux_byte_buffer_append(&buffer, &byte, 0), RUX_ERROR_INVALID_ARGUMENT);
    rux_byte_buffer no_room = {buffer.data, 0, 0};
    EXPECT_EQ(rux_byte_buffer_append(&no_room, &byte, 1), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(buffer.size, 0u);
    EXPECT_EQ(rux_byte_buffer_release(&buffer), RUX_SUCCESS);
}

struct GrowthCase {
    uint64_t reserved;
    uint64_t size;
    uint64_t length;
    uint64_t expected_reserved;
};

void PrintTo(const GrowthCase &c, std::ostream *out) {
    *out << c.size << " of " << c.reserved << " + " << c.length;
}

class ByteBufferGrowth : public testing::TestWithParam<GrowthCase> {};

// The capacity doubles until it strictly exceeds the bytes needed; the old
// contents survive, the new bytes follow them and everything after is zero.
TEST_P(ByteBufferGrowth, DoublesUntilStrictlyLarger) {
    const GrowthCase &c = GetParam();
    rux_byte_buffer buffer = {};
    ASSERT_EQ(rux_byte_buffer_init(&buffer, c.reserved), RUX_SUCCESS);
    std::vector<uint8_t> first(c.size, 0xA1), second(c.length, 0xB2);
    if (c.size > 0) {
        ASSERT_EQ(rux_byte_buffer_append(&buffer, first.data(), c.size), RUX_SUCCESS);
    }
    ASSERT_EQ(buffer.reserved, c.reserved);
    ASSERT_EQ(rux_byte_buffer_append(&buffer, second.data(), c.length), RUX_SUCCESS);
    EXPECT_EQ(buffer.reserved, c.expected_reserved);
    EXPECT_EQ(buffer.size, c.size + c.length);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), buffer.data));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), buffer.data + c.size));
    EXPECT_TRUE(all_zero(buffer.data, buffer.size, buffer.reserved));
    EXPECT_EQ(rux_byte_buffer_release(&buffer), RUX_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Cases, ByteBufferGrowth,
                         testing::Values(GrowthCase{1024, 1000, 24, 1024},
                                         GrowthCase{1024, 1000, 25, 2048},
                                         GrowthCase{1024, 1000, 1048, 4096},
                                         GrowthCase{1024, 0, 1024, 1024},
                                         GrowthCase{64, 0, 5000, 8192}, GrowthCase{1, 1, 1, 4}));

TEST(ByteBufferAppend, FailedGrowthFreesTheMemory) {
    rux_byte_buffer buffer = {};
    ASSERT_EQ(rux_byte_buffer_init(&buffer, 16), RUX_SUCCESS);
    std::vector<uint8_t> bytes(32, 1);
    {
        RecordingSys sys;
        sys.fail(Call::alloc, 1, ENOMEM);
        EXPECT_EQ(rux_byte_buffer_append(&buffer, bytes.data(), bytes.size()),
                  RUX_ERROR_MEMORY_ALLOCATION_FAILED);
    }
    // The old memory is gone (the sanitizer build reports a leak otherwise).
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(rux_byte_buffer_append(&buffer, bytes.data(), 1), RUX_ERROR_INVALID_ARGUMENT);
}

TEST(ByteBufferRelease, ZeroesTheBuffer) {
    rux_byte_buffer empty = {};
    EXPECT_EQ(rux_byte_buffer_release(&empty), RUX_SUCCESS);
    rux_byte_buffer lost = {nullptr, 0, 16};
    EXPECT_EQ(rux_byte_buffer_release(&lost), RUX_ERROR_INVALID_ARGUMENT);
    rux_byte_buffer buffer = {};
    ASSERT_EQ(rux_byte_buffer_init(&buffer, 16), RUX_SUCCESS);
    uint8_t byte = 1;
    ASSERT_EQ(rux_byte_buffer_append(&buffer, &byte, 1), RUX_SUCCESS);
    EXPECT_EQ(rux_byte_buffer_release(&buffer), RUX_SUCCESS);
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(buffer.size, 0u);
    EXPECT_EQ(buffer.reserved, 0u);
}

}  // namespace
