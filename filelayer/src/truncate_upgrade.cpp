// Truncating (emptying a file, keeping its metadata), cutting a file back to
// its first frames, and upgrading a version 1 layout file to version 2.1. All
// three keep the file readable at every step.
#include <unistd.h>

#include <cstring>

#include "containers.h"
#include "handle_ops.h"
#include "sys_io.h"

namespace {

int write_header_synced(rux_handle *handle, const rux_header &header) {
    const int result = rux_write_all(handle, &header, RUX_HEADER_SIZE, 0);
    return result == RUX_SUCCESS ? rux_fsync(handle->fd) : result;
}

// The end of the file, where blocks that nothing refers to yet can go.
int end_of_file(const rux_handle *handle, uint64_t *end) {
    const off_t length = rux_sys_lseek(handle->fd, 0, SEEK_END);
    if (length < 0) {
        return RUX_ERROR_IO;
    }
    *end = static_cast<uint64_t>(length < handle->file_size ? handle->file_size : length);
    return RUX_SUCCESS;
}

// Lays the file out anew as an empty file with the given header, so that a
// crash or a failure at any point leaves a file that opens: first the header
// is pointed at empty blocks written past the end of the file (from then on
// the file is empty and its old regions are dead), then the regions of a new
// file are zeroed, the header pointed at them, and the file cut to its size.
int rewrite_as_empty(rux_handle *handle, rux_header header) {
    const uint64_t index_bytes = RUX_NEW_INDEX_ENTRIES * RUX_INDEX_ENTRY_SIZE;
    const uint64_t namelist_bytes = RUX_NEW_NAMELIST_UNITS * RUX_NAMELIST_UNIT;
    uint64_t end = 0;
    int result = end_of_file(handle, &end);
    if (result != RUX_SUCCESS) {
        return result;
    }
    rux_header interim = header;
    interim.index_location = end;
    interim.namelist_location = end + index_bytes;
    result = rux_write_zeros(handle->fd, index_bytes, interim.index_location);
    if (result == RUX_SUCCESS) {
        result = rux_write_zeros(handle->fd, namelist_bytes, interim.namelist_location);
    }
    if (result == RUX_SUCCESS) {
        result = rux_fsync(handle->fd);
    }
    if (result == RUX_SUCCESS) {
        result = write_header_synced(handle, interim);
    }
    if (result == RUX_SUCCESS) {
        result = rux_write_zeros(handle->fd, index_bytes, RUX_NEW_INDEX_LOCATION);
    }
    if (result == RUX_SUCCESS) {
        result = rux_write_zeros(handle->fd, namelist_bytes, RUX_NEW_NAMELIST_LOCATION);
    }
    if (result == RUX_SUCCESS) {
        result = rux_fsync(handle->fd);
    }
    if (result == RUX_SUCCESS) {
        result = write_header_synced(handle, header);
    }
    if (result == RUX_SUCCESS && rux_sys_ftruncate(handle->fd, RUX_NEW_FILE_SIZE) != 0) {
        result = RUX_ERROR_IO;
    }
    return result == RUX_SUCCESS ? rux_fsync(handle->fd) : result;
}

}  // namespace

int rux_truncate(rux_handle *handle) {
    const int refusal = rux_check_writable(handle);
    if (refusal != RUX_SUCCESS) {
        return refusal;
    }
    // Nothing staged is written: chunks and names not flushed are dropped.
    int result = rux_release_containers(handle);
    if (result != RUX_SUCCESS) {
        return result;
    }
    char application[sizeof handle->header.application + 1] = {};
    char schema[sizeof handle->header.schema + 1] = {};
    std::memcpy(application, handle->header.application, sizeof handle->header.application);
    std::memcpy(schema, handle->header.schema, sizeof handle->header.schema);
    result = rewrite_as_empty(
        handle, rux_new_file_header(application, schema, handle->header.schema_version));
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
    RUX_ASSERT_HANDLE(handle);
    return result;
}

