// Reads of many chunks at once: one name across a selection of frames (a
// series, of all rows or of selected rows of every chunk) and every chunk of
// one frame. Both find their entries in one walk of the mapped index and move
// the bytes with few system calls, so that analysis reads cost about what
// copying the bytes costs.
//
// Guarantees kept here:
//  (1) Every entry is checked (type, size, location within the file size the
//      handle knows) before any byte is copied, so a damaged entry gives
//      RUX_ERROR_FILE_CORRUPT with the destination untouched. A file cut
//      shorter since then is never touched past its end: positional reads
//      come back short (RUX_ERROR_IO), and the handle's data mapping is
//      copied from only below the file's length taken again in that call.
//  (2) Every chunk found is the entry that rux_find_chunk gives, on any
//      index, sorted or damaged, in either layout (a name written twice in
//      one frame included): the reads repeat its searches (index_search.h),
//      or walk an index checked to be in order; every entry found is checked
//      to be sound.
//  (3) The destination is never written past destination_size.
//  (4) Selected rows are checked against N before any byte is copied, so a
//      series read copies only from inside the chunks it selected.
#include <sys/mman.h>
#include <unistd.h>

#include <cassert>
#include <cstring>

#include "containers.h"
#include "handle_ops.h"
#include "index_search.h"
#include "sys_io.h"

