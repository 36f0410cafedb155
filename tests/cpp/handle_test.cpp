// The handle's consistency check: it holds through writing, flushing and
// reopening, and each relation it names catches a handle that breaks it.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "containers.h"
#include "handle_helpers.h"
#include "handle_ops.h"
#include "temp_dir.h"

namespace {

using rux_test::TempDir;

class HandleCheck : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(rux_test::create_open(&handle_, dir_.path("h.rux")), RUX_SUCCESS);
        saved_ = handle_;
    }
    void TearDown() override {
        if (!breached_) {
            EXPECT_EQ(rux_close(&handle_), RUX_SUCCESS);
            return;
        }
        // The breached staging must not reach the file: the handle is closed
        // as one that stopped writing.
        handle_ = saved_;
        handle_.write_error = RUX_ERROR_IO;
        EXPECT_EQ(rux_close(&handle_), RUX_ERROR_IO);
    }
    // Two frames in the file, and an open frame with a buffered chunk, a
    // chunk written straight to the file and a new name.
    void stage() {
        ASSERT_EQ(rux_set_maximum_write_buffer_size(&handle_, 100), RUX_SUCCESS);
        saved_ = handle_;
        for (uint64_t frame = 0; frame < 2; ++frame) {
            ASSERT_EQ(write("a", 10, frame), RUX_SUCCESS);
            ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
        }
        ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
        ASSERT_EQ(handle_.file_index.size, 2u);
        ASSERT_EQ(write("a", 10, 7), RUX_SUCCESS);
        ASSERT_EQ(write("b", 30, 8), RUX_SUCCESS);
        ASSERT_EQ(write("large", 500, 9), RUX_SUCCESS);
        ASSERT_EQ(handle_.buffer_index.size, 2u);
        ASSERT_EQ(handle_.frame_index.size, 1u);
        saved_ = handle_;
    }
    int write(const std::string &name, uint64_t bytes, uint64_t seed) {
        return rux_test::write_bytes(&handle_, name, RUX_TYPE_UINT8, bytes, 1,
                                     rux_test::pattern(bytes, seed));
    }

    TempDir dir_;
    rux_handle handle_ = {};
    rux_handle saved_ = {};
    bool breached_ = false;
};

TEST_F(HandleCheck, HoldsThroughWritingFlushingAndReopening) {
    EXPECT_TRUE(rux_handle_check(&handle_));
    stage();
    EXPECT_TRUE(rux_handle_check(&handle_));
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    EXPECT_TRUE(rux_handle_check(&handle_));
    ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_open(&handle_, dir_.path("h.rux").c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    EXPECT_TRUE(rux_handle_check(&handle_));
    saved_ = handle_;
}

struct Breach {
    const char *name;
    std::function<void(rux_handle *)> apply;
};

class HandleCheckBreach : public HandleCheck, public testing::WithParamInterface<Breach> {};

TEST_P(HandleCheckBreach, IsCaught) {
    stage();
    ASSERT_TRUE(rux_handle_check(&handle_));
    breached_ = true;
    GetParam().apply(&handle_);
    EXPECT_FALSE(rux_handle_check(&handle_));
    // A handle that stopped writing keeps its staging as the failure left it.
    if (handle_.buffer_index.size != saved_.buffer_index.size ||
        handle_.pending_index_entries != saved_.pending_index_entries ||
        handle_.write_buffer.size != saved_.write_buffer.size) {
        handle_.write_error = RUX_ERROR_IO;
        EXPECT_TRUE(rux_handle_check(&handle_));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Relations, HandleCheckBreach,
    testing::Values(
        Breach{"PendingBeyondStaged",
               [](rux_handle *h) { h->pending_index_entries = h->frame_index.size + 3; }},
        Breach{"BufferedChunkOutOfPlace", [](rux_handle *h) { h->buffer_index.data[1].location += 1; }},
        Breach{"BufferLongerThanItsChunks", [](rux_handle *h) { h->write_buffer.size += 1; }},
        Breach{"BufferedEntryDropped", [](rux_handle *h) { h->buffer_index.size -= 1; }},
        Breach{"StagedDataPastTheFile", [](rux_handle *h) { h->file_size -= 1; }},
        Breach{"StagedFrameAhead", [](rux_handle *h) { h->frame_index.data[0].frame += 1; }},
        Breach{"RecordedFrameNotBehindCurFrame", [](rux_handle *h) { h->cur_frame = 1; }},
        Breach{"CommitPointBehindTheEntries",
               [](rux_handle *h) {
                   rux_commit_record record{h->file_index.size - 1,
                                            static_cast<uint32_t>(h->file_names.count),
                                            RUX_COMMIT_WRITER_ACTIVE};
                   rux_commit_record_store(&h->header, record);
               }},
        Breach{"IndexBlockNotTheHeaders",
               [](rux_handle *h) { h->header.index_allocated_entries += 1; }},
        Breach{"NewNamesWithoutBytes", [](rux_handle *h) { h->frame_names.bytes.size = 0; }}),
    [](const testing::TestParamInfo<Breach> &info) { return std::string(info.param.name); });

TEST(DoubledCapacity, DoublesPastTheNeedAndGivesZeroWhenItCannot) {
    EXPECT_EQ(rux_doubled_capacity(16, 15), 16u);
    EXPECT_EQ(rux_doubled_capacity(16, 16), 32u);
    EXPECT_EQ(rux_doubled_capacity(16, 100), 128u);
    EXPECT_EQ(rux_doubled_capacity(0, 1), 0u);
    EXPECT_EQ(rux_doubled_capacity(uint64_t{1} << 62, uint64_t{1} << 63), 0u);
}

}  // namespace
