// Tuning defaults: what the library chooses for a handle, not what a file
// records (format.h). Changing them changes speed and memory, never bytes.
#ifndef RUX_TUNING_H
#define RUX_TUNING_H

#include <cstdint>

// A chunk of this many bytes or more is written straight to the file;
// smaller ones wait in the write buffer (rux_set_maximum_write_buffer_size).
constexpr uint64_t RUX_DEFAULT_MAXIMUM_WRITE_BUFFER_SIZE = 67108864;
// Staged entries of buffered chunks past which ending a frame flushes
// (rux_set_index_entries_to_buffer).
constexpr uint64_t RUX_DEFAULT_INDEX_ENTRIES_TO_BUFFER = 262144;
// The largest buffer used to copy a grown index block or write zeros.
constexpr uint64_t RUX_INDEX_COPY_BUFFER_LIMIT = 8388608;

#endif