namespace {

// Copies through the handle's read-only mapping pay off once the series is
// scattered over many small pieces; fewer or larger runs are read with one
// positional read each, straight into the destination.
constexpr uint64_t kMaxReadRuns = 16;
constexpr uint64_t kMinBytesPerReadRun = 65536;
// Checking an entry's order costs about this many times less than a search
// of a series read repeating rux_find_chunk's probes, which miss the cache
// (4 ns against 60 ns on a 10^6-entry index); and the check is remembered.
constexpr uint64_t kEntriesCheckedPerSearch = 16;
// Adjacent chunks of a frame are read together up to this many bytes.
constexpr uint64_t kMaxFrameSpan = 8u << 20;

bool flush_for_lookup(rux_handle *handle, int *error) {
    *error = rux_lookup_flushes(handle) ? rux_flush(handle) : RUX_SUCCESS;
    return *error == RUX_SUCCESS;
}

// Where the file ends now. The handle's file_size may be stale: someone may
// have cut the file since, and a mapping must never be touched past the end.
int current_end(const rux_handle *handle, uint64_t *end) {
    const off_t length = rux_sys_lseek(handle->fd, 0, SEEK_END);
    if (length < 0) {
        return RUX_ERROR_IO;
    }
    *end = static_cast<uint64_t>(length);
    return RUX_SUCCESS;
}

// Byte count of an entry that may be read below `end`; false for a damaged
// entry. Entries without bytes are accepted: nothing is read for them.
bool entry_bytes(const rux_index_entry &entry, uint64_t end, uint64_t *bytes) {
    uint64_t stop = 0;
    if (rux_type_size(entry.type) == 0 || !rux_index_entry_byte_count(&entry, bytes)) {
        return false;
    }
    return *bytes == 0 ||
           (entry.location > 0 &&
            !__builtin_add_overflow(static_cast<uint64_t>(entry.location), *bytes, &stop) &&
            stop <= end);
}

// Key order of the version 2 layout (frame, id); the version 1 layout orders
// by frame alone, which a key id of 0 and `by_frame` select.
bool entry_before(const rux_index_entry &entry, uint64_t frame, uint16_t id, bool by_frame) {
    if (entry.frame != frame) {
        return entry.frame < frame;
    }
    return !by_frame && entry.id < id;
}

// First entry not before the key. Searching forward from a cursor costs the
// logarithm of the distance walked, so a selection in frame order walks the
// index once; a key behind the cursor falls back to a plain binary search.
uint64_t lower_bound_from(const rux_index_buffer &index, uint64_t cursor, uint64_t frame,
                          uint16_t id, bool by_frame) {
    uint64_t lo = 0;
    uint64_t hi = index.size;
    if (cursor < index.size &&
        entry_before(rux_index_entry_load(&index.data[cursor]), frame, id, by_frame)) {
        lo = cursor + 1;
        uint64_t step = 1;
        hi = lo;
        while (hi < index.size &&
               entry_before(rux_index_entry_load(&index.data[hi]), frame, id, by_frame)) {
            lo = hi + 1;
            step *= 2;
            hi = index.size - lo > step ? lo + step : index.size;
        }
    }
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (entry_before(rux_index_entry_load(&index.data[mid]), frame, id, by_frame)) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

// The entry that rux_find_chunk gives for (frame, id) in a checked index
// (rux_index_check_order), found by a walk from *cursor, which moves to where
// the next frame's search starts; null when the frame holds no such chunk.
const rux_index_entry *find_from(const rux_index_buffer &index, bool v2, uint64_t *cursor,
                                 uint64_t frame, uint16_t id) {
    const uint64_t first = lower_bound_from(index, *cursor, frame, id, !v2);
    *cursor = first;
    if (v2) {
        if (first >= index.size) {
            return nullptr;
        }
        const rux_index_entry entry = rux_index_entry_load(&index.data[first]);
        if (entry.frame != frame || entry.id != id) {
            return nullptr;
        }
        if (first + 1 < index.size) {
            const rux_index_entry next = rux_index_entry_load(&index.data[first + 1]);
            if (next.frame == frame && next.id == id) {
                return rux_index_find_sorted(index, frame, id);  // written twice
            }
        }
        return &index.data[first];
    }
    const rux_index_entry *found = nullptr;
    for (uint64_t i = first; i < index.size; ++i) {
        const rux_index_entry entry = rux_index_entry_load(&index.data[i]);
        if (entry.frame != frame) {
            break;
        }
        if (entry.id == id) {
            found = &index.data[i];  // the later one wins, as in rux_find_chunk
        }
    }
    return found;
}

// The entry that rux_find_chunk gives for (frame, id), by its own probes
// (index_search.h); null when the frame holds no such chunk.
const rux_index_entry *find_in_series(const rux_handle *handle, rux_index_search *search,
                                      uint64_t frame, uint16_t id) {
    const int64_t at = search->find(frame, id);
    if (at < 0) {
        return nullptr;
    }
    const rux_index_buffer &index = handle->file_index;
    if (rux_has_v2_layout(handle->header)) {
        return &index.data[at];
    }
    // The walk back of rux_index_find_in_frame: the later of two entries wins.
    return rux_index_walk_back(index, static_cast<uint64_t>(at), frame, id);
}

// Frames and rows are selected alike; arithmetic selections wrap like the
// caller's unsigned arithmetic.
template <typename Selection>
uint64_t selected(const Selection &selection, uint64_t i) {
    return selection.list != nullptr
               ? selection.list[i]
               : selection.start + static_cast<uint64_t>(selection.step) * i;
}

int refuse(rux_series_info *info, rux_series_problem problem, uint64_t frame) {
    info->problem = static_cast<uint8_t>(problem);
    info->problem_frame = frame;
    return RUX_ERROR_INVALID_ARGUMENT;
}

// The position in selection order of the first row that is not below N, or
// rows.count when every row is. Arithmetic selections are checked at their
// ends in O(1): the rows between lie between them.
uint64_t first_row_out_of_range(const rux_row_selection &rows, uint64_t N) {
    if (rows.list != nullptr) {
        uint64_t i = 0;
        while (i < rows.count && rows.list[i] < N) {
            ++i;
        }
        return i;
    }
    if (rows.count == 0 || rows.start >= N) {
        return 0;
    }
    uint64_t first_out = rows.count;  // of a step of 0: none
    if (rows.step > 0) {
        first_out = (N - 1 - rows.start) / static_cast<uint64_t>(rows.step) + 1;
    } else if (rows.step < 0) {
        const uint64_t down = 0 - static_cast<uint64_t>(rows.step);  // also of INT64_MIN
        first_out = rows.start / down + 1;
    }
    return first_out < rows.count ? first_out : rows.count;
}

// The selected rows of one chunk as runs of rows that lie back to back, in
// selection order: every row (a null selection) and a step of 1 are one run;
// a list is cut wherever the next row is not the one after. Walking a list
// again for every chunk costs no more than copying its rows.
class RowRuns {
  public:
    RowRuns(const rux_row_selection *rows, uint64_t N) : rows_(rows), N_(N) {}

    void restart() { next_ = 0; }

    bool next(uint64_t *first, uint64_t *count) {
        if (rows_ == nullptr) {
            *first = 0;
            *count = N_;
            return next_++ == 0 && N_ != 0;
        }
        if (next_ >= rows_->count) {
            return false;
        }
        *first = selected(*rows_, next_);
        uint64_t length = 1;
        if (rows_->list == nullptr) {
            length = rows_->step == 1 ? rows_->count : 1;
        } else {
            const uint64_t *list = rows_->list;
            while (next_ + length < rows_->count && list[next_ + length] == *first + length) {
                ++length;
            }
        }
        next_ += length;
        *count = length;
        assert(*first < N_ && *count <= N_ - *first);
        return true;
    }

  private:
    const rux_row_selection *rows_;
    uint64_t N_;
    uint64_t next_ = 0;
};

// What a series read copies: the selected rows of every chunk, which lie at
// `locations`, each chunk `chunk_bytes` long, into the destination in order.
struct SeriesCopy {
    const uint64_t *locations;
    uint64_t count;
    uint64_t chunk_bytes;
    uint64_t row_bytes;
    RowRuns runs;

    // Pieces of the file read with one positional read each: the runs of
    // every chunk, a run that ends a chunk joined with the next one's first
    // when the chunks lie back to back.
    uint64_t read_pieces() {
        uint64_t per_chunk = 0;
        uint64_t first = 0;
        uint64_t length = 0;
        uint64_t first_row = 0;
        uint64_t last_end = 0;
        runs.restart();
        while (runs.next(&first, &length)) {
            first_row = per_chunk == 0 ? first : first_row;
            last_end = first + length;
            ++per_chunk;
        }
        // per_chunk * count pieces of at least one row each fit in the
        // destination: no overflow.
        uint64_t pieces = per_chunk * count;
        if (per_chunk != 0 && first_row == 0 && last_end * row_bytes == chunk_bytes) {
            for (uint64_t i = 1; i < count; ++i) {
                pieces -= locations[i] == locations[i - 1] + chunk_bytes ? 1 : 0;
            }
        }
        return pieces;
    }

    int read(int fd, uint8_t *out) {
        uint64_t start = 0;
        uint64_t length = 0;
        uint8_t *into = out;
        for (uint64_t i = 0; i < count; ++i) {
            uint64_t first = 0;
            uint64_t rows = 0;
            runs.restart();
            while (runs.next(&first, &rows)) {
                const uint64_t offset = locations[i] + first * row_bytes;
                if (length != 0 && offset == start + length) {
                    length += rows * row_bytes;
                    continue;
                }
                if (length != 0 && !read_piece(fd, start, length, &into)) {
                    return RUX_ERROR_IO;
                }
                start = offset;
                length = rows * row_bytes;
            }
        }
        return length == 0 || read_piece(fd, start, length, &into) ? RUX_SUCCESS : RUX_ERROR_IO;
    }

    // Copies out of the handle's data mapping; false when the file cannot be
    // mapped that far (the caller then reads).
    bool copy_mapped(rux_handle *handle, uint8_t *out) {
        uint64_t end = 0;
        for (uint64_t i = 0; i < count; ++i) {
            end = locations[i] + chunk_bytes > end ? locations[i] + chunk_bytes : end;
        }
        uint64_t file_end = 0;
        const uint8_t *file = nullptr;
        if (current_end(handle, &file_end) != RUX_SUCCESS || file_end < end ||
            rux_data_map_cover(handle, end, file_end, &file) != RUX_SUCCESS) {
            return false;  // the reads that follow report what is wrong
        }
        for (uint64_t i = 0; i < count; ++i) {
            const uint8_t *chunk = file + locations[i];
            // Scattered rows are a cache (and TLB) miss each: asking for the
            // runs ahead keeps many misses in flight instead of one at a time.
            RowRuns ahead = runs;
            ahead.restart();
            for (uint64_t k = 0; k < kPrefetchRuns; ++k) {
                if (!prefetch(&ahead, chunk)) {
                    break;
                }
            }
            uint64_t first = 0;
            uint64_t rows = 0;
            runs.restart();
            while (runs.next(&first, &rows)) {
                prefetch(&ahead, chunk);
                const auto length = static_cast<size_t>(rows * row_bytes);
                std::memcpy(out, chunk + first * row_bytes, length);
                out += length;
            }
        }
        return true;
    }

  private:
    static constexpr uint64_t kPrefetchRuns = 32;

    // Prefetches the first and last bytes of the next run of `ahead`.
    bool prefetch(RowRuns *ahead, const uint8_t *chunk) const {
        uint64_t first = 0;
        uint64_t rows = 0;
        if (!ahead->next(&first, &rows)) {
            return false;
        }
        __builtin_prefetch(chunk + first * row_bytes);
        __builtin_prefetch(chunk + (first + rows) * row_bytes - 1);
        return true;
    }

    static bool read_piece(int fd, uint64_t offset, uint64_t length, uint8_t **into) {
        if (rux_pread_all(fd, *into, length, offset) != static_cast<int64_t>(length)) {
            return false;
        }
        *into += length;
        return true;
    }
};

// Few or large pieces are read straight into the destination; many small
// ones (a scalar per frame, scattered rows) are copied out of the mapping.
int copy_series(rux_handle *handle, SeriesCopy *copy, uint64_t bytes, uint8_t *out) {
    const uint64_t pieces = copy->read_pieces();
    if ((pieces <= kMaxReadRuns || bytes / pieces >= kMinBytesPerReadRun) ||
        !copy->copy_mapped(handle, out)) {
        return copy->read(handle->fd, out);
    }
    return RUX_SUCCESS;
}

// Name of an id in the namelist block, walking a version 2 list from a cursor
// (ids come in increasing order); null when the list has no such name.
const char *name_of_id(const rux_handle *handle, uint16_t id, uint64_t *cursor_id,
                       uint64_t *cursor_offset) {
    const rux_byte_buffer &block = handle->file_names.bytes;
    if (id >= handle->file_names.count || block.data == nullptr) {
        return nullptr;
    }
    const char *begin = reinterpret_cast<const char *>(block.data);
    if (!rux_has_v2_layout(handle->header)) {
        const uint64_t offset = static_cast<uint64_t>(id) * RUX_NAMELIST_UNIT;
        return offset < block.reserved ? begin + offset : nullptr;
    }
    if (id < *cursor_id) {
        *cursor_id = 0;
        *cursor_offset = 0;
    }
    // The block ends in a 0 byte (checked at open), so strlen stays inside.
    while (*cursor_id < id && *cursor_offset < block.reserved) {
        *cursor_offset += std::strlen(begin + *cursor_offset) + 1;
        ++*cursor_id;
    }
    return *cursor_offset < block.reserved ? begin + *cursor_offset : nullptr;
}

// Copies a frame's checked chunks out of the handle's data mapping when they
// are few bytes in all (larger ones are read: no page tables to fill); false
// when the caller is to read them.
bool copy_frame_mapped(rux_handle *handle, const rux_chunk_info *chunks, uint64_t count,
                       void *const *destinations) {
    uint64_t total = 0;
    uint64_t end = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (destinations[i] != nullptr && chunks[i].bytes != 0) {
            total += chunks[i].bytes;  // each below the file size: no overflow
            const uint64_t stop = static_cast<uint64_t>(chunks[i].location) + chunks[i].bytes;
            end = stop > end ? stop : end;
        }
    }
    uint64_t file_end = 0;
    const uint8_t *file = nullptr;
    if (total == 0 || total > kMaxFrameSpan || current_end(handle, &file_end) != RUX_SUCCESS ||
        file_end < end || rux_data_map_cover(handle, end, file_end, &file) != RUX_SUCCESS) {
        return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
        if (destinations[i] != nullptr && chunks[i].bytes != 0) {
            std::memcpy(destinations[i], file + chunks[i].location,
                        static_cast<size_t>(chunks[i].bytes));
        }
    }
    return true;
}

// The chunks of a frame as rux_find_frame_chunks lists them: an entry whose
// id no name reaches (a name stored twice maps to its first id) is not
// readable by name, so it is no chunk of the frame.
struct FrameListing {
    FrameListing(const rux_handle *handle, rux_chunk_info *chunks, uint64_t capacity)
        : handle_(handle), chunks_(chunks), capacity_(capacity) {}

