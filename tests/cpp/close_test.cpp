// Closing, and what a closed handle still answers.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "file_crafter.h"
#include "handle_helpers.h"
#include "recording_sys.h"
#include "temp_dir.h"

namespace {

using rux_test::Bytes;
using rux_test::Call;
using rux_test::RecordingSys;
using rux_test::TempDir;

class CloseTest : public testing::Test {
  protected:
    std::string path() const { return dir_.path("c.rux"); }
    void create() { ASSERT_EQ(rux_test::create_open(&handle_, path()), RUX_SUCCESS); }
    int write(const std::string &name, uint8_t value) {
        return rux_write_chunk(&handle_, name.c_str(), RUX_TYPE_UINT8, 1, 1, 0, &value);
    }

    TempDir dir_;
    rux_handle handle_ = {};
};

TEST_F(CloseTest, NullHandle) {
    EXPECT_EQ(rux_close(nullptr), RUX_ERROR_INVALID_ARGUMENT);
}

TEST_F(CloseTest, ReleasesEverythingAndClosesOnce) {
    RecordingSys sys;
    create();
    const int fd = handle_.fd;
    ASSERT_EQ(write("a", 1), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(write("b", 2), RUX_SUCCESS);
    ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
    EXPECT_EQ(sys.count(Call::close, fd), 1);
    EXPECT_EQ(sys.live_allocations(), 0u);
    EXPECT_EQ(sys.live_mappings(), 0u);
    EXPECT_EQ(handle_.name_map.buckets, nullptr);
    EXPECT_EQ(handle_.file_index.data, nullptr);
    EXPECT_EQ(handle_.write_buffer.data, nullptr);
    EXPECT_EQ(handle_.file_names.bytes.data, nullptr);
    EXPECT_EQ(handle_.frame_names.bytes.data, nullptr);
    EXPECT_STREQ(handle_.header.application, rux_test::kApplication);
}

TEST_F(CloseTest, ReadOnlyCloseNeverWrites) {
    ASSERT_EQ(rux_create(path().c_str(), "a", "s", 1), RUX_SUCCESS);
    ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    RecordingSys sys;
    ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
    EXPECT_TRUE(sys.writes().empty());
    EXPECT_EQ(sys.count(Call::close), 1);
}

TEST_F(CloseTest, FreshFileIsLeftUnchanged) {
    create();
    Bytes before = rux_test::read_file(path());
    ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
    // While open, the header carries the commit record; a clean close zeroes
    // the reserved bytes again.
    EXPECT_NE(std::count(before.begin() + 176, before.begin() + 256, 0), 80);
    std::fill(before.begin() + 176, before.begin() + 256, 0);
    EXPECT_EQ(rux_test::read_file(path()), before);
    EXPECT_EQ(before.size(), 5376u);
}

TEST_F(CloseTest, OpenFrameIsNotRecorded) {
    create();
    ASSERT_EQ(write("a", 1), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(write("b", 2), RUX_SUCCESS);
    ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&handle_), 1u);
    EXPECT_NE(rux_find_chunk(&handle_, 0, "a"), nullptr);
    EXPECT_EQ(rux_find_chunk(&handle_, 0, "b"), nullptr);
    EXPECT_EQ(rux_close(&handle_), RUX_SUCCESS);
    EXPECT_EQ(rux_test::check_well_formed(rux_test::read_file(path())), "");
}

// A flush that failed without changing the file (here the write of the
// buffered data) leaves the handle open and whole; closing again succeeds.
TEST_F(CloseTest, FailedFlushKeepsTheHandleOpen) {
    create();
    ASSERT_EQ(write("a", 7), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
    ASSERT_EQ(write("a", 8), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    {
        RecordingSys sys;
        sys.fail(Call::pwrite, 1, EIO);
        EXPECT_EQ(rux_close(&handle_), RUX_ERROR_IO);
        EXPECT_EQ(sys.count(Call::close), 0);
    }
    EXPECT_NE(handle_.name_map.buckets, nullptr);
    ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    Bytes back;
    ASSERT_TRUE(rux_test::read_back(&handle_, 1, "a", &back));
    EXPECT_EQ(back, Bytes{8});
    EXPECT_EQ(rux_close(&handle_), RUX_SUCCESS);
}

// A failed fsync stops the handle from writing; closing then releases
// everything, closes the descriptor and reports the error.
TEST_F(CloseTest, FailedFsyncStillReleasesAndCloses) {
    RecordingSys sys;
    create();
    const int fd = handle_.fd;
    ASSERT_EQ(write("a", 7), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    sys.fail(Call::fsync, 1, EIO);
    EXPECT_EQ(rux_close(&handle_), RUX_ERROR_IO);
    EXPECT_EQ(sys.count(Call::close, fd), 1);
    EXPECT_EQ(sys.live_allocations(), 0u);
    EXPECT_EQ(sys.live_mappings(), 0u);
    EXPECT_EQ(rux_test::check_well_formed(rux_test::read_file(path())), "");
    EXPECT_EQ(rux_test::parse_file(rux_test::read_file(path())).entries.size(), 0u);
}

TEST_F(CloseTest, FailedCloseIsAnIoError) {
    create();
    RecordingSys sys;
    sys.fail(Call::close, 1, EIO);
    EXPECT_EQ(rux_close(&handle_), RUX_ERROR_IO);
    EXPECT_EQ(errno, EIO);
}

class ClosedHandle : public CloseTest, public testing::WithParamInterface<rux_open_flag> {};

// A closed handle keeps its old descriptor number, which another file may
// now use: no operation may reach it.
TEST_P(ClosedHandle, IsNeverUsedAgain) {
    create();
    ASSERT_EQ(write("a", 1), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
    ASSERT_EQ(rux_open(&handle_, path().c_str(), GetParam()), RUX_SUCCESS);
    ASSERT_NE(rux_find_chunk(&handle_, 0, "a"), nullptr);
    rux_index_entry entry = rux_test::load_entry(rux_find_chunk(&handle_, 0, "a"));
    ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);

    const std::string other = dir_.path("other");
    const Bytes contents = rux_test::pattern(6000, 3);
    rux_test::write_file(other, contents);
    const int reused = ::open(other.c_str(), O_RDWR);
    ASSERT_EQ(reused, handle_.fd) << "the descriptor number is free again";

    RecordingSys sys;
    uint8_t byte = 0;
    EXPECT_EQ(rux_find_chunk(&handle_, 0, "a"), nullptr);
    EXPECT_NE(rux_read_chunk(&handle_, &byte, &entry), RUX_SUCCESS);
    EXPECT_EQ(rux_find_matching_chunk_name(&handle_, "", nullptr), nullptr);
    EXPECT_NE(rux_flush(&handle_), RUX_SUCCESS);
    EXPECT_NE(write("a", 2), RUX_SUCCESS);
    EXPECT_NE(rux_end_frame(&handle_), RUX_SUCCESS);
    EXPECT_NE(rux_truncate(&handle_), RUX_SUCCESS);
    rux_upgrade(&handle_);  // a version 2.1 file has nothing to upgrade; it may succeed
    EXPECT_NE(rux_close(&handle_), RUX_SUCCESS);
    EXPECT_TRUE(sys.records().empty());
    EXPECT_EQ(::fcntl(reused, F_GETFD), 0);
    ::close(reused);
    EXPECT_EQ(rux_test::read_file(other), contents);
}

INSTANTIATE_TEST_SUITE_P(Modes, ClosedHandle,
                         testing::Values(RUX_OPEN_READWRITE, RUX_OPEN_READONLY, RUX_OPEN_APPEND));

}  // namespace
