#include <sys/mman.h>

#include <cstring>
#include <utility>

#include "containers.h"
#include "handle_ops.h"
#include "sys_io.h"

int rux_index_buffer_init(rux_index_buffer *buffer, uint64_t capacity) {
    if (buffer == nullptr || buffer->map_base != nullptr || capacity == 0 ||
        buffer->data != nullptr || buffer->reserved != 0 || buffer->size != 0) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    if (capacity > SIZE_MAX / sizeof(rux_index_entry)) {
        return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
    }
    void *memory = rux_sys_calloc(static_cast<size_t>(capacity), sizeof(rux_index_entry));
    if (memory == nullptr) {
        return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
    }
    buffer->data = static_cast<rux_index_entry *>(memory);
    buffer->reserved = capacity;
    return RUX_SUCCESS;
}

static int grow_heap_buffer(rux_index_buffer *buffer) {
    const uint64_t capacity = buffer->reserved * 2;
    void *grown = capacity > SIZE_MAX / sizeof(rux_index_entry)
                      ? nullptr
                      : rux_sys_realloc(buffer->data,
                                        static_cast<size_t>(capacity) * sizeof(rux_index_entry));
    if (grown == nullptr) {
        rux_sys_free(buffer->data);
        buffer->data = nullptr;
        return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
    }
    buffer->data = static_cast<rux_index_entry *>(grown);
    std::memset(buffer->data + buffer->reserved, 0,
                static_cast<size_t>(buffer->reserved) * sizeof(rux_index_entry));
    buffer->reserved = capacity;
    return RUX_SUCCESS;
}

int rux_index_buffer_push(rux_index_buffer *buffer, rux_index_entry **slot) {
    if (buffer == nullptr || slot == nullptr || buffer->map_base != nullptr ||
        buffer->reserved == 0 || buffer->data == nullptr) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    if (buffer->size == buffer->reserved) {
        const int result = grow_heap_buffer(buffer);
        if (result != RUX_SUCCESS) {
            return result;
        }
    }
    *slot = &buffer->data[buffer->size];
    ++buffer->size;
    return RUX_SUCCESS;
}

// Finds the first unused entry by binary search, checking every probed entry.
// Used entries form a prefix of the block, so probes suffice; entries never
// probed are never trusted for anything but their position. While a writer
// holds the file, the count is the committed one, with no search: the
// committed entries must all be used, and entries behind them may be in the
// middle of a write.
static int count_used_entries(rux_index_buffer *buffer, const rux_handle *handle) {
    const rux_index_entry *entries = buffer->data;
    rux_commit_record record{};
    const bool limited = rux_commit_limits_view(handle->header, &record);
    const uint64_t searched = limited ? record.entries : buffer->reserved;
    if (searched == 0 || rux_index_entry_load(&entries[0]).location == 0) {
        if (limited && searched != 0) {
            return RUX_ERROR_FILE_CORRUPT;
        }
        buffer->size = 0;
        return RUX_SUCCESS;
    }
    rux_index_entry low = rux_index_entry_load(&entries[0]);
    if (!rux_index_entry_is_valid(&low, handle)) {
        return RUX_ERROR_FILE_CORRUPT;
    }
    if (limited) {
        // The sealed record vouches for the entries below its count; only the
        // last one is checked, for the frame order and the file size. Entries
        // behind it are not looked at: the writer may be writing them.
        const rux_index_entry last = rux_index_entry_load(&entries[searched - 1]);
        if (last.location == 0 || !rux_index_entry_is_valid(&last, handle) ||
            last.frame < low.frame) {
            return RUX_ERROR_FILE_CORRUPT;  // a committed entry is not there
        }
        buffer->size = searched;
        return RUX_SUCCESS;
    }
    uint64_t lo = 0;
    uint64_t hi = searched;
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2;
        const rux_index_entry probe = rux_index_entry_load(&entries[mid]);
        if (probe.location != 0) {
            if (!rux_index_entry_is_valid(&probe, handle) || probe.frame < low.frame) {
                return RUX_ERROR_FILE_CORRUPT;
            }
            lo = mid;
            low = probe;
        } else {
            hi = mid;
        }
    }
    buffer->size = hi;
    return RUX_SUCCESS;
}

