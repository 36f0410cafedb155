// libFuzzer harness: the input bytes are a file. Runs everything a reader
// does on it (both open modes, every name in every frame, every chunk read
// into a buffer sized from its entry, series of every name, whole and of
// some rows, every frame read whole, prefix listings) and, when it opens
// writable, a write, flush, close and reopen. A read-only handle reads again
// after the file was cut to half its size under it. Every frame read and
// every series read is compared with the per-chunk oracle (read_oracle.h):
// it must find exactly the chunks and bytes that rux_find_chunk and
// rux_read_chunk find, or report the file corrupt. Any crash, sanitizer
// report, broken invariant or disagreement is a finding.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "read_oracle.h"
#include "rux/rux.h"
#include "sys_io.h"

namespace {

constexpr uint64_t kMaxFramesVisited = 512;
constexpr int kMaxNamesVisited = 256;

void check(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void check_agrees(const std::string &disagreement) {
    if (!disagreement.empty()) {
        std::fprintf(stderr, "disagrees with rux_find_chunk + rux_read_chunk: %s\n",
                     disagreement.c_str());
        std::abort();
    }
}

std::string write_input(const uint8_t *data, size_t size, const char *suffix) {
    std::string path = std::string("/tmp/rux-fuzz-") + std::to_string(getpid()) + suffix;
    FILE *file = std::fopen(path.c_str(), "wb");
    check(file != nullptr, "temporary file opens");
    check(size == 0 || std::fwrite(data, 1, size, file) == size, "temporary file written");
    std::fclose(file);
    return path;
}

std::vector<std::string> all_names(rux_handle *handle) {
    std::vector<std::string> names;
    const char *name = nullptr;
    while ((name = rux_find_matching_chunk_name(handle, "", name)) != nullptr &&
           names.size() < kMaxNamesVisited) {
        names.emplace_back(name);
    }
    return names;
}

void read_every_chunk(rux_handle *handle, const std::vector<std::string> &names) {
    const uint64_t frames = rux_get_nframes(handle);
    for (uint64_t frame = 0; frame < frames && frame < kMaxFramesVisited; ++frame) {
        for (const std::string &name : names) {
            const rux_index_entry *entry = rux_find_chunk(handle, frame, name.c_str());
            if (entry == nullptr) {
                continue;
            }
            check(entry->frame == frame, "found entry belongs to its frame");
            const uint64_t size = entry->type <= RUX_TYPE_CHARACTER
                                      ? rux_sizeof_type(static_cast<rux_type>(entry->type))
                                      : 0;
            const uint64_t bytes = entry->N * entry->M * size;  // may wrap: read checks
            const bool fits = size != 0 && entry->N <= UINT64_MAX / size &&
                              entry->N * size <= UINT64_MAX / (entry->M ? entry->M : 1) &&
                              bytes <= static_cast<uint64_t>(handle->file_size);
            std::vector<uint8_t> destination(fits && bytes != 0 ? bytes : 1);
            const int result = rux_read_chunk(handle, destination.data(), entry);
            check(result == RUX_SUCCESS || !fits || bytes == 0 ||
                      result == RUX_ERROR_FILE_CORRUPT || result == RUX_ERROR_IO,
                  "read result is a known code");
        }
    }
}

bool known_code(int result) {
    return result == RUX_SUCCESS || result == RUX_ERROR_FILE_CORRUPT || result == RUX_ERROR_IO ||
           result == RUX_ERROR_INVALID_ARGUMENT;
}

// The last, first and last rows again of a series read whole: the rows of
// the whole read, in that order; a row N is refused.
void read_series_rows(rux_handle *handle, const std::string &name,
                      const rux_frame_selection &selection, const rux_series_info &whole,
                      const std::vector<uint8_t> &series) {
    if (whole.N == 0 || whole.type == RUX_TYPE_CHARACTER || selection.count == 0) {
        return;
    }
    const uint64_t row_bytes = whole.bytes / selection.count / whole.N;
    const uint64_t rows[3] = {whole.N - 1, 0, whole.N - 1};
    const rux_row_selection chosen = {rows, 0, 0, 3};
    std::vector<uint8_t> destination(selection.count * 3 * row_bytes + 1, 0xA5);
    rux_series_info info;
    int result = rux_read_series_rows(handle, name.c_str(), &selection, &chosen,
                                      destination.data(), destination.size() - 1, &info);
    check(known_code(result), "rows read result is a known code");
    check(destination.back() == 0xA5, "a rows read stays in its buffer");
    for (uint64_t t = 0; result == RUX_SUCCESS && t < selection.count; ++t) {
        for (uint64_t r = 0; r < 3; ++r) {
            const uint8_t *want = series.data() + (t * whole.N + rows[r]) * row_bytes;
            check(std::memcmp(destination.data() + (t * 3 + r) * row_bytes, want, row_bytes) == 0,
                  "rows read equals the rows of the whole read");
        }
    }
    const rux_row_selection past = {nullptr, whole.N, 1, 1};
    result = rux_read_series_rows(handle, name.c_str(), &selection, &past, nullptr, 0, &info);
    check(result == RUX_ERROR_INVALID_ARGUMENT && info.problem == RUX_SERIES_ROW_OUT_OF_RANGE &&
              info.problem_row == whole.N,
          "row N is refused");
}

// Series of every name over every frame (forwards, then backwards with a
// step), into a buffer sized from what the first frame's chunk reports.
void read_every_series(rux_handle *handle, const std::vector<std::string> &names) {
    const uint64_t frames = rux_get_nframes(handle);
    const uint64_t visited = frames < kMaxFramesVisited ? frames : kMaxFramesVisited;
    const rux_frame_selection selections[2] = {
        {nullptr, 0, 1, visited},
        {nullptr, visited == 0 ? 0 : visited - 1, -2, (visited + 1) / 2},
    };
    for (const std::string &name : names) {
        for (const rux_frame_selection &selection : selections) {
            check_agrees(rux_test::compare_series_read(handle, name, selection));
            rux_series_info info;
            int result = rux_read_series(handle, name.c_str(), &selection, nullptr, 0, &info);
            check(known_code(result), "series query result is a known code");
            if (result != RUX_SUCCESS || info.bytes > (64u << 20)) {
                continue;
            }
            // One byte short must be refused before anything is written.
            std::vector<uint8_t> destination(info.bytes + 1, 0xA5);
            if (info.bytes != 0) {
                result = rux_read_series(handle, name.c_str(), &selection, destination.data(),
                                         info.bytes - 1, &info);
                check(result != RUX_SUCCESS, "a short buffer is refused");
                check(destination[info.bytes - 1] == 0xA5, "a refused read writes nothing");
            }
            result = rux_read_series(handle, name.c_str(), &selection, destination.data(),
                                     info.bytes, &info);
            check(known_code(result), "series read result is a known code");
            check(destination[info.bytes] == 0xA5, "a series read stays in its buffer");
            if (result == RUX_SUCCESS) {
                read_series_rows(handle, name, selection, info, destination);
            }
        }
    }
}

void read_every_frame(rux_handle *handle, const std::vector<std::string> &names) {
    const uint64_t frames = rux_get_nframes(handle);
    for (uint64_t frame = 0; frame < frames && frame < kMaxFramesVisited; ++frame) {
        check_agrees(rux_test::compare_frame_read(handle, frame, names));
        uint64_t count = 0;
        if (rux_find_frame_chunks(handle, frame, nullptr, 0, &count) != RUX_SUCCESS) {
            continue;
        }
        std::vector<rux_chunk_info> chunks(count);
        if (rux_find_frame_chunks(handle, frame, chunks.data(), count, &count) != RUX_SUCCESS) {
            continue;
        }
        std::vector<std::vector<uint8_t>> buffers(chunks.size());
        std::vector<void *> destinations(chunks.size(), nullptr);
        for (size_t i = 0; i < chunks.size(); ++i) {
            if (chunks[i].bytes != 0 && chunks[i].bytes <= (64u << 20)) {
                buffers[i].resize(chunks[i].bytes);
                destinations[i] = buffers[i].data();
            }
        }
        check(known_code(rux_read_chunks(handle, chunks.data(), chunks.size(),
                                         destinations.data())),
              "frame read result is a known code");
    }
}

void list_prefixes(rux_handle *handle) {
    for (const char *prefix : {"", "a", "pos", "\xff", "x/y/z"}) {
        const char *name = nullptr;
        int count = 0;
        while ((name = rux_find_matching_chunk_name(handle, prefix, name)) != nullptr &&
               ++count < kMaxNamesVisited) {
            check(std::strncmp(name, prefix, std::strlen(prefix)) == 0, "listed name has prefix");
        }
    }
}

void exercise_reader(const char *path, rux_open_flag flags) {
    rux_handle handle;
    if (rux_open(&handle, path, flags) != RUX_SUCCESS) {
        return;
    }
    const std::vector<std::string> names = all_names(&handle);
    read_every_chunk(&handle, names);
    read_every_series(&handle, names);
    read_every_frame(&handle, names);
    list_prefixes(&handle);
    if (flags == RUX_OPEN_READONLY && handle.file_size > 1) {
        // Cut under an open handle: nothing may be read or touched past the end.
        check(truncate(path, handle.file_size / 2) == 0, "temporary file cut");
        read_every_chunk(&handle, names);
        read_every_series(&handle, names);
        read_every_frame(&handle, names);
    }
    if (flags != RUX_OPEN_READONLY) {
        const float values[6] = {1, 2, 3, 4, 5, 6};
        rux_write_chunk(&handle, "fuzz/new", RUX_TYPE_FLOAT, 2, 3, 0, values);
        rux_end_frame(&handle);
        rux_flush(&handle);
    }
    rux_close(&handle);
    if (flags != RUX_OPEN_READONLY) {
        // What the writer left must open again.
        rux_handle reopened;
        if (rux_open(&reopened, path, RUX_OPEN_READONLY) == RUX_SUCCESS) {
            read_every_chunk(&reopened, all_names(&reopened));
            rux_close(&reopened);
        }
    }
}

// Syncing a temporary file proves nothing here and costs most of the time.
int skip_fsync(int) {
    return 0;
}

const rux_sys_calls *fast_sys_calls() {
    static rux_sys_calls calls = rux_sys_default;
    calls.fsync = skip_fsync;
    return &calls;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    rux_sys = fast_sys_calls();
    const std::string path = write_input(data, size, ".rux");
    exercise_reader(path.c_str(), RUX_OPEN_READONLY);
    write_input(data, size, ".rux");  // the read-only pass cut the file
    exercise_reader(path.c_str(), RUX_OPEN_READWRITE);
    unlink(path.c_str());
    return 0;
}
