#include "containers.h"
#include "handle_ops.h"

int rux_index_entry_compare(const rux_index_entry *a, const rux_index_entry *b) {
    if (a->frame != b->frame) {
        return a->frame < b->frame ? -1 : 1;
    }
    if (a->id != b->id) {
        return a->id < b->id ? -1 : 1;
    }
    return 0;
}

bool rux_index_entry_byte_count(const rux_index_entry *entry, uint64_t *byte_count) {
    const uint64_t element_size = rux_type_size(entry->type);
    uint64_t rows_bytes = 0;
    if (__builtin_mul_overflow(entry->N, element_size, &rows_bytes) ||
        __builtin_mul_overflow(rows_bytes, static_cast<uint64_t>(entry->M), byte_count)) {
        return false;
    }
    return true;
}

bool rux_index_entry_is_valid(const rux_index_entry *entry, const rux_handle *handle) {
    if (entry->type < RUX_TYPE_UINT8 || entry->type > RUX_TYPE_CHARACTER || entry->flags != 0) {
        return false;
    }
    uint64_t byte_count = 0;
    uint64_t end = 0;
    if (!rux_index_entry_byte_count(entry, &byte_count) ||
        __builtin_add_overflow(static_cast<uint64_t>(entry->location), byte_count, &end) ||
        end > static_cast<uint64_t>(handle->file_size)) {
        return false;
    }
    if (entry->frame >= handle->header.index_allocated_entries) {
        return false;
    }
    return entry->id < handle->file_names.count + handle->frame_names.count;
}

