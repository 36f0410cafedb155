// Internal steps shared by the operations of a handle.
#ifndef RUX_HANDLE_OPS_H
#define RUX_HANDLE_OPS_H

#include <cerrno>
#include <cstdint>

#include "rux/rux.h"

constexpr uint32_t RUX_VERSION_0_3 = 0x3;
constexpr uint32_t RUX_VERSION_1_0 = 0x10000;
constexpr uint32_t RUX_VERSION_2_0 = 0x20000;
constexpr uint32_t RUX_VERSION_2_1 = 0x20001;
constexpr uint32_t RUX_VERSION_LAST_ACCEPTED = 0x2FFFF;

constexpr uint64_t RUX_HEADER_SIZE = 256;
constexpr uint64_t RUX_INDEX_ENTRY_SIZE = 32;
constexpr uint64_t RUX_NAMELIST_UNIT = 64;
constexpr uint64_t RUX_NEW_INDEX_LOCATION = 256;
constexpr uint64_t RUX_NEW_INDEX_ENTRIES = 128;
constexpr uint64_t RUX_NEW_NAMELIST_LOCATION = 4352;
constexpr uint64_t RUX_NEW_NAMELIST_UNITS = 16;
constexpr uint64_t RUX_NEW_FILE_SIZE = 5376;

constexpr uint64_t RUX_DEFAULT_MAXIMUM_WRITE_BUFFER_SIZE = 67108864;
constexpr uint64_t RUX_DEFAULT_INDEX_ENTRIES_TO_BUFFER = 262144;
constexpr uint64_t RUX_MAX_NAMES = 0xFFFF;  // ids 0 to 65534
constexpr uint64_t RUX_INDEX_COPY_BUFFER_LIMIT = 8388608;

inline bool rux_version_is_accepted(uint32_t version) {
    return version == RUX_VERSION_0_3 ||
           (version >= RUX_VERSION_1_0 && version <= RUX_VERSION_LAST_ACCEPTED);
}
inline bool rux_has_v2_layout(const rux_header &header) {
    return header.rux_version >= RUX_VERSION_2_0;
}
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

// The header of a new, empty file: blocks at 256 and 4352, version 2.1,
// application and schema cut to 63 bytes.
rux_header rux_new_file_header(const char *application, const char *schema,
                               uint32_t schema_version);
// Writes `count` zero bytes (at most one new index block's worth) at `offset`.
int rux_write_zeros(int fd, uint64_t count, uint64_t offset);

int rux_format_new_file(int fd, const char *application, const char *schema,
                        uint32_t schema_version);
int rux_load_handle(rux_handle *handle);
// For a writable open: refuses with RUX_ERROR_FILE_CORRUPT a file whose blocks
// would make a flush overwrite data (layout_check.cpp).
int rux_check_layout_for_writing(const rux_handle *handle);
// Releases every container of the handle in a fixed order, stopping at the
// first failure (a failing munmap) so that the caller can retry; containers
// released so far are zero. The descriptor stays open.
int rux_release_containers(rux_handle *handle);

// Writes all bytes at the offset: RUX_SUCCESS, or RUX_ERROR_IO for a failed
// or short write.
int rux_write_all(const rux_handle *handle, const void *bytes, uint64_t count, uint64_t offset);
int rux_write_header(rux_handle *handle);
int rux_fsync(int fd);

// The commit record in the header's reserved bytes (docs/format.md).
constexpr uint64_t RUX_COMMIT_TAG = 0x54494D4F43585552ull;  // "RUXCOMIT"
constexpr uint32_t RUX_COMMIT_WRITER_ACTIVE = 1;
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

// Writes `count` zero bytes at `offset`, through a buffer of bounded size.
int rux_write_zero_range(const rux_handle *handle, uint64_t offset, uint64_t count);
// Takes the handle's view of the file (header, size, names, used entries,
// cur_frame), retrying while a writer changes the file under it.
int rux_load_view(rux_handle *handle);

int rux_flush_write_buffer(rux_handle *handle);

// The entry that rux_find_chunk gives for (frame, id): a binary search of a
// version 2 layout index, or the last entry of the id within the frame in a
// version 1 layout index. Series and frame reads resolve a name written twice
// in one frame through these, so that they return what rux_find_chunk does.
const rux_index_entry *rux_index_find_sorted(const rux_index_buffer &index, uint64_t frame,
                                             uint16_t id);
const rux_index_entry *rux_index_find_in_frame(const rux_index_buffer &index, uint64_t frame,
                                               uint16_t id);
int rux_expand_file_index(rux_handle *handle, uint64_t required_entries);

// The handle's data mapping (series_read.cpp). Cover makes it span at least
// `end` bytes, mapping `file_end` bytes (the file's length just taken) when
// it must grow; its caller has checked end <= file_end. Release unmaps it; a
// failed munmap leaves it in place and gives RUX_ERROR_IO.
int rux_data_map_cover(rux_handle *handle, uint64_t end, uint64_t file_end,
                       const uint8_t **bytes);
int rux_data_map_release(rux_handle *handle);

#endif
