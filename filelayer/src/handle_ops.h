// Internal steps shared by the operations of a handle, declared in the order
// data flow through them: the handle's shared steps (handle.cpp), opening
// (create_open.cpp), flushing (flush.cpp), the commit record, the index.
#ifndef RUX_HANDLE_OPS_H
#define RUX_HANDLE_OPS_H

#include <cassert>
#include <cerrno>
#include <cstdint>

#include "format.h"
#include "rux/rux.h"
#include "tuning.h"

// ---- The handle's state and shared steps (handle.cpp) ----

inline bool rux_is_writable(const rux_handle *handle) {
    return handle->open_flags != RUX_OPEN_READONLY;
}
inline bool rux_is_open(const rux_handle *handle) {
    return handle->owns_descriptor != 0;
}
// Open with its containers in place: lookups and reads can run.
inline bool rux_is_usable(const rux_handle *handle) {
    return rux_is_open(handle) && handle->name_map.buckets != nullptr &&
           handle->file_index.data != nullptr;
}
// Lookups and reads flush a writable handle first, unless it stopped writing.
inline bool rux_lookup_flushes(const rux_handle *handle) {
    return rux_is_writable(handle) && handle->write_error == RUX_SUCCESS;
}
// Marks the handle as no longer writable and returns the error. For an I/O
// error it keeps errno too (EIO when the failure left none).
inline int rux_stop_writing(rux_handle *handle, int error) {
    if (handle->write_error == RUX_SUCCESS) {
        handle->write_error = error;
        handle->write_errno = error == RUX_ERROR_IO ? (errno != 0 ? errno : EIO) : 0;
    }
    return error;
}
// The error that stopped writing (RUX_SUCCESS while the handle may write),
// with errno put back to that failure's for RUX_ERROR_IO.
inline int rux_write_error(const rux_handle *handle) {
    if (handle->write_error == RUX_ERROR_IO) {
        errno = handle->write_errno != 0 ? handle->write_errno : EIO;
    }
    return handle->write_error;
}
// The check shared by every writing operation.
int rux_check_writable(const rux_handle *handle);

// Whether the handle's containers, staging and commit point fit together
// (handle.cpp lists the relations). Public operations assert it on return,
// so debug and sanitizer builds stop at the first step that breaks one.
bool rux_handle_check(const rux_handle *handle);
#define RUX_ASSERT_HANDLE(handle) assert(rux_handle_check(handle))
// A staging state that no sequence of calls can produce: stops a debug build
// at once; a release build reports `error`, as it always has.
inline int rux_internal_error(int error) {
    assert(!"the handle's staging does not fit together");
    return error;
}

// Writes all bytes at the offset: RUX_SUCCESS, or RUX_ERROR_IO for a failed
// or short write.
int rux_write_all(const rux_handle *handle, const void *bytes, uint64_t count, uint64_t offset);
// Writes the in-memory header, sealing its commit record when the handle keeps one.
int rux_write_header(rux_handle *handle);
// Writes and syncs the header, which points at a new index block, maps that
// block (which must hold `used_entries`) and only then releases the old
// mapping. On failure the handle gets back `old_header` and `old_file_size`
// and keeps the old mapping, whose bytes are intact, so lookups still work.
int rux_switch_index_mapping(rux_handle *handle, const rux_header &old_header,
                             int64_t old_file_size, uint64_t used_entries);
// Writes `count` zero bytes at `offset`, through a buffer of bounded size.
int rux_write_zero_range(const rux_handle *handle, uint64_t offset, uint64_t count);
// Releases every container of the handle in a fixed order, stopping at the
// first failure (a failing munmap) so that the caller can retry; containers
// released so far are zero. The descriptor stays open.
int rux_release_containers(rux_handle *handle);

// ---- Creating and opening (create_open.cpp, layout_check.cpp) ----

// The header of a new, empty file: blocks at 256 and 4352, version 2.1,
// application and schema cut to 63 bytes.
rux_header rux_new_file_header(const char *application, const char *schema,
                               uint32_t schema_version);
int rux_format_new_file(int fd, const char *application, const char *schema,
                        uint32_t schema_version);
int rux_load_handle(rux_handle *handle);
// Takes the handle's view of the file (header, size, names, used entries,
// cur_frame), retrying while a writer changes the file under it.
int rux_load_view(rux_handle *handle);
// For a writable open: refuses with RUX_ERROR_FILE_CORRUPT a file whose blocks
// would make a flush overwrite data (layout_check.cpp).
int rux_check_layout_for_writing(const rux_handle *handle);

// ---- Flushing (flush.cpp) ----

int rux_flush_write_buffer(rux_handle *handle);
int rux_expand_file_index(rux_handle *handle, uint64_t required_entries);

// ---- The commit record (commit_record.cpp; its layout is in format.h) ----

struct rux_commit_record {
    uint64_t entries;
    uint32_t names;
    uint32_t flags;
};
enum class rux_commit_state { none, trusted, untrusted };
rux_commit_state rux_commit_record_load(const rux_header &header, rux_commit_record *record);
// Stores the record and seals the header with its checksum.
void rux_commit_record_store(rux_header *header, const rux_commit_record &record);
// Recomputes the checksum after other header fields changed.
void rux_commit_record_seal(rux_header *header);
// True when the header's record limits a reader's view: trusted, with a
// writer holding the file. `record` then holds the committed counts.
bool rux_commit_limits_view(const rux_header &header, rux_commit_record *record);
// A writable open of a version 2.1 file: discards what a writer that died
// holding the file left behind the commit point, then marks the file held.
int rux_commit_claim(rux_handle *handle);
// After a flush wrote and synced entries: records the new counts, synced.
int rux_commit_entries(rux_handle *handle);
// A clean close: clears the writer bit, synced.
int rux_commit_release(rux_handle *handle);

// ---- Finding entries (lookup_read.cpp) ----

// The entry that rux_find_chunk gives for (frame, id): a binary search of a
// version 2 layout index, or the last entry of the id within the frame in a
// version 1 layout index. Series and frame reads resolve a name written twice
// in one frame through these, so that they return what rux_find_chunk does.
const rux_index_entry *rux_index_find_sorted(const rux_index_buffer &index, uint64_t frame,
                                             uint16_t id);
const rux_index_entry *rux_index_find_in_frame(const rux_index_buffer &index, uint64_t frame,
                                               uint16_t id);
// From entry `last` of a frame (version 1 layout) back through the frame: the
// latest entry of `id`, so that a name written twice gives its later entry.
const rux_index_entry *rux_index_walk_back(const rux_index_buffer &index, uint64_t last,
                                           uint64_t frame, uint16_t id);

// The handle's data mapping (series_read.cpp). Cover makes it span at least
// `end` bytes, mapping `file_end` bytes (the file's length just taken) when
// it must grow; its caller has checked end <= file_end. Release unmaps it; a
// failed munmap leaves it in place and gives RUX_ERROR_IO.
int rux_data_map_cover(rux_handle *handle, uint64_t end, uint64_t file_end,
                       const uint8_t **bytes);
int rux_data_map_release(rux_handle *handle);

#endif