    // Whether the entry at the position is listed.
    bool listed(int64_t position) {
        const rux_index_entry entry = rux_index_entry_load(&handle_->file_index.data[position]);
        const char *name = name_of_id(handle_, entry.id, &name_id_, &name_offset_);
        return name != nullptr && rux_name_id_map_lookup(&handle_->name_map, name) == entry.id;
    }
    // Lists the entry at the position as chunk `slot`, when it is listed.
    void add(int64_t position, uint64_t slot) {
        if (!listed(position)) {
            return;
        }
        ++total;
        const rux_index_entry entry = rux_index_entry_load(&handle_->file_index.data[position]);
        sound = sound && rux_index_entry_is_sound(entry, handle_);
        if (slot >= capacity_ || !sound) {
            return;
        }
        rux_chunk_info &chunk = chunks_[slot];
        chunk.name = name_of_id(handle_, entry.id, &name_id_, &name_offset_);
        chunk.location = entry.location;
        chunk.N = entry.N;
        chunk.M = entry.M;
        chunk.id = entry.id;
        chunk.type = entry.type;
        const bool counted = rux_index_entry_byte_count(&entry, &chunk.bytes);
        assert(counted);  // a sound entry
        (void)counted;
    }

    uint64_t total = 0;
    bool sound = true;  // every chunk listed is (a read of one would be corrupt)

