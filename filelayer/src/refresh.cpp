// Refreshing a read-only handle: a new view of a file that a writer appends
// to, taken beside the old one and swapped in only when it is complete.
#include <cstring>

#include "containers.h"
#include "handle_ops.h"

namespace {

// Whether entry i of the old view stands unchanged at position i of the new one.
bool entry_kept(const rux_index_buffer &old_index, const rux_index_buffer &new_index,
                uint64_t i) {
    return i < new_index.size &&
           std::memcmp(&old_index.data[i], &new_index.data[i], sizeof(rux_index_entry)) == 0;
}

// The leading frames of the old view that the new one holds unchanged. A
// writer only appends, except when it cuts the file: then the entries of the
// kept frames stand where they stood, and every entry behind them is gone or
// new (new data lie behind all old data, so no new entry equals an old one).
// The unchanged entries are therefore a prefix, found by binary search.
uint64_t frames_kept(const rux_handle &old_view, const rux_handle &new_view) {
    const rux_index_buffer &before = old_view.file_index;
    const rux_index_buffer &after = new_view.file_index;
    if (before.size == 0 || entry_kept(before, after, before.size - 1)) {
        return old_view.cur_frame < new_view.cur_frame ? old_view.cur_frame : new_view.cur_frame;
    }
    uint64_t low = 0;
    uint64_t high = before.size - 1;  // the first changed entry is at or before it
    while (low < high) {
        const uint64_t middle = low + (high - low) / 2;
        if (entry_kept(before, after, middle)) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    uint64_t kept = rux_index_entry_load(&before.data[low]).frame;
    const uint64_t next =
        low < after.size ? rux_index_entry_load(&after.data[low]).frame : new_view.cur_frame;
    return next < kept ? next : kept;
}

}  // namespace

int rux_refresh(rux_handle *handle) {
    uint64_t kept = 0;
    return rux_refresh_keeping(handle, &kept);
}

int rux_refresh_keeping(rux_handle *handle, uint64_t *kept_frames) {
    if (handle == nullptr || kept_frames == nullptr || !rux_is_usable(handle)) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    if (rux_is_writable(handle)) {
        *kept_frames = handle->cur_frame;
        return RUX_SUCCESS;  // a writer's view is its own
    }
    rux_handle fresh{};
    fresh.fd = handle->fd;
    fresh.open_flags = RUX_OPEN_READONLY;
    int result = rux_load_view(&fresh);
    const uint64_t kept = result == RUX_SUCCESS ? frames_kept(*handle, fresh) : 0;
    if (result == RUX_SUCCESS) {
        result = rux_release_containers(handle);
    }
    if (result != RUX_SUCCESS) {
        rux_release_containers(&fresh);
        return result;
    }
    *kept_frames = kept;
    handle->header = fresh.header;
    handle->file_size = fresh.file_size;
    handle->file_index = fresh.file_index;
    handle->file_names = fresh.file_names;
    handle->name_map = fresh.name_map;
    handle->cur_frame = fresh.cur_frame;
    RUX_ASSERT_HANDLE(handle);
    return RUX_SUCCESS;
}
