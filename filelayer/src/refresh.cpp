// Refreshing a read-only handle: a new view of a file that a writer appends
// to, taken beside the old one and swapped in only when it is complete.
#include "containers.h"
#include "handle_ops.h"

int rux_refresh(rux_handle *handle) {
    if (handle == nullptr || !rux_is_usable(handle)) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    if (rux_is_writable(handle)) {
        return RUX_SUCCESS;  // a writer's view is its own
    }
    rux_handle fresh{};
    fresh.fd = handle->fd;
    fresh.open_flags = RUX_OPEN_READONLY;
    int result = rux_load_view(&fresh);
    if (result == RUX_SUCCESS) {
        result = rux_release_containers(handle);
    }
    if (result != RUX_SUCCESS) {
        rux_release_containers(&fresh);
        return result;
    }
    handle->header = fresh.header;
    handle->file_size = fresh.file_size;
    handle->file_index = fresh.file_index;
    handle->file_names = fresh.file_names;
    handle->name_map = fresh.name_map;
    handle->cur_frame = fresh.cur_frame;
    RUX_ASSERT_HANDLE(handle);
    return RUX_SUCCESS;
}