  private:
    const rux_handle *handle_;
    rux_chunk_info *chunks_;
    uint64_t capacity_;
    uint64_t name_id_ = 0;
    uint64_t name_offset_ = 0;
};

// A version 1 layout frame: the entries before the position from which
// rux_index_find_in_frame walks back, as far as the frame goes, each id's
// last one (the one that walk meets first), listed in index order. Two
// walks back: one counts the chunks, the next puts each at its place.
void list_version_1_frame(const rux_handle *handle, uint64_t frame, FrameListing *listing) {
    rux_index_search search(handle);
    const int64_t last = search.find(frame, 0);
    const rux_index_buffer &index = handle->file_index;
    uint64_t seen[(RUX_MAX_NAMES + 64) / 64];
    uint64_t total = 0;
    for (int pass = 0; pass < 2; ++pass) {
        std::memset(seen, 0, sizeof seen);
        const uint64_t listed_before = listing->total;
        uint64_t later = 0;  // chunks this walk has listed: those after this one
        for (int64_t i = last; i >= 0; --i) {
            const rux_index_entry entry = rux_index_entry_load(&index.data[i]);
            if (entry.frame != frame) {
                break;
            }
            uint64_t &word = seen[entry.id / 64];
            const uint64_t bit = 1ull << (entry.id % 64);
            if ((word & bit) != 0) {
                continue;  // a later entry of the id stands in the frame
            }
            word |= bit;
            if (pass == 0) {
                later += listing->listed(i) ? 1 : 0;
            } else {
                listing->add(i, total - 1 - (listing->total - listed_before));
            }
        }
        total = pass == 0 ? later : total;
    }
}

}  // namespace

