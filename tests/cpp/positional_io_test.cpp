#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "containers.h"
#include "handle_helpers.h"
#include "recording_sys.h"
#include "temp_dir.h"

namespace {

using rux_test::Bytes;
using rux_test::Call;
using rux_test::CallRecord;
using rux_test::RecordingSys;
using rux_test::TempDir;

class PositionalIo : public testing::Test {
  protected:
    void SetUp() override {
        fd_ = ::open(dir_.path("io").c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override { ::close(fd_); }
    off_t position() const { return ::lseek(fd_, 0, SEEK_CUR); }

    TempDir dir_;
    int fd_ = -1;
};

TEST_F(PositionalIo, WritesAndReadsAtOffsetsWithoutMovingThePosition) {
    const Bytes data = rux_test::pattern(1000, 1);
    EXPECT_EQ(rux_pwrite_all(fd_, data.data(), data.size(), 300), 1000);
    Bytes back(1000);
    EXPECT_EQ(rux_pread_all(fd_, back.data(), back.size(), 300), 1000);
    EXPECT_EQ(back, data);
    EXPECT_EQ(position(), 0);
    EXPECT_EQ(rux_test::file_length(dir_.path("io")), 1300u);
}

TEST_F(PositionalIo, ZeroCountReturnsAtOnce) {
    RecordingSys sys;
    uint8_t byte = 0;
    EXPECT_EQ(rux_pwrite_all(fd_, &byte, 0, 0), 0);
    EXPECT_EQ(rux_pread_all(fd_, &byte, 0, 0), 0);
    EXPECT_TRUE(sys.records().empty());
}

TEST_F(PositionalIo, ShortReadAtEndOfFileLeavesErrnoZero) {
    const Bytes data = rux_test::pattern(100, 2);
    ASSERT_EQ(rux_pwrite_all(fd_, data.data(), data.size(), 0), 100);
    Bytes back(256, 0xEE);
    errno = EAGAIN;
    EXPECT_EQ(rux_pread_all(fd_, back.data(), back.size(), 0), 100);
    EXPECT_EQ(errno, 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    EXPECT_EQ(rux_pread_all(fd_, back.data(), back.size(), 5000), 0);
}

struct Transfer {
    Call kind;
    const char *what;
};

class PositionalIoLoop : public PositionalIo, public testing::WithParamInterface<Transfer> {
  protected:
    int64_t run(uint8_t *buffer, uint64_t count, uint64_t offset) {
        return GetParam().kind == Call::pwrite ? rux_pwrite_all(fd_, buffer, count, offset)
                                               : rux_pread_all(fd_, buffer, count, offset);
    }
};

// A transfer cut short goes on with the rest at the matching offset.
TEST_P(PositionalIoLoop, ShortTransfersContinueWhereTheyStopped) {
    Bytes data = rux_test::pattern(1000, 3);
    ASSERT_EQ(::pwrite(fd_, data.data(), data.size(), 64), 1000);
    Bytes buffer = GetParam().kind == Call::pwrite ? data : Bytes(1000, 0);
    RecordingSys sys;
    sys.shorten(GetParam().kind, 1, 10);
    sys.shorten(GetParam().kind, 2, 300);
    EXPECT_EQ(run(buffer.data(), 1000, 64), 1000);
    const std::vector<CallRecord> expected = {{GetParam().kind, fd_, 64, 1000},
                                              {GetParam().kind, fd_, 74, 990},
                                              {GetParam().kind, fd_, 374, 690}};
    EXPECT_EQ(sys.records(), expected);
    EXPECT_EQ(buffer, data);
    EXPECT_EQ(rux_test::read_file(dir_.path("io")).size(), 1064u);
}

TEST_P(PositionalIoLoop, FailedCallFailsTheLoopWithItsErrno) {
    Bytes buffer(100, 1);
    for (int err : {EIO, EINTR}) {
        RecordingSys sys;
        sys.fail(GetParam().kind, 1, err);
        EXPECT_EQ(run(buffer.data(), buffer.size(), 0), -1);
        EXPECT_EQ(errno, err);
        EXPECT_EQ(sys.count(GetParam().kind), 1) << "no retry after " << err;
    }
}

TEST_P(PositionalIoLoop, FailureAfterPartialTransferFails) {
    Bytes buffer(100, 1);
    ASSERT_EQ(::pwrite(fd_, buffer.data(), buffer.size(), 0), 100);
    RecordingSys sys;
    sys.shorten(GetParam().kind, 1, 40);
    sys.fail(GetParam().kind, 2, ENOSPC);
    EXPECT_EQ(run(buffer.data(), buffer.size(), 0), -1);
    EXPECT_EQ(errno, ENOSPC);
}

TEST_P(PositionalIoLoop, NothingMovedWithErrnoSetFails) {
    Bytes buffer(100, 1);
    ASSERT_EQ(::pwrite(fd_, buffer.data(), buffer.size(), 0), 100);
    RecordingSys sys;
    sys.stall(GetParam().kind, 1, ENOSPC);
    EXPECT_EQ(run(buffer.data(), buffer.size(), 0), -1);
    EXPECT_EQ(errno, ENOSPC);
}

INSTANTIATE_TEST_SUITE_P(Both, PositionalIoLoop,
                         testing::Values(Transfer{Call::pwrite, "pwrite"},
                                         Transfer{Call::pread, "pread"}),
                         [](const testing::TestParamInfo<Transfer> &info) {
                             return std::string(info.param.what);
                         });

// pwrite that moves nothing and leaves errno 0 is tried again; for pread the
// same result means end of file.
TEST_F(PositionalIo, WriteThatMovesNothingIsRetried) {
    const Bytes data = rux_test::pattern(50, 4);
    RecordingSys sys;
    sys.stall(Call::pwrite, 1, 0);
    sys.stall(Call::pwrite, 2, 0);
    EXPECT_EQ(rux_pwrite_all(fd_, data.data(), data.size(), 10), 50);
    EXPECT_EQ(sys.count(Call::pwrite), 3);
    Bytes back(50);
    ASSERT_EQ(::pread(fd_, back.data(), 50, 10), 50);
    EXPECT_EQ(back, data);
}

TEST_F(PositionalIo, ReadThatMovesNothingIsEndOfFile) {
    const Bytes data = rux_test::pattern(50, 5);
    ASSERT_EQ(::pwrite(fd_, data.data(), data.size(), 0), 50);
    Bytes back(50);
    RecordingSys sys;
    sys.shorten(Call::pread, 1, 20);
    sys.stall(Call::pread, 2, 0);
    EXPECT_EQ(rux_pread_all(fd_, back.data(), 50, 0), 20);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(sys.count(Call::pread), 2);
}

}  // namespace
