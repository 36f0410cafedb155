// The handle's shared steps: the writability check, the consistency check,
// header and data writes through the handle, and releasing its containers.
#include "containers.h"
#include "handle_ops.h"
#include "sys_io.h"

int rux_check_writable(const rux_handle *handle) {
    if (handle == nullptr) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    if (!rux_is_writable(handle)) {
        return RUX_ERROR_FILE_MUST_BE_WRITABLE;
    }
    if (!rux_is_open(handle)) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    return rux_write_error(handle);
}

namespace {

// Public operations run the check on return, so it must not make a long
// frame quadratic: beyond this many staged entries only the first and the
// last one are checked (a step that breaks a relation breaks it at the end).
constexpr uint64_t kEntriesCheckedInFull = 256;

bool fits(uint64_t size, uint64_t reserved) {
    return size <= reserved;
}

// The positions of the staged entries that the check looks at, in order.
uint64_t next_checked(uint64_t i, uint64_t size) {
    return size <= kEntriesCheckedInFull || i + 1 == size ? i + 1 : size - 1;
}

// The stored blocks as the header names them, and the frames they record.
bool stored_view_fits(const rux_handle *handle) {
    const rux_index_buffer &index = handle->file_index;
    const rux_byte_buffer &names = handle->file_names.bytes;
    if (index.reserved != handle->header.index_allocated_entries ||
        !fits(index.size, index.reserved) ||
        names.reserved != handle->header.namelist_allocated_entries * RUX_NAMELIST_UNIT ||
        !fits(names.size, names.reserved)) {
        return false;
    }
    // Every recorded frame is complete: cur_frame is past the last of them.
    return index.size == 0 ||
           rux_index_entry_load(&index.data[index.size - 1]).frame < handle->cur_frame;
}

// Buffered chunks lie back to back in the write buffer, in staging order, and
// fill it exactly.
bool buffer_offsets_fit(const rux_handle *handle) {
    const rux_index_buffer &buffered = handle->buffer_index;
    if (buffered.size == 0) {
        return handle->write_buffer.size == 0;
    }
    if (buffered.data[0].location != 0) {
        return false;
    }
    uint64_t end = 0;
    for (uint64_t i = 0; i < buffered.size; i = next_checked(i, buffered.size)) {
        const rux_index_entry &entry = buffered.data[i];
        uint64_t bytes = 0;
        if (!rux_index_entry_byte_count(&entry, &bytes) || entry.location < 0 ||
            (buffered.size <= kEntriesCheckedInFull && entry.location != static_cast<int64_t>(end))) {
            return false;
        }
        end = static_cast<uint64_t>(entry.location) + bytes;
    }
    return end == handle->write_buffer.size;
}

// Staged entries: those of completed frames come first, then the open
// frame's; the data of the frame_index ones are in the file.
bool staging_fits(const rux_handle *handle) {
    const rux_index_buffer &staged = handle->frame_index;
    const rux_index_buffer &buffered = handle->buffer_index;
    if (!fits(staged.size, staged.reserved) || !fits(buffered.size, buffered.reserved) ||
        !fits(handle->write_buffer.size, handle->write_buffer.reserved) ||
        !fits(handle->frame_names.bytes.size, handle->frame_names.bytes.reserved) ||
        !fits(handle->pending_index_entries, staged.size + buffered.size) ||
        (handle->frame_names.count != 0 &&
         handle->file_names.count + handle->frame_names.count > RUX_MAX_NAMES) ||
        (handle->frame_names.count == 0) != (handle->frame_names.bytes.size == 0)) {
        return false;
    }
    for (uint64_t i = 0; i < staged.size; i = next_checked(i, staged.size)) {
        const rux_index_entry &entry = staged.data[i];
        uint64_t bytes = 0;
        if (entry.frame > handle->cur_frame || !rux_index_entry_byte_count(&entry, &bytes) ||
            static_cast<uint64_t>(entry.location) + bytes >
                static_cast<uint64_t>(handle->file_size)) {
            return false;
        }
    }
    return buffer_offsets_fit(handle);
}

// The commit point in the in-memory header counts exactly the entries in the
// file, and at most the names (names reach the file ahead of their entries).
bool commit_point_fits(const rux_handle *handle) {
    if (handle->keeps_commit_record == 0) {
        return true;
    }
    rux_commit_record record{};
    return rux_commit_limits_view(handle->header, &record) &&
           record.entries == handle->file_index.size && record.names <= handle->file_names.count;
}

}  // namespace

