// The per-chunk oracle of frame and series reads: rux_find_chunk and
// rux_read_chunk of each name in each frame. On any file, damaged or not, a
// frame read (rux_find_frame_chunks + rux_read_chunks) and a series read must
// find exactly the chunks, and the bytes, that the oracle finds, or report the
// file corrupt (or, on a file cut under the handle, an I/O error). Shared by
// the C++ tests and the fuzz harness, so it depends on nothing but the C API.
#ifndef RUX_TEST_READ_ORACLE_H
#define RUX_TEST_READ_ORACLE_H

#include <cstdint>
#include <string>
#include <vector>

#include "rux/rux.h"

namespace rux_test {

// Chunks larger than this are compared only by their entries.
constexpr uint64_t kOracleMaxBytes = 64u << 20;

// Every name of the namelist once, in namelist order.
std::vector<std::string> distinct_names(rux_handle *handle);

// The first way the frame read of `frame` differs from the oracle over
// `names` (every name of the file, for chunks it leaves out to be noticed),
// or "" when it agrees.
std::string compare_frame_read(rux_handle *handle, uint64_t frame,
                               const std::vector<std::string> &names);

// The first way the series read of `name` over `frames` (its size query,
// then the read itself) differs from the oracle, or "" when it agrees.
std::string compare_series_read(rux_handle *handle, const std::string &name,
                                const rux_frame_selection &frames);

}  // namespace rux_test

#endif
