// Flushing: moves everything a writable handle has staged into the file.
//
// What a reader finds after a crash at any point of a flush:
//  (1) No index entry is in the file before the names and the data that it
//      refers to are synced: names, then data, then entries, with an fsync
//      after each of the first two.
//  (2) Entries are only ever written into the zero part of the index block,
//      behind the used entries; readers count used entries themselves, so the
//      header does not change when entries are added.
//  (3) A grown block (namelist or index) is written whole at the end of the
//      file and synced before the header points at it; the old block stays
//      intact as dead space, so the header names a complete block either way.
//  (4) Existing bytes are never overwritten except the header, the zero part
//      of the index block and the zero tail of the namelist block.
//  (5) A flush that wrote entries syncs them before it reports success, so
//      every frame it recorded survives a power cut.
//  (6) In a file with a commit record, the header that counts the new
//      entries is written and synced after them (commit_record.cpp), and
//      only then does the flush report success.
// A failure after a flush began to change the file's blocks or header stops
// the handle from writing (write_error): the in-memory header is put back to
// what the file held, and no later flush builds on a state that may not have
// reached the disk (a failed fsync may have dropped the pages it covered).
#include <unistd.h>

#include <cassert>
#include <cstring>

#include "containers.h"
#include "handle_ops.h"
#include "sys_io.h"