int rux_index_buffer_map_file(rux_index_buffer *buffer, rux_handle *handle) {
    if (buffer == nullptr || handle == nullptr || buffer->data != nullptr || buffer->size != 0 ||
        buffer->reserved != 0 || buffer->map_base != nullptr || buffer->map_length != 0) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    const uint64_t capacity = handle->header.index_allocated_entries;
    const uint64_t location = handle->header.index_location;
    const auto file_size = static_cast<uint64_t>(handle->file_size);
    if (capacity > UINT64_MAX / RUX_INDEX_ENTRY_SIZE) {
        return RUX_ERROR_FILE_CORRUPT;
    }
    const uint64_t block_bytes = RUX_INDEX_ENTRY_SIZE * capacity;
    if (location > UINT64_MAX - block_bytes || location + block_bytes > file_size) {
        return RUX_ERROR_FILE_CORRUPT;
    }
    const long page = rux_sys_page_size();
    if (page <= 0) {
        return RUX_ERROR_IO;
    }
    const uint64_t misalignment = location % static_cast<uint64_t>(page);
    // A block of no entries still gets a (never read) mapping of one byte, so
    // that the handle's state does not depend on the capacity; growing such a
    // block is refused later.
    const uint64_t map_length = block_bytes + misalignment == 0 ? 1 : block_bytes + misalignment;
    if (map_length > SIZE_MAX || location - misalignment > static_cast<uint64_t>(INT64_MAX)) {
        return RUX_ERROR_FILE_CORRUPT;
    }
    void *base = rux_sys_mmap(nullptr, static_cast<size_t>(map_length), PROT_READ, MAP_SHARED,
                              handle->fd, static_cast<off_t>(location - misalignment));
    if (base == MAP_FAILED) {
        return RUX_ERROR_IO;
    }
    buffer->map_base = base;
    buffer->map_length = map_length;
    buffer->data = reinterpret_cast<rux_index_entry *>(static_cast<uint8_t *>(base) + misalignment);
    buffer->reserved = capacity;
    return count_used_entries(buffer, handle);
}

int rux_index_buffer_release(rux_index_buffer *buffer) {
    if (buffer == nullptr || buffer->data == nullptr) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    if (buffer->map_base != nullptr) {
        if (rux_sys_munmap(buffer->map_base, static_cast<size_t>(buffer->map_length)) != 0) {
            return RUX_ERROR_IO;
        }
    } else {
        rux_sys_free(buffer->data);
    }
    *buffer = rux_index_buffer{};
    return RUX_SUCCESS;
}

// Heap sort: in place, no allocation, O(n log n) whatever the input order.
static void sift_down(rux_index_entry *entries, uint64_t position, uint64_t heap_size) {
    for (;;) {
        uint64_t largest = position;
        const uint64_t left = 2 * position + 1;
        const uint64_t right = left + 1;
        if (left < heap_size && rux_index_entry_compare(&entries[left], &entries[largest]) > 0) {
            largest = left;
        }
        if (right < heap_size && rux_index_entry_compare(&entries[right], &entries[largest]) > 0) {
            largest = right;
        }
        if (largest == position) {
            return;
        }
        std::swap(entries[position], entries[largest]);
        position = largest;
    }
}

int rux_index_buffer_sort(rux_index_buffer *buffer) {
    if (buffer == nullptr || buffer->map_base != nullptr || buffer->reserved == 0) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    const uint64_t count = buffer->size;
    if (count < 2) {
        return RUX_SUCCESS;
    }
    if (buffer->data == nullptr) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    rux_index_entry *entries = buffer->data;
    for (uint64_t position = (count - 2) / 2 + 1; position-- > 0;) {
        sift_down(entries, position, count);
    }
    for (uint64_t heap_size = count; heap_size > 1; --heap_size) {
        std::swap(entries[0], entries[heap_size - 1]);
        sift_down(entries, 0, heap_size - 1);
    }
    return RUX_SUCCESS;
}