namespace {

// Writes the used entries, sorted by (frame, id), as a new index block of the
// same capacity at `location`, zero behind them. The old block is left as it
// is: until the header names the new one, the file reads as before.
int write_sorted_index_block(rux_handle *handle, uint64_t location) {
    const uint64_t used = handle->file_index.size;
    rux_index_buffer sorted{};
    int result = rux_index_buffer_init(&sorted, used);
    if (result != RUX_SUCCESS) {
        return result;
    }
    std::memcpy(sorted.data, handle->file_index.data,
                static_cast<size_t>(used) * sizeof(rux_index_entry));
    sorted.size = used;
    result = rux_index_buffer_sort(&sorted);
    if (result == RUX_SUCCESS) {
        result = rux_write_all(handle, sorted.data, RUX_INDEX_ENTRY_SIZE * used, location);
    }
    rux_index_buffer_release(&sorted);
    if (result == RUX_SUCCESS) {
        const uint64_t capacity = handle->header.index_allocated_entries;
        result = rux_write_zero_range(handle, location + RUX_INDEX_ENTRY_SIZE * used,
                                      RUX_INDEX_ENTRY_SIZE * (capacity - used));
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

// Writes the sorted index and the packed namelist as new blocks at the end of
// the file, syncs them, then writes one header that names both, says 2.1 and
// carries the commit record. Until that header is on the disk the file is
// the version 1 file it was; afterwards it is the upgraded one.
int switch_to_version_2(rux_handle *handle) {
    rux_header upgraded = handle->header;
    upgraded.rux_version = RUX_VERSION_2_1;
    rux_byte_buffer packed{};
    uint64_t end = 0;
    int result = end_of_file(handle, &end);
    if (result == RUX_SUCCESS && handle->file_index.size != 0) {
        // Entries of a mapped block are kept aligned to their size.
        end += (RUX_INDEX_ENTRY_SIZE - end % RUX_INDEX_ENTRY_SIZE) % RUX_INDEX_ENTRY_SIZE;
        result = write_sorted_index_block(handle, end);
        upgraded.index_location = end;
        end += RUX_INDEX_ENTRY_SIZE * handle->header.index_allocated_entries;
    }
    if (result == RUX_SUCCESS && handle->file_names.count != 0) {
        result = pack_names(handle, &packed);
        if (result == RUX_SUCCESS) {
            result = rux_write_all(handle, packed.data, packed.reserved, end);
        }
        upgraded.namelist_location = end;
        end += packed.reserved;
    }
    if (result == RUX_SUCCESS) {
        result = rux_fsync(handle->fd);
    }
    if (result == RUX_SUCCESS) {
        rux_commit_record_store(&upgraded,
                                rux_commit_record{handle->file_index.size,
                                                  static_cast<uint32_t>(handle->file_names.count),
                                                  RUX_COMMIT_WRITER_ACTIVE});
        result = write_header_synced(handle, upgraded);
    }
    if (result != RUX_SUCCESS) {
        if (packed.data != nullptr) {
            rux_byte_buffer_release(&packed);
        }
        return result;
    }
    handle->header = upgraded;
    handle->keeps_commit_record = 1;
    if (static_cast<int64_t>(end) > handle->file_size) {
        handle->file_size = static_cast<int64_t>(end);
    }
    if (packed.data != nullptr) {
        rux_byte_buffer_release(&handle->file_names.bytes);
        handle->file_names.bytes = packed;
    }
    return RUX_SUCCESS;
}

int remap_index(rux_handle *handle) {
    handle->index_checked_entries = 0;
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
    result = switch_to_version_2(handle);
    if (result == RUX_SUCCESS) {
        result = remap_index(handle);
    }
    if (result == RUX_SUCCESS) {
        result = rux_data_map_release(handle);  // the blocks were rewritten
    }
    if (result != RUX_SUCCESS && result != RUX_ERROR_MEMORY_ALLOCATION_FAILED) {
        result = rux_stop_writing(handle, result);
    }
    RUX_ASSERT_HANDLE(handle);
    return result;
}

// Cutting a file back to its first n frames.
//
// What a reader finds, whenever the process or the machine stops:
//  (1) The header names either the old index block or the new one, never a
//      block that is not whole and synced: the new block is written at the
//      end of the file and synced before the one header write that names it.
//  (2) No byte that a reader may have mapped or may read changes: the old
//      index block, the namelist and every chunk stay as they are, so a
//      reader that has the old view keeps reading it; only the header is
//      overwritten.
//  (3) The new block holds a prefix of the old used entries, so whatever it
//      refers to was synced long before.
//  (4) With a commit record, the header that names the new block counts its
//      entries, so readers trust exactly the kept ones.
namespace {

// The used entries of frames below `frames`: entries are ordered by frame,
// so they form a prefix. The walk stops at the first entry of a later frame,
// so that no such entry is carried over even from a block whose frames go
// back (a damaged file).
uint64_t entries_below_frame(const rux_index_buffer &index, uint64_t frames) {
    uint64_t kept = 0;
    while (kept < index.size && rux_index_entry_load(&index.data[kept]).frame < frames) {
        ++kept;
    }
    return kept;
}

// The capacity of the new block: as a new file's block would have grown to
// hold the kept entries and frames, but never more than the old block had.
uint64_t cut_block_capacity(const rux_handle *handle, uint64_t kept, uint64_t frames) {
    const uint64_t old_capacity = handle->header.index_allocated_entries;
    const uint64_t needed = kept > frames ? kept : frames;
    const uint64_t grown = rux_doubled_capacity(RUX_NEW_INDEX_ENTRIES, needed);
    return grown == 0 || grown > old_capacity ? old_capacity : grown;
}

// Writes the first `kept` entries and zeros up to `capacity` at `location`,
// then syncs. Nothing refers to these bytes yet.
int write_cut_block(rux_handle *handle, uint64_t location, uint64_t kept, uint64_t capacity) {
    handle->unsynced_writes = 1;
    int result =
        rux_write_all(handle, handle->file_index.data, RUX_INDEX_ENTRY_SIZE * kept, location);
    if (result == RUX_SUCCESS) {
        result = rux_write_zero_range(handle, location + RUX_INDEX_ENTRY_SIZE * kept,
                                      RUX_INDEX_ENTRY_SIZE * (capacity - kept));
    }
    if (result != RUX_SUCCESS) {
        return result;  // retryable: the header still names the old block
    }
    if (rux_fsync(handle->fd) != RUX_SUCCESS) {
        return rux_stop_writing(handle, RUX_ERROR_IO);
    }
    handle->unsynced_writes = 0;
    return RUX_SUCCESS;
}

// Points the header at the new block (1, 4) and maps it. On failure the
// handle keeps the old header and the old mapping, whose bytes are intact
// (2), so that lookups still read the old view; it stops writing, since the
// file's header may be either.
int switch_to_cut_block(rux_handle *handle, uint64_t location, uint64_t kept, uint64_t capacity) {
    const rux_header old_header = handle->header;
    const int64_t old_file_size = handle->file_size;
    handle->header.index_location = location;
    handle->header.index_allocated_entries = capacity;
    if (handle->keeps_commit_record != 0) {
        rux_commit_record_store(&handle->header,
                                rux_commit_record{kept,
                                                  static_cast<uint32_t>(handle->file_names.count),
                                                  RUX_COMMIT_WRITER_ACTIVE});
    }
    const auto block_end = static_cast<int64_t>(location + RUX_INDEX_ENTRY_SIZE * capacity);
    if (block_end > handle->file_size) {
        handle->file_size = block_end;
    }
    const int result = rux_switch_index_mapping(handle, old_header, old_file_size, kept);
    return result == RUX_SUCCESS ? RUX_SUCCESS : rux_stop_writing(handle, result);
}

int truncate_frames(rux_handle *handle, uint64_t frames) {
    int result = rux_check_writable(handle);
    if (result != RUX_SUCCESS) {
        return result;
    }
    if (frames > handle->cur_frame) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    if (frames == handle->cur_frame && handle->pending_index_entries == 0) {
        return RUX_SUCCESS;  // nothing to drop
    }
    // Staged frames reach the file first, so that the cut works on the file's
    // index alone. Only the frame in progress stays staged, and it is dropped
    // once the cut is done (its data that reached the file are dead bytes);
    // after a failure it is still there.
    result = rux_flush(handle);
    if (result != RUX_SUCCESS) {
        return result;
    }
    const uint64_t kept = entries_below_frame(handle->file_index, frames);
    if (kept < handle->file_index.size) {
        const uint64_t capacity = cut_block_capacity(handle, kept, frames);
        uint64_t location = 0;
        result = end_of_file(handle, &location);
        if (result != RUX_SUCCESS) {
            return result;
        }
        // Entries of a mapped block are kept aligned to their size.
        location += (RUX_INDEX_ENTRY_SIZE - location % RUX_INDEX_ENTRY_SIZE) % RUX_INDEX_ENTRY_SIZE;
        if (capacity == 0 || capacity > static_cast<uint64_t>(INT64_MAX) / RUX_INDEX_ENTRY_SIZE ||
            location > static_cast<uint64_t>(INT64_MAX) - RUX_INDEX_ENTRY_SIZE * capacity) {
            return rux_stop_writing(handle, RUX_ERROR_FILE_CORRUPT);
        }
        result = write_cut_block(handle, location, kept, capacity);
        if (result == RUX_SUCCESS) {
            result = switch_to_cut_block(handle, location, kept, capacity);
        }
        if (result != RUX_SUCCESS) {
            return result;
        }
    }
    handle->frame_index.size = 0;
    handle->pending_index_entries = 0;
    handle->cur_frame = frames;
    return RUX_SUCCESS;
}

}  // namespace

int rux_truncate_frames(rux_handle *handle, uint64_t n) {
    const int result = truncate_frames(handle, n);
    RUX_ASSERT_HANDLE(handle);
    return result;
}