int rux_data_map_cover(rux_handle *handle, uint64_t end, uint64_t file_end,
                       const uint8_t **bytes) {
    assert(end <= file_end);
    if (handle->data_map_base == nullptr || handle->data_map_length < end) {
        if (file_end == 0 || file_end > SIZE_MAX || file_end > static_cast<uint64_t>(INT64_MAX)) {
            return RUX_ERROR_IO;
        }
        void *mapping = rux_sys_mmap(nullptr, static_cast<size_t>(file_end), PROT_READ,
                                     MAP_SHARED, handle->fd, 0);
        if (mapping == MAP_FAILED) {
            return RUX_ERROR_IO;
        }
        if (rux_data_map_release(handle) != RUX_SUCCESS) {
            rux_sys_munmap(mapping, static_cast<size_t>(file_end));
            return RUX_ERROR_IO;
        }
        handle->data_map_base = mapping;
        handle->data_map_length = file_end;
    }
    *bytes = static_cast<const uint8_t *>(handle->data_map_base);
    return RUX_SUCCESS;
}

int rux_data_map_release(rux_handle *handle) {
    if (handle->data_map_base == nullptr) {
        return RUX_SUCCESS;
    }
    if (rux_sys_munmap(handle->data_map_base, static_cast<size_t>(handle->data_map_length)) != 0) {
        return RUX_ERROR_IO;
    }
    handle->data_map_base = nullptr;
    handle->data_map_length = 0;
    return RUX_SUCCESS;
}

int rux_read_series(rux_handle *handle, const char *name, const rux_frame_selection *frames,
                    void *destination, uint64_t destination_size, rux_series_info *info) {
    return rux_read_series_rows(handle, name, frames, nullptr, destination, destination_size,
                                info);
}