namespace {

// Appends the new names to the namelist block in place: into the memory of
// file_names (so that names returned by earlier listings stay valid) and into
// the file, with the zero tail behind them. On failure the memory is put back.
int write_names_in_place(rux_handle *handle) {
    rux_byte_buffer &block = handle->file_names.bytes;
    const rux_byte_buffer &added = handle->frame_names.bytes;
    const uint64_t old_end = block.size;
    std::memcpy(block.data + old_end, added.data, static_cast<size_t>(added.size));
    std::memset(block.data + old_end + added.size, 0,
                static_cast<size_t>(block.reserved - old_end - added.size));
    // (4) Only the zero tail of the block is written over; (1) synced before
    // any entry can use the names.
    int result = rux_write_all(handle, block.data + old_end, block.reserved - old_end,
                               handle->header.namelist_location + old_end);
    if (result == RUX_SUCCESS) {
        result = rux_fsync(handle->fd);
    }
    if (result != RUX_SUCCESS) {
        std::memset(block.data + old_end, 0, static_cast<size_t>(added.size));
        return result;
    }
    block.size = old_end + added.size;
    return RUX_SUCCESS;
}

// Writes a grown namelist block at the end of the file, then points the header
// at it. On failure the in-memory header and file_size stay as the file had them.
int write_grown_namelist(rux_handle *handle, const rux_byte_buffer &block) {
    const uint64_t location = static_cast<uint64_t>(handle->file_size);
    // (3) The whole block at the end of the file, synced, before the header
    // names it; the old block stays as it was.
    int result = rux_write_all(handle, block.data, block.reserved, location);
    if (result == RUX_SUCCESS) {
        result = rux_fsync(handle->fd);
    }
    if (result != RUX_SUCCESS) {
        return result;
    }
    const rux_header old_header = handle->header;
    handle->header.namelist_location = location;
    handle->header.namelist_allocated_entries = block.reserved / RUX_NAMELIST_UNIT;
    result = rux_write_header(handle);
    if (result == RUX_SUCCESS) {
        result = rux_fsync(handle->fd);
    }
    if (result != RUX_SUCCESS) {
        handle->header = old_header;
        return result;
    }
    handle->file_size += static_cast<int64_t>(block.reserved);
    return RUX_SUCCESS;
}

// Builds the grown namelist block with the new names appended. Until it is
// in the file, file_names and frame_names are left as they are.
int compose_namelist(const rux_handle *handle, rux_byte_buffer *block) {
    const rux_byte_buffer &stored = handle->file_names.bytes;
    const rux_byte_buffer &added = handle->frame_names.bytes;
    const uint64_t needed = stored.size + added.size;
    const uint64_t capacity =
        needed <= stored.reserved ? stored.reserved : rux_doubled_capacity(stored.reserved, needed);
    if (capacity == 0 || capacity % RUX_NAMELIST_UNIT != 0) {
        return rux_internal_error(RUX_ERROR_INVALID_ARGUMENT);
    }
    int result = rux_byte_buffer_init(block, capacity);
    if (result == RUX_SUCCESS && stored.size != 0) {
        result = rux_byte_buffer_append(block, stored.data, stored.size);
    }
    if (result == RUX_SUCCESS) {
        result = rux_byte_buffer_append(block, added.data, added.size);
    }
    return result;
}

// Step 1 of a flush: names added since the last flush reach the namelist block.
int flush_names(rux_handle *handle) {
    rux_name_list &stored = handle->file_names;
    rux_name_list &added = handle->frame_names;
    if (added.count == 0) {
        return RUX_SUCCESS;
    }
    if (added.bytes.size == 0 || stored.bytes.data == nullptr || stored.bytes.reserved == 0) {
        return rux_internal_error(RUX_ERROR_INVALID_ARGUMENT);
    }
    const bool fits = stored.bytes.size + added.bytes.size <= stored.bytes.reserved;
    int result = RUX_SUCCESS;
    if (fits) {
        result = write_names_in_place(handle);
    } else {
        rux_byte_buffer block{};
        result = compose_namelist(handle, &block);
        if (result == RUX_SUCCESS) {
            result = write_grown_namelist(handle, block);
        }
        if (result == RUX_SUCCESS) {
            rux_byte_buffer_release(&stored.bytes);
            stored.bytes = block;
        } else if (block.data != nullptr) {
            rux_byte_buffer_release(&block);
        }
    }
    if (result != RUX_SUCCESS) {
        return result == RUX_ERROR_INVALID_ARGUMENT ? result : rux_stop_writing(handle, result);
    }
    stored.count += added.count;
    added.count = 0;
    std::memset(added.bytes.data, 0, static_cast<size_t>(added.bytes.reserved));
    added.bytes.size = 0;
    return RUX_SUCCESS;
}

// The largest frame among the entries of completed frames.
uint64_t last_completed_frame(const rux_handle *handle) {
    uint64_t last = 0;
    for (uint64_t i = 0; i < handle->frame_index.size; ++i) {
        const uint64_t frame = handle->frame_index.data[i].frame;
        if (frame < handle->cur_frame && frame > last) {
            last = frame;
        }
    }
    return last;
}

// Makes the index block hold `count` more entries and every frame written:
// an entry's frame must stay below the block's capacity to pass validation.
int make_room_for_entries(rux_handle *handle, uint64_t count) {
    const uint64_t required = handle->file_index.size + count;
    const uint64_t last_frame = last_completed_frame(handle);
    const uint64_t capacity = handle->file_index.reserved;
    if (required <= capacity && last_frame < capacity) {
        return RUX_SUCCESS;
    }
    return rux_expand_file_index(handle, required > last_frame ? required : last_frame);
}

// Writes the entries of completed frames behind the used entries and keeps
// the open frame's entries staged.
int write_completed_entries(rux_handle *handle, uint64_t count) {
    rux_index_buffer &staged = handle->frame_index;
    int result = make_room_for_entries(handle, count);
    if (result == RUX_SUCCESS) {
        result = rux_index_buffer_sort(&staged);
    }
    if (result != RUX_SUCCESS) {
        return result;
    }
    // (1) The writer bit and everything the entries refer to are on the disk.
    assert(handle->unsynced_writes == 0);
    // (2) Into the zero part of the block, behind the used entries.
    const uint64_t offset =
        handle->header.index_location + RUX_INDEX_ENTRY_SIZE * handle->file_index.size;
    result = rux_write_all(handle, staged.data, RUX_INDEX_ENTRY_SIZE * count, offset);
    if (result != RUX_SUCCESS) {
        return result;
    }
    // (5) The entries are synced too, so that what a successful flush
    // recorded survives a power cut, not only a killed process.
    if (rux_fsync(handle->fd) != RUX_SUCCESS) {
        return rux_stop_writing(handle, RUX_ERROR_IO);
    }
    handle->unsynced_writes = 0;
    handle->file_index.size += count;
    const uint64_t pending = handle->pending_index_entries;
    std::memmove(staged.data, staged.data + count,
                 static_cast<size_t>(pending) * sizeof(rux_index_entry));
    staged.size = pending;
    // (6) The header that counts them comes after them, synced.
    return handle->keeps_commit_record != 0 ? rux_commit_entries(handle) : RUX_SUCCESS;
}

}  // namespace

