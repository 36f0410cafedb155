// Truncating (emptying a file in place, keeping its metadata) and upgrading
// a version 1 layout file to version 2.1 in place.
#include <cstring>

#include "containers.h"
#include "handle_ops.h"
#include "sys_io.h"

int rux_truncate(rux_handle *handle) {
    const int refusal = rux_check_writable(handle);
    if (refusal != RUX_SUCCESS) {
        return refusal;
    }
    // Nothing staged is written: chunks and names not flushed are dropped.
    rux_release_containers(handle);
    const rux_header old_header = handle->header;
    char application[sizeof old_header.application + 1] = {};
    char schema[sizeof old_header.schema + 1] = {};
    std::memcpy(application, old_header.application, sizeof old_header.application);
    std::memcpy(schema, old_header.schema, sizeof old_header.schema);
    int result =
        rux_format_new_file(handle->fd, application, schema, old_header.schema_version);
    if (result == RUX_SUCCESS) {
        result = rux_load_handle(handle);
    }
    if (result != RUX_SUCCESS) {
        // The handle no longer matches the file; it keeps only its descriptor
        // until rux_close gives that back.
        rux_release_containers(handle);
        handle->owns_descriptor = 1;
        handle->write_error = result;
    }
    return result;
}

namespace {

int write_all(rux_handle *handle, const void *bytes, uint64_t count, uint64_t offset) {
    return rux_pwrite_all(handle->fd, bytes, count, offset) == static_cast<int64_t>(count)
               ? RUX_SUCCESS
               : RUX_ERROR_IO;
}

// Rewrites the used part of the index block sorted by (frame, id).
int sort_index_block(rux_handle *handle) {
    const uint64_t used = handle->file_index.size;
    if (used == 0) {
        return RUX_SUCCESS;
    }
    rux_index_buffer sorted{};
    int result = rux_index_buffer_init(&sorted, used);
    if (result != RUX_SUCCESS) {
        return result;
    }
    std::memcpy(sorted.data, handle->file_index.data, static_cast<size_t>(used) * sizeof(rux_index_entry));
    sorted.size = used;
    result = rux_index_buffer_sort(&sorted);
    if (result == RUX_SUCCESS) {
        result = write_all(handle, sorted.data, RUX_INDEX_ENTRY_SIZE * used,
                           handle->header.index_location);
    }
    rux_index_buffer_release(&sorted);
    if (result == RUX_SUCCESS) {
        result = rux_fsync(handle->fd);
    }
    return result;
}

// Packs the names that have ids (the list up to its end) back to back, each
// with its NUL. Names behind a hole in a version 1 list have no id, and
// packing them would give them ids that later names then take.
int pack_names(const rux_handle *handle, rux_byte_buffer *packed) {
    const rux_byte_buffer &block = handle->file_names.bytes;
    int result = rux_byte_buffer_init(packed, block.reserved);
    const char *names = reinterpret_cast<const char *>(block.data);
    for (uint64_t offset = 0; result == RUX_SUCCESS && offset < block.size;
         offset += RUX_NAMELIST_UNIT) {
        const char *name = names + offset;
        if (*name == 0) {
            break;
        }
        result = rux_byte_buffer_append(packed, name, strnlen(name, block.reserved - offset) + 1);
    }
    if (result == RUX_SUCCESS && packed->reserved != block.reserved) {
        // The names, once packed, would not fit the block.
        result = RUX_ERROR_FILE_CORRUPT;
    }
    return result;
}

int pack_namelist_block(rux_handle *handle) {
    if (handle->file_names.count == 0) {
        return RUX_SUCCESS;
    }
    rux_byte_buffer packed{};
    int result = pack_names(handle, &packed);
    if (result == RUX_SUCCESS) {
        result = write_all(handle, packed.data, packed.reserved, handle->header.namelist_location);
    }
    if (result != RUX_SUCCESS) {
        if (packed.data != nullptr) {
            rux_byte_buffer_release(&packed);
        }
        return result;
    }
    rux_byte_buffer_release(&handle->file_names.bytes);
    handle->file_names.bytes = packed;
    return rux_fsync(handle->fd);
}

int mark_version_2_1(rux_handle *handle) {
    const uint32_t old_version = handle->header.rux_version;
    handle->header.rux_version = RUX_VERSION_2_1;
    int result = rux_write_header(handle);
    if (result == RUX_SUCCESS) {
        result = rux_fsync(handle->fd);
    }
    if (result != RUX_SUCCESS) {
        handle->header.rux_version = old_version;
    }
    return result;
}

int remap_index(rux_handle *handle) {
    int result = rux_index_buffer_release(&handle->file_index);
    if (result == RUX_SUCCESS) {
        result = rux_index_buffer_map_file(&handle->file_index, handle);
    }
    return result;
}

}  // namespace

int rux_upgrade(rux_handle *handle) {
    if (handle == nullptr || !rux_is_writable(handle) || !rux_is_open(handle) ||
        handle->frame_index.size != 0 || handle->frame_names.count != 0) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    if (handle->write_error != RUX_SUCCESS) {
        return handle->write_error;
    }
    if (rux_has_v2_layout(handle->header)) {
        return RUX_SUCCESS;
    }
    // One flush up front puts staged chunks of completed frames in the file;
    // if it fails, nothing of the upgrade has been written.
    int result = rux_flush(handle);
    if (result != RUX_SUCCESS) {
        return result;
    }
    result = sort_index_block(handle);
    if (result == RUX_SUCCESS) {
        result = pack_namelist_block(handle);
    }
    if (result == RUX_SUCCESS) {
        result = mark_version_2_1(handle);
    }
    if (result == RUX_SUCCESS) {
        result = remap_index(handle);
    }
    if (result != RUX_SUCCESS && result != RUX_ERROR_MEMORY_ALLOCATION_FAILED) {
        return rux_stop_writing(handle, result);
    }
    return result;
}
