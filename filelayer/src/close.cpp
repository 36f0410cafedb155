// Closing: flush a writable handle, release every container, close the file.
#include "containers.h"
#include "handle_ops.h"
#include "sys_io.h"

namespace {

int release_byte_buffer(rux_byte_buffer *buffer) {
    return buffer->reserved == 0 ? RUX_SUCCESS : rux_byte_buffer_release(buffer);
}

int release_staging(rux_index_buffer *buffer) {
    return buffer->reserved == 0 ? RUX_SUCCESS : rux_index_buffer_release(buffer);
}

int release_names(rux_name_list *names) {
    names->count = 0;
    return release_byte_buffer(&names->bytes);
}

// Releases in a fixed order and stops at the first failure, leaving the
// descriptor open and the later containers in place.
int release_in_order(rux_handle *handle) {
    int result = rux_index_buffer_release(&handle->file_index);
    if (result == RUX_SUCCESS) {
        result = release_staging(&handle->frame_index);
    }
    if (result == RUX_SUCCESS) {
        result = release_staging(&handle->buffer_index);
    }
    if (result == RUX_SUCCESS) {
        result = release_byte_buffer(&handle->write_buffer);
    }
    if (result == RUX_SUCCESS) {
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

int close_descriptor(rux_handle *handle) {
    handle->owns_descriptor = 0;
    return rux_sys_close(handle->fd) == 0 ? RUX_SUCCESS : RUX_ERROR_IO;
}

}  // namespace

int rux_close(rux_handle *handle) {
    if (handle == nullptr || !rux_is_open(handle)) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    if (handle->write_error != RUX_SUCCESS) {
        // The handle stopped writing (or lost its containers in a failed
        // truncation): release what is left and give the descriptor back.
        const int error = handle->write_error;
        rux_release_containers(handle);
        close_descriptor(handle);
        return error;
    }
    if (rux_is_writable(handle)) {
        const int result = rux_flush(handle);
        if (result != RUX_SUCCESS) {
            if (handle->write_error == RUX_SUCCESS) {
                return result;  // nothing was lost; the caller may retry
            }
            rux_release_containers(handle);
            close_descriptor(handle);
            return result;
        }
    }
    const int result = release_in_order(handle);
    if (result != RUX_SUCCESS) {
        return result;
    }
    return close_descriptor(handle);
}
