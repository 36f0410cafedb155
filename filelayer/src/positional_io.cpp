#include <cerrno>
#include <climits>
#include <type_traits>

#include "containers.h"
#include "format.h"
#include "sys_io.h"

namespace {

// Largest single transfer: keeps every request within ssize_t and off_t.
constexpr uint64_t kMaxTransfer = static_cast<uint64_t>(SSIZE_MAX) & ~uint64_t{4095};

// A write that keeps moving 0 bytes without an error is retried, but not
// forever: a device that never accepts a byte must not hang the writer.
constexpr int kMaxEmptyWrites = 1024;

ssize_t transfer_once(int fd, void *buffer, size_t count, off_t offset) {
    return rux_sys_pread(fd, buffer, count, offset);
}
ssize_t transfer_once(int fd, const void *buffer, size_t count, off_t offset) {
    return rux_sys_pwrite(fd, buffer, count, offset);
}

// Moves `count` bytes at `offset`, one positional call at a time. A call that
// moves 0 bytes without setting errno is end of file for a read and a retry
// for a write. EINTR is not retried: an interrupted call fails the loop.
template <typename Byte>
int64_t transfer_all(int fd, Byte *buffer, uint64_t count, uint64_t offset) {
    constexpr bool is_read = !std::is_const<Byte>::value;
    if (count == 0) {
        return 0;
    }
    if (count > static_cast<uint64_t>(INT64_MAX) ||
        offset > static_cast<uint64_t>(INT64_MAX) - count) {
        errno = EINVAL;
        return -1;
    }
    uint64_t done = 0;
    int empty_writes = 0;
    while (done < count) {
        const uint64_t remaining = count - done;
        const auto request =
            static_cast<size_t>(remaining < kMaxTransfer ? remaining : kMaxTransfer);
        errno = 0;
        const ssize_t moved = transfer_once(fd, static_cast<Byte *>(buffer) + done, request,
                                            static_cast<off_t>(offset + done));
        if (moved < 0 || (moved == 0 && errno != 0)) {
            return -1;
        }
        if (moved == 0) {
            if (is_read) {
                break;
            }
            if (++empty_writes == kMaxEmptyWrites) {
                errno = EIO;
                return -1;
            }
            continue;
        }
        done += static_cast<uint64_t>(moved);
    }
    return static_cast<int64_t>(done);
}

}  // namespace

int64_t rux_pwrite_all(int fd, const void *buffer, uint64_t count, uint64_t offset) {
    return transfer_all(fd, static_cast<const char *>(buffer), count, offset);
}

int64_t rux_pread_all(int fd, void *buffer, uint64_t count, uint64_t offset) {
    return transfer_all(fd, static_cast<char *>(buffer), count, offset);
}

int rux_fsync(int fd) {
    return rux_sys_fsync(fd) == 0 ? RUX_SUCCESS : RUX_ERROR_IO;
}

int rux_write_zeros(int fd, uint64_t count, uint64_t offset) {
    static const uint8_t zeros[RUX_NEW_INDEX_ENTRIES * RUX_INDEX_ENTRY_SIZE] = {};
    static_assert(sizeof zeros >= RUX_NEW_NAMELIST_UNITS * RUX_NAMELIST_UNIT, "zero source");
    return count <= sizeof zeros &&
                   rux_pwrite_all(fd, zeros, count, offset) == static_cast<int64_t>(count)
               ? RUX_SUCCESS
               : RUX_ERROR_IO;
}