int rux_read_series_rows(rux_handle *handle, const char *name, const rux_frame_selection *frames,
                         const rux_row_selection *rows, void *destination,
                         uint64_t destination_size, rux_series_info *info) {
    if (info != nullptr) {
        *info = rux_series_info{};
    }
    if (handle == nullptr || name == nullptr || frames == nullptr || info == nullptr ||
        !rux_is_usable(handle)) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    int result = RUX_SUCCESS;
    if (frames->count == 0) {
        return RUX_SUCCESS;
    }
    if (!flush_for_lookup(handle, &result)) {
        return result;
    }
    const auto end = static_cast<uint64_t>(handle->file_size);
    const uint16_t id = rux_name_id_map_lookup(&handle->name_map, name);
    const rux_index_buffer &index = handle->file_index;
    const bool v2 = rux_has_v2_layout(handle->header);
    // Only the first frame is resolved when the caller asks for the shape.
    const uint64_t count = destination == nullptr ? 1 : frames->count;
    // Walking the index meets what rux_find_chunk's searches meet once every
    // entry is checked in order; a selection that costs more in repeated
    // searches than checking the rest costs has it checked.
    const uint64_t unchecked = index.size - handle->index_checked_entries;
    const bool walk = unchecked == 0 || (count >= unchecked / kEntriesCheckedPerSearch &&
                                         rux_index_check_order(handle));
    rux_index_search search(handle);
    uint64_t cursor = 0;
    uint64_t *locations = nullptr;
    if (destination != nullptr) {
        uint64_t location_bytes = 0;
        if (__builtin_mul_overflow(count, sizeof *locations, &location_bytes) ||
            location_bytes > SIZE_MAX) {
            return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
        }
        locations = static_cast<uint64_t *>(rux_sys_malloc(static_cast<size_t>(location_bytes)));
        if (locations == nullptr) {
            return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
        }
    }
    uint64_t chunk_bytes = 0;
    uint64_t row_bytes = 0;
    for (uint64_t i = 0; i < count && result == RUX_SUCCESS; ++i) {
        const uint64_t frame = selected(*frames, i);
        if (frame >= handle->cur_frame) {
            result = refuse(info, RUX_SERIES_FRAME_OUT_OF_RANGE, frame);
            break;
        }
        const rux_index_entry *found = nullptr;
        if (id != RUX_NAME_ID_NONE) {
            found = walk ? find_from(index, v2, &cursor, frame, id)
                         : find_in_series(handle, &search, frame, id);
        }
        if (found == nullptr) {
            result = refuse(info, RUX_SERIES_CHUNK_MISSING, frame);
            break;
        }
        const rux_index_entry entry = rux_index_entry_load(found);
        uint64_t bytes = 0;
        if (!rux_index_entry_is_sound(entry, handle) || !entry_bytes(entry, end, &bytes)) {
            info->problem_frame = frame;
            result = RUX_ERROR_FILE_CORRUPT;
            break;
        }
        if (i == 0) {
            info->type = entry.type;
            info->N = entry.N;
            info->M = entry.M;
            chunk_bytes = bytes;
            // Below the chunk's bytes when N is not 0, so no overflow.
            row_bytes = rux_type_size(entry.type) * static_cast<uint64_t>(entry.M);
            uint64_t selected_rows = entry.N;
            if (rows != nullptr) {
                if (entry.type == RUX_TYPE_CHARACTER) {
                    result = refuse(info, RUX_SERIES_ROWS_OF_TEXT, frame);
                    break;
                }
                const uint64_t out_of_range = first_row_out_of_range(*rows, entry.N);
                if (out_of_range < rows->count) {
                    info->problem_row = selected(*rows, out_of_range);
                    result = refuse(info, RUX_SERIES_ROW_OUT_OF_RANGE, frame);
                    break;
                }
                selected_rows = rows->count;
            }
            uint64_t per_chunk = 0;
            if (__builtin_mul_overflow(selected_rows, row_bytes, &per_chunk) ||
                __builtin_mul_overflow(per_chunk, frames->count, &info->bytes)) {
                result = RUX_ERROR_INVALID_ARGUMENT;  // no memory can hold it
                break;
            }
        } else if (entry.type != info->type || entry.N != info->N || entry.M != info->M) {
            result = refuse(info, RUX_SERIES_SHAPE_MISMATCH, frame);
            break;
        }
        if (locations != nullptr) {
            locations[i] = static_cast<uint64_t>(entry.location);
        }
    }
    if (result == RUX_SUCCESS && destination != nullptr) {
        if (destination_size < info->bytes) {
            result = refuse(info, RUX_SERIES_BUFFER_TOO_SMALL, selected(*frames, 0));
        } else if (info->bytes != 0) {
            SeriesCopy copy{locations, count, chunk_bytes, row_bytes, RowRuns(rows, info->N)};
            result = copy_series(handle, &copy, info->bytes, static_cast<uint8_t *>(destination));
        }
    }
    rux_sys_free(locations);
    return result;
}

