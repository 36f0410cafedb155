// What a writable open checks before any flush may build on the file.
//
// A flush overwrites only the header, the zero tail of the namelist block and
// the zero part of the index block, and appends at the end of the file
// (flush.cpp). A damaged header can make those places cover chunk data, and
// the first flush would then destroy it without an error. Read-only opens
// stay lenient (reading such a file harms nothing); a writable one refuses
// the file unless:
//  (1) both blocks lie after the header and within the file;
//  (2) the blocks do not overlap;
//  (3) the namelist block is zero after the list;
//  (4) the index block is zero after the used entries.
// A writer that died leaves entries behind the commit point; see (4).
// Holes read as zero, so the zero checks skip them (SEEK_DATA where the file
// system knows holes): a sparse file that declares a huge block costs no
// more than the bytes it really holds.
#include <unistd.h>

#include <cassert>
#include <cerrno>

#include "containers.h"
#include "handle_ops.h"
#include "sys_io.h"

namespace {

constexpr uint64_t kZeroCheckPiece = 65536;

bool block_end(uint64_t location, uint64_t units, uint64_t unit_size, uint64_t *end) {
    uint64_t bytes = 0;
    return !__builtin_mul_overflow(units, unit_size, &bytes) &&
           !__builtin_add_overflow(location, bytes, end);
}

bool all_zero(const uint8_t *bytes, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

// Reads [offset, end) in pieces; *zero tells whether every byte was 0. A file
// that ends before `end` is corrupt (it was checked to be longer).
int read_is_zero(int fd, uint8_t *piece, uint64_t offset, uint64_t end, bool *zero) {
    while (offset < end && *zero) {
        const uint64_t length = end - offset < kZeroCheckPiece ? end - offset : kZeroCheckPiece;
        const int64_t read = rux_pread_all(fd, piece, length, offset);
        if (read < 0) {
            return RUX_ERROR_IO;
        }
        if (read != static_cast<int64_t>(length)) {
            return RUX_ERROR_FILE_CORRUPT;
        }
        *zero = all_zero(piece, length);
        offset += length;
    }
    return RUX_SUCCESS;
}

// Whether the file's bytes in [offset, end) are all zero, reading only the
// parts that hold data.
int range_is_zero(int fd, uint64_t offset, uint64_t end, bool *zero) {
    *zero = true;
    if (offset >= end) {
        return RUX_SUCCESS;
    }
    auto *piece = static_cast<uint8_t *>(rux_sys_malloc(kZeroCheckPiece));
    if (piece == nullptr) {
        return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
    }
    int result = RUX_SUCCESS;
    while (result == RUX_SUCCESS && *zero && offset < end) {
        const off_t data = rux_sys_lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) {
                break;  // nothing but a hole up to the end of the file
            }
            // No hole support: read everything.
            result = read_is_zero(fd, piece, offset, end, zero);
            break;
        }
        if (static_cast<uint64_t>(data) >= end) {
            break;
        }
        const off_t hole = rux_sys_lseek(fd, data, SEEK_HOLE);
        const uint64_t data_end =
            hole <= data || static_cast<uint64_t>(hole) > end ? end : static_cast<uint64_t>(hole);
        result = read_is_zero(fd, piece, static_cast<uint64_t>(data), data_end, zero);
        offset = data_end;
    }
    rux_sys_free(piece);
    return result;
}

}  // namespace

int rux_check_layout_for_writing(const rux_handle *handle) {
    const rux_header &header = handle->header;
    const auto file_size = static_cast<uint64_t>(handle->file_size);
    uint64_t index_end = 0;
    uint64_t names_end = 0;
    if (!block_end(header.index_location, header.index_allocated_entries, RUX_INDEX_ENTRY_SIZE,
                   &index_end) ||
        !block_end(header.namelist_location, header.namelist_allocated_entries, RUX_NAMELIST_UNIT,
                   &names_end)) {
        return RUX_ERROR_FILE_CORRUPT;
    }
    // (1) and (2)
    if (header.index_location < RUX_HEADER_SIZE || header.namelist_location < RUX_HEADER_SIZE ||
        index_end > file_size || names_end > file_size ||
        (header.index_location < names_end && header.namelist_location < index_end)) {
        return RUX_ERROR_FILE_CORRUPT;
    }
    // (3): the part of the block held in memory, then whatever the handle
    // did not read.
    const rux_byte_buffer &names = handle->file_names.bytes;
    assert(names.size <= names.reserved);
    if (!all_zero(names.data + names.size, names.reserved - names.size)) {
        return RUX_ERROR_FILE_CORRUPT;
    }
    bool zero = true;
    int result = range_is_zero(handle->fd, header.namelist_location + names.reserved, names_end,
                               &zero);
    // (4), unless a trusted commit record limits the view: what lies behind
    // the committed entries is a dead writer's leftovers, which the writable
    // open zeroes next (commit_record.cpp). The record's checksum vouches
    // for the header's block fields.
    rux_commit_record record{};
    if (result == RUX_SUCCESS && zero && !rux_commit_limits_view(header, &record)) {
        result = range_is_zero(
            handle->fd, header.index_location + RUX_INDEX_ENTRY_SIZE * handle->file_index.size,
            index_end, &zero);
    }
    if (result == RUX_SUCCESS && !zero) {
        result = RUX_ERROR_FILE_CORRUPT;
    }
    return result;
}