bool rux_handle_check(const rux_handle *handle) {
    // A closed handle, or one that lost its containers, has nothing to check.
    if (handle == nullptr || !rux_is_usable(handle)) {
        return true;
    }
    if (!stored_view_fits(handle) || handle->index_checked_entries > handle->file_index.size) {
        return false;
    }
    // After a failure that stopped writing, the staging is left as the
    // failure found it and is never used again.
    if (!rux_is_writable(handle) || handle->write_error != RUX_SUCCESS) {
        return true;
    }
    return staging_fits(handle) && commit_point_fits(handle) &&
           (handle->unsynced_writes == 0 || handle->unsynced_writes == 1);
}

int rux_write_all(const rux_handle *handle, const void *bytes, uint64_t count, uint64_t offset) {
    return rux_pwrite_all(handle->fd, bytes, count, offset) == static_cast<int64_t>(count)
               ? RUX_SUCCESS
               : RUX_ERROR_IO;
}

int rux_write_header(rux_handle *handle) {
    // Every header write carries the record sealed (commit_record.cpp, guarantee 3).
    if (handle->keeps_commit_record != 0) {
        rux_commit_record_seal(&handle->header);
    }
    return rux_write_all(handle, &handle->header, RUX_HEADER_SIZE, 0);
}

int rux_switch_index_mapping(rux_handle *handle, const rux_header &old_header,
                             int64_t old_file_size, uint64_t used_entries) {
    int result = rux_write_header(handle);
    if (result == RUX_SUCCESS) {
        result = rux_fsync(handle->fd);
    }
    rux_index_buffer mapped{};
    if (result == RUX_SUCCESS) {
        result = rux_index_buffer_map_file(&mapped, handle);
    }
    if (result == RUX_SUCCESS && mapped.size != used_entries) {
        result = RUX_ERROR_FILE_CORRUPT;
    }
    if (result == RUX_SUCCESS) {
        result = rux_index_buffer_release(&handle->file_index);
    }
    if (result != RUX_SUCCESS) {
        if (mapped.data != nullptr) {
            rux_index_buffer_release(&mapped);
        }
        handle->header = old_header;
        handle->file_size = old_file_size;
        return result;
    }
    handle->file_index = mapped;
    handle->index_checked_entries = 0;
    return RUX_SUCCESS;
}

int rux_write_zero_range(const rux_handle *handle, uint64_t offset, uint64_t count) {
    const uint64_t piece_limit =
        count < RUX_INDEX_COPY_BUFFER_LIMIT ? count : RUX_INDEX_COPY_BUFFER_LIMIT;
    if (piece_limit == 0) {
        return RUX_SUCCESS;
    }
    void *zeros = rux_sys_calloc(static_cast<size_t>(piece_limit), 1);
    if (zeros == nullptr) {
        return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
    }
    int result = RUX_SUCCESS;
    for (uint64_t done = 0; done < count && result == RUX_SUCCESS;) {
        const uint64_t length = count - done < piece_limit ? count - done : piece_limit;
        result = rux_write_all(handle, zeros, length, offset + done);
        done += length;
    }
    rux_sys_free(zeros);
    return result;
}

namespace {

// A container whose growth failed has no memory left but keeps its sizes;
// it only needs zeroing. Only a failing munmap stops a release.
int release_byte_buffer(rux_byte_buffer *buffer) {
    if (buffer->data == nullptr) {
        *buffer = rux_byte_buffer{};
        return RUX_SUCCESS;
    }
    return rux_byte_buffer_release(buffer);
}

int release_index(rux_index_buffer *buffer) {
    if (buffer->data == nullptr) {
        *buffer = rux_index_buffer{};
        return RUX_SUCCESS;
    }
    return rux_index_buffer_release(buffer);
}

int release_names(rux_name_list *names) {
    names->count = 0;
    return release_byte_buffer(&names->bytes);
}

}  // namespace

int rux_release_containers(rux_handle *handle) {
    int result = rux_data_map_release(handle);
    if (result == RUX_SUCCESS) {
        handle->index_checked_entries = 0;
        result = release_index(&handle->file_index);
    }
    if (result == RUX_SUCCESS) {
        result = release_index(&handle->frame_index);
    }
    if (result == RUX_SUCCESS) {
        result = release_index(&handle->buffer_index);
    }
    if (result == RUX_SUCCESS) {
        result = release_byte_buffer(&handle->write_buffer);
    }
    if (result == RUX_SUCCESS && handle->name_map.buckets != nullptr) {
        result = rux_name_id_map_release(&handle->name_map);
    }
    if (result == RUX_SUCCESS) {
        result = release_names(&handle->frame_names);
    }
    if (result == RUX_SUCCESS) {
        result = release_names(&handle->file_names);
    }
    return result;
}