int rux_find_frame_chunks(rux_handle *handle, uint64_t frame, rux_chunk_info *chunks,
                          uint64_t capacity, uint64_t *count) {
    if (handle == nullptr || count == nullptr || (chunks == nullptr && capacity != 0) ||
        !rux_is_usable(handle) || frame >= handle->cur_frame) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    *count = 0;
    int result = RUX_SUCCESS;
    if (!flush_for_lookup(handle, &result)) {
        return result;
    }
    const rux_index_buffer &index = handle->file_index;
    if (index.size == 0) {
        return RUX_SUCCESS;
    }
    FrameListing listing(handle, chunks, capacity);
    if (rux_has_v2_layout(handle->header)) {
        auto visit = [&listing](int64_t position) { listing.add(position, listing.total); };
        rux_index_for_each_in_frame(index, frame, 0, static_cast<int64_t>(index.size) - 1, -1,
                                    RUX_NAME_ID_NONE, visit);
    } else {
        list_version_1_frame(handle, frame, &listing);
    }
    if (!listing.sound) {
        return RUX_ERROR_FILE_CORRUPT;
    }
    *count = listing.total;
    return RUX_SUCCESS;
}

int rux_read_chunks(rux_handle *handle, const rux_chunk_info *chunks, uint64_t count,
                    void *const *destinations) {
    if (handle == nullptr || (count != 0 && (chunks == nullptr || destinations == nullptr)) ||
        !rux_is_usable(handle)) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    const auto end = static_cast<uint64_t>(handle->file_size);
    int result = RUX_SUCCESS;
    for (uint64_t i = 0; i < count && result == RUX_SUCCESS; ++i) {
        rux_index_entry entry{};
        entry.location = chunks[i].location;
        entry.N = chunks[i].N;
        entry.M = chunks[i].M;
        entry.type = chunks[i].type;
        uint64_t bytes = 0;
        if (!entry_bytes(entry, end, &bytes) || bytes != chunks[i].bytes) {
            result = RUX_ERROR_FILE_CORRUPT;
        }
    }
    if (result == RUX_SUCCESS && copy_frame_mapped(handle, chunks, count, destinations)) {
        return RUX_SUCCESS;
    }
    uint8_t *span = nullptr;
    uint64_t span_capacity = 0;
    uint64_t i = 0;
    while (i < count && result == RUX_SUCCESS) {
        // Chunks that follow each other in the file go through one read.
        uint64_t length = destinations[i] != nullptr ? chunks[i].bytes : 0;
        uint64_t j = i + 1;
        while (length != 0 && j < count && destinations[j] != nullptr && chunks[j].bytes != 0 &&
               static_cast<uint64_t>(chunks[j].location) ==
                   static_cast<uint64_t>(chunks[j - 1].location) + chunks[j - 1].bytes &&
               length + chunks[j].bytes <= kMaxFrameSpan) {
            length += chunks[j].bytes;
            ++j;
        }
        const auto offset = static_cast<uint64_t>(chunks[i].location);
        if (length == 0) {
            // nothing to read for this chunk
        } else if (j == i + 1) {
            if (rux_pread_all(handle->fd, destinations[i], length, offset) !=
                static_cast<int64_t>(length)) {
                result = RUX_ERROR_IO;
            }
        } else {
            if (length > span_capacity) {
                rux_sys_free(span);
                span = static_cast<uint8_t *>(rux_sys_malloc(static_cast<size_t>(length)));
                span_capacity = span == nullptr ? 0 : length;
            }
            if (span == nullptr) {
                result = RUX_ERROR_MEMORY_ALLOCATION_FAILED;
            } else if (rux_pread_all(handle->fd, span, length, offset) !=
                       static_cast<int64_t>(length)) {
                result = RUX_ERROR_IO;
            } else {
                for (uint64_t k = i; k < j; ++k) {
                    const auto at = static_cast<uint64_t>(chunks[k].location) - offset;
                    assert(at + chunks[k].bytes <= length);
                    std::memcpy(destinations[k], span + at, static_cast<size_t>(chunks[k].bytes));
                }
            }
        }
        i = j;
    }
    rux_sys_free(span);
    return result;
}
