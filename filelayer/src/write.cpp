// Writing chunks into the frame in progress, ending frames, and the two
// staging thresholds.
#include <cstring>

#include "containers.h"
#include "handle_ops.h"

namespace {

// Registers a name the handle does not know yet: it gets the next id and
// waits in frame_names, encoded as the file's namelist encodes names.
int add_new_name(rux_handle *handle, const char *name, uint16_t *id) {
    const uint64_t next_id = handle->file_names.count + handle->frame_names.count;
    if (next_id >= RUX_MAX_NAMES) {
        return RUX_ERROR_NAMELIST_FULL;
    }
    const char *stored = name;
    char record[RUX_NAMELIST_UNIT] = {};
    int result;
    if (rux_has_v2_layout(handle->header)) {
        result = rux_byte_buffer_append(&handle->frame_names.bytes, name, std::strlen(name) + 1);
    } else {
        // One 64-byte slot holding at most 63 bytes of the name; from here on
        // the name is the cut one.
        std::memcpy(record, name, strnlen(name, RUX_NAMELIST_UNIT - 1));
        stored = record;
        result = rux_byte_buffer_append(&handle->frame_names.bytes, record, sizeof record);
    }
    if (result != RUX_SUCCESS) {
        return rux_stop_writing(handle, result);
    }
    ++handle->frame_names.count;
    result = rux_name_id_map_add(&handle->name_map, stored, static_cast<uint16_t>(next_id));
    if (result != RUX_SUCCESS) {
        return rux_stop_writing(handle, result);
    }
    *id = static_cast<uint16_t>(next_id);
    return RUX_SUCCESS;
}

int name_id(rux_handle *handle, const char *name, uint16_t *id) {
    const uint16_t known = rux_name_id_map_lookup(&handle->name_map, name);
    if (known != RUX_NAME_ID_NONE) {
        *id = known;
        return RUX_SUCCESS;
    }
    return add_new_name(handle, name, id);
}

rux_index_entry make_entry(const rux_handle *handle, uint16_t id, rux_type type, uint64_t N,
                           uint32_t M, int64_t location) {
    rux_index_entry entry{};
    entry.frame = handle->cur_frame;
    entry.N = N;
    entry.location = location;
    entry.M = M;
    entry.id = id;
    entry.type = static_cast<uint8_t>(type);  // checked to be a type code before use
    return entry;
}

int push_entry(rux_handle *handle, rux_index_buffer *staging, const rux_index_entry &entry) {
    rux_index_entry *slot = nullptr;
    const int result = rux_index_buffer_push(staging, &slot);
    if (result != RUX_SUCCESS) {
        return rux_stop_writing(handle, result);
    }
    *slot = entry;
    return RUX_SUCCESS;
}

// A large chunk goes to the end of the file at once, straight from the
// caller's memory. Its entry is staged only once the data are in the file, so
// a failed write leaves nothing behind that a flush could record.
int write_direct(rux_handle *handle, const rux_index_entry &entry, const void *data,
                 uint64_t byte_count) {
    if (rux_pwrite_all(handle->fd, data, byte_count, static_cast<uint64_t>(handle->file_size)) !=
        static_cast<int64_t>(byte_count)) {
        return RUX_ERROR_IO;
    }
    handle->unsynced_writes = 1;
    const int result = push_entry(handle, &handle->frame_index, entry);
    if (result != RUX_SUCCESS) {
        return result;
    }
    handle->file_size += static_cast<int64_t>(byte_count);
    return RUX_SUCCESS;
}

// A small chunk is copied into the write buffer; the buffer is written out
// first when the chunk would take it past the threshold.
int write_buffered(rux_handle *handle, rux_index_entry entry, const void *data,
                   uint64_t byte_count) {
    if (handle->write_buffer.size + byte_count > handle->maximum_write_buffer_size) {
        // On failure the buffered data stay, and the next flush writes them.
        (void)rux_flush_write_buffer(handle);
        if (handle->write_error != RUX_SUCCESS) {
            return rux_write_error(handle);
        }
    }
    entry.location = static_cast<int64_t>(handle->write_buffer.size);
    int result = push_entry(handle, &handle->buffer_index, entry);
    if (result == RUX_SUCCESS && byte_count != 0) {
        result = rux_byte_buffer_append(&handle->write_buffer, data, byte_count);
        if (result != RUX_SUCCESS) {
            rux_stop_writing(handle, result);
        }
    }
    return result;
}

bool is_type_code(rux_type type) {
    return rux_type_size(static_cast<unsigned>(type)) != 0;
}

int write_chunk(rux_handle *handle, const char *name, rux_type type, uint64_t N, uint32_t M,
                uint8_t flags, const void *data) {
    // An empty name would end the namelist and leave every later name, and
    // the entries that use it, without an id in the file.
    if (handle == nullptr || name == nullptr || M == 0 || (N != 0 && data == nullptr)) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    int result = rux_check_writable(handle);
    if (result != RUX_SUCCESS) {
        return result;
    }
    // An unknown type code would stage an entry that fails validation at
    // open; a size that overflows 64 bits cannot be stored.
    rux_index_entry entry = make_entry(handle, 0, type, N, M, 0);
    uint64_t byte_count = 0;
    if (flags != 0 || name[0] == '\0' || !is_type_code(type) || !rux_index_entry_byte_count(&entry, &byte_count) ||
        byte_count > static_cast<uint64_t>(INT64_MAX - handle->file_size)) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    result = name_id(handle, name, &entry.id);
    if (result != RUX_SUCCESS) {
        return result;
    }
    if (byte_count >= handle->maximum_write_buffer_size) {
        entry.location = handle->file_size;
        result = write_direct(handle, entry, data, byte_count);
    } else {
        result = write_buffered(handle, entry, data, byte_count);
    }
    if (result != RUX_SUCCESS) {
        return result;
    }
    ++handle->pending_index_entries;
    return RUX_SUCCESS;
}

}  // namespace

int rux_write_chunk(rux_handle *handle, const char *name, rux_type type, uint64_t N, uint32_t M,
                    uint8_t flags, const void *data) {
    const int result = write_chunk(handle, name, type, N, M, flags, data);
    RUX_ASSERT_HANDLE(handle);
    return result;
}

int rux_end_frame(rux_handle *handle) {
    int result = rux_check_writable(handle);
    if (result != RUX_SUCCESS) {
        return result;
    }
    ++handle->cur_frame;
    handle->pending_index_entries = 0;
    if (handle->frame_index.size > 0 ||
        handle->buffer_index.size > handle->index_entries_to_buffer) {
        result = rux_flush(handle);
    }
    RUX_ASSERT_HANDLE(handle);
    return result;
}

uint64_t rux_get_maximum_write_buffer_size(const rux_handle *handle) {
    return handle == nullptr ? 0 : handle->maximum_write_buffer_size;
}

int rux_set_maximum_write_buffer_size(rux_handle *handle, uint64_t size) {
    if (handle == nullptr || size == 0) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    handle->maximum_write_buffer_size = size;
    return RUX_SUCCESS;
}

uint64_t rux_get_index_entries_to_buffer(const rux_handle *handle) {
    return handle == nullptr ? 0 : handle->index_entries_to_buffer;
}

int rux_set_index_entries_to_buffer(rux_handle *handle, uint64_t count) {
    if (handle == nullptr || count == 0) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    handle->index_entries_to_buffer = count;
    return RUX_SUCCESS;
}