namespace {

int flush_staged(rux_handle *handle) {
    // (1) Names, then data, then entries.
    int result = flush_names(handle);
    if (result == RUX_SUCCESS) {
        result = rux_flush_write_buffer(handle);
    }
    if (result != RUX_SUCCESS) {
        return result;
    }
    // Lookups on a writable handle flush before each read; when nothing has
    // been written since the last fsync there is nothing for it to sync.
    // (1) Data are synced before any entry refers to them.
    if (handle->unsynced_writes != 0) {
        if (rux_fsync(handle->fd) != RUX_SUCCESS) {
            return rux_stop_writing(handle, RUX_ERROR_IO);
        }
        handle->unsynced_writes = 0;
    }
    if (handle->frame_index.size < handle->pending_index_entries) {
        return rux_internal_error(RUX_ERROR_INVALID_ARGUMENT);
    }
    const uint64_t completed = handle->frame_index.size - handle->pending_index_entries;
    if (completed == 0) {
        return RUX_SUCCESS;
    }
    return write_completed_entries(handle, completed);
}

}  // namespace

int rux_flush(rux_handle *handle) {
    const int refusal = rux_check_writable(handle);
    if (refusal != RUX_SUCCESS) {
        return refusal;
    }
    int result = flush_staged(handle);
    // Only a failed write of data or entries, which nothing refers to yet,
    // can be retried; any other failure (an index block that cannot grow, a
    // file cut by someone else, staging that does not fit together) would
    // fail again forever, so the handle stops writing and can be closed.
    if (result != RUX_SUCCESS && result != RUX_ERROR_IO) {
        result = rux_stop_writing(handle, result);
    }
    RUX_ASSERT_HANDLE(handle);
    return result;
}

int rux_flush_write_buffer(rux_handle *handle) {
    if (handle == nullptr) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    rux_byte_buffer &buffer = handle->write_buffer;
    rux_index_buffer &buffered = handle->buffer_index;
    if (buffered.size == 0) {
        return buffer.size == 0 ? RUX_SUCCESS : rux_internal_error(RUX_ERROR_INVALID_ARGUMENT);
    }
    const int64_t base = handle->file_size;
    if (buffer.size != 0) {
        // (4) Appended behind everything in the file. Nothing refers to these
        // bytes until their entries are written, so a failed write-out
        // changes nothing and may be retried.
        handle->unsynced_writes = 1;  // a failed write may have moved some bytes
        if (rux_write_all(handle, buffer.data, buffer.size, static_cast<uint64_t>(base)) !=
            RUX_SUCCESS) {
            return RUX_ERROR_IO;
        }
        handle->file_size += static_cast<int64_t>(buffer.size);
        buffer.size = 0;
    }
    for (uint64_t i = 0; i < buffered.size; ++i) {
        rux_index_entry *slot = nullptr;
        const int result = rux_index_buffer_push(&handle->frame_index, &slot);
        if (result != RUX_SUCCESS) {
            // The data are written but not all of their entries are staged.
            return rux_stop_writing(handle, result);
        }
        *slot = buffered.data[i];
        slot->location += base;
    }
    buffered.size = 0;
    return RUX_SUCCESS;
}

