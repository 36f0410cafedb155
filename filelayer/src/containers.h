// The handle's in-memory containers and the positional I/O loops. Internal:
// not exported from the shared object.
#ifndef RUX_CONTAINERS_H
#define RUX_CONTAINERS_H

#include <sys/types.h>

#include <cstdint>
#include <cstring>

#include "rux/rux.h"

constexpr uint64_t RUX_NAME_ID_MAP_BUCKETS = 57557;  // a prime; fixed for every handle

// The capacity that growth by doubling reaches: doubled until it strictly
// exceeds `needed`; 0 when it would overflow or `capacity` is 0.
inline uint64_t rux_doubled_capacity(uint64_t capacity, uint64_t needed) {
    while (capacity != 0 && capacity <= needed) {
        capacity = capacity > UINT64_MAX / 2 ? 0 : capacity * 2;
    }
    return capacity;
}

// Byte buffer: zeroed memory; growth doubles the capacity until it strictly
// exceeds what is needed and zeroes everything past the new contents.
int rux_byte_buffer_init(rux_byte_buffer *buffer, uint64_t capacity);
int rux_byte_buffer_append(rux_byte_buffer *buffer, const void *source, uint64_t length);
int rux_byte_buffer_release(rux_byte_buffer *buffer);

// Index buffer: heap memory, or the read-only mapping of a file's index block.
int rux_index_buffer_init(rux_index_buffer *buffer, uint64_t capacity);
// Returns the new slot through *slot; the caller fills every field.
int rux_index_buffer_push(rux_index_buffer *buffer, rux_index_entry **slot);
int rux_index_buffer_map_file(rux_index_buffer *buffer, rux_handle *handle);
int rux_index_buffer_sort(rux_index_buffer *buffer);
int rux_index_buffer_release(rux_index_buffer *buffer);

// Size of one element of a type code; 0 for a code that is not a type. Takes
// the raw code: a stored byte need not be one of rux_type's enumerators.
size_t rux_type_size(unsigned code);

// A copy of an entry of a mapped index block. Blocks lie at any file offset
// (data before them have no alignment), so their entries may be misaligned
// and are read through a copy, never through the pointer.
inline rux_index_entry rux_index_entry_load(const rux_index_entry *entry) {
    rux_index_entry copy;
    std::memcpy(&copy, entry, sizeof copy);
    return copy;
}

// Order by frame, then id; negative, zero or positive like strcmp.
int rux_index_entry_compare(const rux_index_entry *a, const rux_index_entry *b);
// Validity of one entry against the handle's file (used when counting at open).
bool rux_index_entry_is_valid(const rux_index_entry *entry, const rux_handle *handle);
// N x M x size of the entry's type, or false when the product overflows 64 bits.
bool rux_index_entry_byte_count(const rux_index_entry *entry, uint64_t *byte_count);

// Name -> id map: chains over RUX_NAME_ID_MAP_BUCKETS head nodes, with O(1)
// insertion and lookups that do not walk chains (name_id_map.cpp).
uint64_t rux_name_hash(const char *name);
int rux_name_id_map_init(rux_name_id_map *map);
int rux_name_id_map_add(rux_name_id_map *map, const char *name, uint16_t id);
uint16_t rux_name_id_map_lookup(const rux_name_id_map *map, const char *name);
int rux_name_id_map_release(rux_name_id_map *map);

// Positional I/O loops: never use the descriptor's file position. They set
// errno to 0 before each transfer; the result is the byte count moved (short
// only at end of file for reads) or -1.
int64_t rux_pwrite_all(int fd, const void *buffer, uint64_t count, uint64_t offset);
int64_t rux_pread_all(int fd, void *buffer, uint64_t count, uint64_t offset);
// fsync: RUX_SUCCESS or RUX_ERROR_IO.
int rux_fsync(int fd);
// Writes `count` zero bytes (at most one new index block's worth) at `offset`.
int rux_write_zeros(int fd, uint64_t count, uint64_t offset);

#endif
