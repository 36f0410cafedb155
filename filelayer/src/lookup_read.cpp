// Lookup and reading: frames, chunk entries, chunk bytes and name listing.
// Lookups see only completed frames that reached the index block; on a
// writable handle each one flushes first so that they see every such frame.
#include <cerrno>
#include <cstring>

#include "containers.h"
#include "handle_ops.h"

// Version 2 layout: the used entries are sorted by (frame, id).
const rux_index_entry *rux_index_find_sorted(const rux_index_buffer &index, uint64_t frame, uint16_t id) {
    rux_index_entry key{};
    key.frame = frame;
    key.id = id;
    int64_t lo = 0;
    int64_t hi = static_cast<int64_t>(index.size) - 1;
    while (lo <= hi) {
        const int64_t mid = lo + (hi - lo) / 2;
        const rux_index_entry probe = rux_index_entry_load(&index.data[mid]);
        const int order = rux_index_entry_compare(&probe, &key);
        if (order == 0) {
            return &index.data[mid];
        }
        if (order > 0) {
            hi = mid - 1;
        } else {
            lo = mid + 1;
        }
    }
    return nullptr;
}

// Version 1 layout: only the order by frame holds. Finds the last entry of
// the frame and walks back through the frame, so that a name written twice
// gives its later entry.
const rux_index_entry *rux_index_find_in_frame(const rux_index_buffer &index, uint64_t frame,
                                               uint16_t id) {
    uint64_t lo = 0;
    uint64_t hi = index.size;
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (rux_index_entry_load(&index.data[mid]).frame <= frame) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return rux_index_walk_back(index, lo, frame, id);
}

const rux_index_entry *rux_index_walk_back(const rux_index_buffer &index, uint64_t last,
                                           uint64_t frame, uint16_t id) {
    for (uint64_t i = last + 1; i-- > 0;) {
        const rux_index_entry entry = rux_index_entry_load(&index.data[i]);
        if (entry.frame != frame) {
            return nullptr;
        }
        if (entry.id == id) {
            return &index.data[i];
        }
    }
    return nullptr;
}

namespace {

// Flushes a writable handle before a lookup; false when the flush failed.
bool flush_for_lookup(rux_handle *handle) {
    return !rux_lookup_flushes(handle) || rux_flush(handle) == RUX_SUCCESS;
}

// Offset of the name after the one at `offset`, in the block's encoding.
uint64_t next_name(const char *block, uint64_t offset, bool packed) {
    return packed ? offset + std::strlen(block + offset) + 1 : offset + RUX_NAMELIST_UNIT;
}

}  // namespace

uint64_t rux_get_nframes(const rux_handle *handle) {
    return handle == nullptr ? 0 : handle->cur_frame;
}

const rux_index_entry *rux_find_chunk(rux_handle *handle, uint64_t frame, const char *name) {
    if (handle == nullptr || name == nullptr || frame >= handle->cur_frame ||
        !rux_is_usable(handle) || !flush_for_lookup(handle)) {
        return nullptr;
    }
    const uint16_t id = rux_name_id_map_lookup(&handle->name_map, name);
    const rux_index_buffer &index = handle->file_index;
    if (id == RUX_NAME_ID_NONE || index.size == 0) {
        return nullptr;
    }
    return rux_has_v2_layout(handle->header) ? rux_index_find_sorted(index, frame, id)
                                             : rux_index_find_in_frame(index, frame, id);
}

int rux_read_chunk(rux_handle *handle, void *destination, const rux_index_entry *found) {
    if (handle == nullptr || destination == nullptr || found == nullptr || !rux_is_usable(handle)) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    // Copied before the flush: a flush that grows the index block unmaps
    // the memory that an entry found earlier points into.
    const rux_index_entry copy = rux_index_entry_load(found);
    const rux_index_entry *entry = &copy;
    if (rux_lookup_flushes(handle)) {
        const int result = rux_flush(handle);
        if (result != RUX_SUCCESS) {
            return result;
        }
    }
    uint64_t byte_count = 0;
    uint64_t end = 0;
    if (!rux_index_entry_byte_count(entry, &byte_count) || byte_count == 0 ||
        entry->location == 0 ||
        __builtin_add_overflow(static_cast<uint64_t>(entry->location), byte_count, &end) ||
        end > static_cast<uint64_t>(handle->file_size)) {
        return RUX_ERROR_FILE_CORRUPT;
    }
    const int64_t read = rux_pread_all(handle->fd, destination, byte_count,
                                       static_cast<uint64_t>(entry->location));
    if (read == static_cast<int64_t>(byte_count)) {
        return RUX_SUCCESS;
    }
    // A file cut short by someone else ends before the chunk: the loop saw
    // end of file and left errno 0, which would report no error at all.
    if (read >= 0) {
        errno = EIO;
    }
    return RUX_ERROR_IO;
}

const char *rux_find_matching_chunk_name(rux_handle *handle, const char *match,
                                         const char *previous) {
    // The flush comes before the count, so that names of completed frames are
    // listed on a new writable file that has not flushed yet.
    if (handle == nullptr || match == nullptr || !rux_is_usable(handle) ||
        !flush_for_lookup(handle) || handle->file_names.count == 0) {
        return nullptr;
    }
    const rux_byte_buffer &names = handle->file_names.bytes;
    const char *begin = reinterpret_cast<const char *>(names.data);
    if (names.data == nullptr || names.reserved == 0 || names.data[names.reserved - 1] != 0) {
        return nullptr;
    }
    const bool packed = rux_has_v2_layout(handle->header);
    uint64_t position = 0;
    if (previous != nullptr) {
        // Compare addresses as integers: previous may point anywhere.
        const auto address = reinterpret_cast<uintptr_t>(previous);
        const auto first = reinterpret_cast<uintptr_t>(begin);
        if (address < first || address - first >= names.reserved) {
            return nullptr;
        }
        position = next_name(begin, address - first, packed);
    }
    const size_t match_length = std::strlen(match);
    // The block ends in a 0 byte, so no name or comparison runs past it.
    for (; position < names.reserved; position = next_name(begin, position, packed)) {
        const char *name = begin + position;
        if (*name != 0 && std::strncmp(name, match, match_length) == 0) {
            return name;
        }
    }
    return nullptr;
}