namespace {

// Copies the old block to `location` and zero-fills up to the new capacity,
// through a buffer of at most 8 MiB.
// (3) The new block is whole and synced before the header names it.
int copy_index_block(rux_handle *handle, uint64_t location, uint64_t new_capacity) {
    const uint64_t old_bytes = RUX_INDEX_ENTRY_SIZE * handle->header.index_allocated_entries;
    const uint64_t new_bytes = RUX_INDEX_ENTRY_SIZE * new_capacity;
    const uint64_t piece_limit =
        old_bytes < RUX_INDEX_COPY_BUFFER_LIMIT ? old_bytes : RUX_INDEX_COPY_BUFFER_LIMIT;
    auto *piece = static_cast<uint8_t *>(rux_sys_malloc(static_cast<size_t>(piece_limit)));
    if (piece == nullptr) {
        return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
    }
    int result = RUX_SUCCESS;
    for (uint64_t done = 0; done < old_bytes && result == RUX_SUCCESS;) {
        const uint64_t length = old_bytes - done < piece_limit ? old_bytes - done : piece_limit;
        if (rux_pread_all(handle->fd, piece, length, handle->header.index_location + done) !=
            static_cast<int64_t>(length)) {
            result = RUX_ERROR_IO;
        } else {
            result = rux_write_all(handle, piece, length, location + done);
        }
        done += length;
    }
    std::memset(piece, 0, static_cast<size_t>(piece_limit));
    for (uint64_t done = old_bytes; done < new_bytes && result == RUX_SUCCESS;) {
        const uint64_t length = new_bytes - done < piece_limit ? new_bytes - done : piece_limit;
        result = rux_write_all(handle, piece, length, location + done);
        done += length;
    }
    if (result == RUX_SUCCESS) {
        result = rux_fsync(handle->fd);
    }
    rux_sys_free(piece);
    return result;
}

// Where the new block goes: the end of the file, rounded up to a whole entry
// so that the entries of the mapped block (and the pointers that lookups
// return into it) are aligned; the gap is never written. Bytes past
// file_size are left-overs of failed writes that nothing refers to; a file
// shorter than file_size was cut by someone else, and growing into it would
// lose data (4).
int new_block_location(rux_handle *handle, uint64_t *location) {
    const off_t end = rux_sys_lseek(handle->fd, 0, SEEK_END);
    if (end < 0) {
        return RUX_ERROR_IO;
    }
    if (end < handle->file_size) {
        return RUX_ERROR_FILE_CORRUPT;
    }
    const uint64_t misalignment = static_cast<uint64_t>(end) % RUX_INDEX_ENTRY_SIZE;
    *location =
        static_cast<uint64_t>(end) + (misalignment == 0 ? 0 : RUX_INDEX_ENTRY_SIZE - misalignment);
    return RUX_SUCCESS;
}

// Points the header at the new block and maps it. The old mapping stays in
// place until the new one is ready, so a failure leaves lookups working.
int switch_to_index_block(rux_handle *handle, uint64_t location, uint64_t new_capacity) {
    const rux_header old_header = handle->header;
    const int64_t old_file_size = handle->file_size;
    handle->header.index_location = location;
    handle->header.index_allocated_entries = new_capacity;
    handle->file_size = static_cast<int64_t>(location + RUX_INDEX_ENTRY_SIZE * new_capacity);
    return rux_switch_index_mapping(handle, old_header, old_file_size, handle->file_index.size);
}

}  // namespace

int rux_expand_file_index(rux_handle *handle, uint64_t required_entries) {
    const uint64_t old_capacity = handle->header.index_allocated_entries;
    if (old_capacity == 0) {
        // Doubling cannot grow an empty block.
        return RUX_ERROR_FILE_CORRUPT;
    }
    const uint64_t new_capacity = rux_doubled_capacity(old_capacity, required_entries);
    if (new_capacity == 0 ||
        new_capacity > static_cast<uint64_t>(INT64_MAX) / RUX_INDEX_ENTRY_SIZE) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    uint64_t location = 0;
    int result = new_block_location(handle, &location);
    if (result != RUX_SUCCESS) {
        return result;
    }
    if (location > static_cast<uint64_t>(INT64_MAX) - RUX_INDEX_ENTRY_SIZE * new_capacity) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    result = copy_index_block(handle, location, new_capacity);
    if (result == RUX_SUCCESS) {
        result = switch_to_index_block(handle, location, new_capacity);
    }
    if (result != RUX_SUCCESS && result != RUX_ERROR_MEMORY_ALLOCATION_FAILED) {
        return rux_stop_writing(handle, result);
    }
    return result;
}
