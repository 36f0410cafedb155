// The commit record: how far the index block is complete, kept in the
// header's reserved bytes so that readers can open a file that a writer is
// appending to, and so that a writer that died mid-flush leaves no part of a
// frame behind (docs/format.md, "Commit record").
//
// What it guarantees, and where each guarantee is kept:
//  (1) Entries below the committed count, and the names they use, are in the
//      file and synced before the header that counts them is written
//      (rux_commit_entries runs after the entries' fsync).
//  (2) The writer bit is on the disk before any entry behind the committed
//      count is: the writable open writes it, and the next flush syncs
//      before it writes entries (unsynced_writes, asserted in flush.cpp).
//  (3) Every header write of a handle that keeps the record carries it,
//      sealed: a reader tells a torn read of the header by its checksum.
//  (4) Entries and names behind the commit point that a dead writer left are
//      zeroed and synced before a new writer appends anything.
#include <cassert>
#include <cstring>

#include "containers.h"
#include "handle_ops.h"
#include "sys_io.h"

namespace {

template <typename T>
T load_field(const rux_header &header, size_t at) {
    T value;
    std::memcpy(&value, header.reserved + at, sizeof value);
    return value;
}

template <typename T>
void store_field(rux_header *header, size_t at, T value) {
    std::memcpy(header->reserved + at, &value, sizeof value);
}

// FNV-1a over the 256 header bytes, the checksum field taken as zero.
uint64_t header_checksum(const rux_header &header) {
    rux_header copy = header;
    store_field<uint64_t>(&copy, RUX_COMMIT_CHECKSUM_AT, 0);
    const auto *bytes = reinterpret_cast<const uint8_t *>(&copy);
    uint64_t hash = RUX_FNV_OFFSET_BASIS;
    for (size_t i = 0; i < sizeof copy; ++i) {
        hash = (hash ^ bytes[i]) * RUX_FNV_PRIME;
    }
    return hash;
}

bool tail_is_zero(const rux_header &header) {
    for (size_t i = RUX_COMMIT_RECORD_END; i < sizeof header.reserved; ++i) {
        if (header.reserved[i] != 0) {
            return false;
        }
    }
    return true;
}

// Zeroes what a writer that died holding the file left behind the commit
// point: index entries after the committed ones (as far as any byte is not
// zero) and the namelist block after the committed names. The handle's view
// already stops at the commit point, and its copy of the namelist block is
// zero behind the committed names. Keeps guarantee 4.
int discard_uncommitted(rux_handle *handle) {
    const rux_index_buffer &index = handle->file_index;
    const auto *block = reinterpret_cast<const uint8_t *>(index.data);
    uint64_t end = index.reserved * RUX_INDEX_ENTRY_SIZE;
    const uint64_t start = index.size * RUX_INDEX_ENTRY_SIZE;
    while (end > start && block[end - 1] == 0) {
        --end;
    }
    int result = RUX_SUCCESS;
    if (end > start) {
        result = rux_write_zero_range(handle, handle->header.index_location + start, end - start);
    }
    const rux_byte_buffer &names = handle->file_names.bytes;
    if (result == RUX_SUCCESS && names.reserved > names.size) {
        result = rux_write_all(handle, names.data + names.size, names.reserved - names.size,
                               handle->header.namelist_location + names.size);
    }
    return result == RUX_SUCCESS ? rux_fsync(handle->fd) : result;
}

rux_commit_record current_counts(const rux_handle *handle, uint32_t flags) {
    assert(handle->file_names.count <= RUX_MAX_NAMES);
    return rux_commit_record{handle->file_index.size,
                             static_cast<uint32_t>(handle->file_names.count), flags};
}

// Writes the header and syncs it; on failure the handle stops writing, since
// the file's header may now be torn.
int write_header_synced(rux_handle *handle) {
    int result = rux_write_header(handle);
    if (result == RUX_SUCCESS) {
        result = rux_fsync(handle->fd);
    }
    if (result == RUX_SUCCESS) {
        handle->unsynced_writes = 0;
    }
    return result == RUX_SUCCESS ? result : rux_stop_writing(handle, result);
}

}  // namespace

rux_commit_state rux_commit_record_load(const rux_header &header, rux_commit_record *record) {
    const uint64_t tag = load_field<uint64_t>(header, RUX_COMMIT_TAG_AT);
    if (tag == 0) {
        return rux_commit_state::none;
    }
    record->entries = load_field<uint64_t>(header, RUX_COMMIT_ENTRIES_AT);
    record->names = load_field<uint32_t>(header, RUX_COMMIT_NAMES_AT);
    record->flags = load_field<uint32_t>(header, RUX_COMMIT_FLAGS_AT);
    const bool trusted = tag == RUX_COMMIT_TAG &&
                         load_field<uint64_t>(header, RUX_COMMIT_CHECKSUM_AT) == header_checksum(header) &&
                         (record->flags & ~RUX_COMMIT_WRITER_ACTIVE) == 0 &&
                         record->entries <= header.index_allocated_entries &&
                         record->names <= RUX_MAX_NAMES && tail_is_zero(header);
    return trusted ? rux_commit_state::trusted : rux_commit_state::untrusted;
}

void rux_commit_record_store(rux_header *header, const rux_commit_record &record) {
    std::memset(header->reserved, 0, sizeof header->reserved);
    store_field(header, RUX_COMMIT_TAG_AT, RUX_COMMIT_TAG);
    store_field(header, RUX_COMMIT_ENTRIES_AT, record.entries);
    store_field(header, RUX_COMMIT_NAMES_AT, record.names);
    store_field(header, RUX_COMMIT_FLAGS_AT, record.flags);
    rux_commit_record_seal(header);
}

void rux_commit_record_seal(rux_header *header) {
    store_field(header, RUX_COMMIT_CHECKSUM_AT, header_checksum(*header));
}

bool rux_commit_limits_view(const rux_header &header, rux_commit_record *record) {
    return rux_commit_record_load(header, record) == rux_commit_state::trusted &&
           (record->flags & RUX_COMMIT_WRITER_ACTIVE) != 0;
}

int rux_commit_claim(rux_handle *handle) {
    assert(rux_is_writable(handle) && handle->header.rux_version == RUX_VERSION_2_1);
    rux_commit_record record{};
    if (rux_commit_limits_view(handle->header, &record)) {
        const int result = discard_uncommitted(handle);
        if (result != RUX_SUCCESS) {
            return result;
        }
    }
    handle->keeps_commit_record = 1;
    rux_commit_record_store(&handle->header, current_counts(handle, RUX_COMMIT_WRITER_ACTIVE));
    // Synced by the next flush before it writes any entry (guarantee 2).
    handle->unsynced_writes = 1;
    return rux_write_header(handle);
}

int rux_commit_entries(rux_handle *handle) {
    assert(handle->keeps_commit_record != 0);
    // Guarantee 1: the flush synced the entries before calling this.
    assert(handle->unsynced_writes == 0);
    rux_commit_record_store(&handle->header, current_counts(handle, RUX_COMMIT_WRITER_ACTIVE));
    return write_header_synced(handle);
}

int rux_commit_release(rux_handle *handle) {
    assert(handle->keeps_commit_record != 0);
    // A cleanly closed file carries no record: its reserved bytes are zero
    // again, byte for byte the file that a writer without the record leaves.
    handle->keeps_commit_record = 0;
    std::memset(handle->header.reserved, 0, sizeof handle->header.reserved);
    return write_header_synced(handle);
}
