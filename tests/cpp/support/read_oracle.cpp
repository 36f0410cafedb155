#include "read_oracle.h"

#include <cstring>
#include <map>
#include <set>
#include <sstream>

namespace rux_test {

namespace {

// What the oracle finds for one (frame, name): the entry, and its bytes when
// it has some and rux_read_chunk reads them.
struct Found {
    bool present = false;
    rux_index_entry entry{};
    bool readable = false;
    std::vector<uint8_t> bytes;
};

bool byte_count(const rux_index_entry &entry, uint64_t *bytes) {
    const uint64_t size = entry.type >= RUX_TYPE_UINT8 && entry.type <= RUX_TYPE_CHARACTER
                              ? rux_sizeof_type(static_cast<rux_type>(entry.type))
                              : 0;
    uint64_t rows = 0;
    return size != 0 && !__builtin_mul_overflow(entry.N, size, &rows) &&
           !__builtin_mul_overflow(rows, static_cast<uint64_t>(entry.M), bytes);
}

Found look_up(rux_handle *handle, uint64_t frame, const std::string &name) {
    Found found;
    const rux_index_entry *entry = rux_find_chunk(handle, frame, name.c_str());
    if (entry == nullptr) {
        return found;
    }
    found.present = true;
    std::memcpy(&found.entry, entry, sizeof found.entry);
    uint64_t bytes = 0;
    if (byte_count(found.entry, &bytes) && bytes != 0 && bytes <= kOracleMaxBytes &&
        bytes <= static_cast<uint64_t>(handle->file_size)) {
        found.bytes.resize(bytes);
        found.readable = rux_read_chunk(handle, found.bytes.data(), &found.entry) == RUX_SUCCESS;
    }
    return found;
}

bool same_shape(const rux_index_entry &entry, uint8_t type, uint64_t N, uint32_t M) {
    return entry.type == type && entry.N == N && entry.M == M;
}

// Codes that a read may give instead of an answer.
bool refuses(int code) {
    return code == RUX_ERROR_FILE_CORRUPT || code == RUX_ERROR_IO;
}

uint64_t selected(const rux_frame_selection &frames, uint64_t i) {
    return frames.list != nullptr ? frames.list[i]
                                  : frames.start + static_cast<uint64_t>(frames.step) * i;
}

std::string describe(const char *what, uint64_t frame, const std::string &name) {
    std::ostringstream out;
    out << what << " (frame " << frame << ", name '" << name << "')";
    return out.str();
}

}  // namespace

std::vector<std::string> distinct_names(rux_handle *handle) {
    std::vector<std::string> names;
    std::set<std::string> seen;
    for (const char *name = rux_find_matching_chunk_name(handle, "", nullptr); name != nullptr;
         name = rux_find_matching_chunk_name(handle, "", name)) {
        if (seen.insert(name).second) {
            names.emplace_back(name);
        }
    }
    return names;
}

std::string compare_frame_read(rux_handle *handle, uint64_t frame,
                               const std::vector<std::string> &names) {
    uint64_t count = 0;
    int code = rux_find_frame_chunks(handle, frame, nullptr, 0, &count);
    if (refuses(code)) {
        return "";
    }
    if (code != RUX_SUCCESS) {
        return describe("rux_find_frame_chunks gave an unexpected code", frame, "");
    }
    std::vector<rux_chunk_info> chunks(count);
    uint64_t again = 0;
    code = rux_find_frame_chunks(handle, frame, chunks.data(), count, &again);
    if (code != RUX_SUCCESS || again != count) {
        return describe("a second rux_find_frame_chunks disagrees with the first", frame, "");
    }
    std::map<std::string, Found> expected;
    for (const std::string &name : names) {
        Found found = look_up(handle, frame, name);
        if (found.present) {
            expected.emplace(name, std::move(found));
        }
    }
    std::set<std::string> listed;
    uint64_t total = 0;
    for (const rux_chunk_info &chunk : chunks) {
        const std::string name = chunk.name;
        if (expected.count(name) == 0) {  // `names` may be cut short: look it up too
            Found found = look_up(handle, frame, name);
            if (found.present) {
                expected.emplace(name, std::move(found));
            }
        }
        const auto it = expected.find(name);
        if (!listed.insert(name).second) {
            return describe("a name is listed twice", frame, name);
        }
        if (it == expected.end()) {
            return describe("listed, but rux_find_chunk finds nothing", frame, name);
        }
        const rux_index_entry &entry = it->second.entry;
        if (chunk.location != entry.location || !same_shape(entry, chunk.type, chunk.N, chunk.M) ||
            chunk.id != entry.id) {
            return describe("listed with another entry than rux_find_chunk gives", frame, name);
        }
        uint64_t bytes = 0;
        if (!byte_count(entry, &bytes) || bytes != chunk.bytes) {
            return describe("listed with a wrong byte count", frame, name);
        }
        total += bytes;
    }
    if (listed.size() != expected.size()) {
        for (const auto &pair : expected) {
            if (listed.count(pair.first) == 0) {
                return describe("found by rux_find_chunk, but not listed", frame, pair.first);
            }
        }
    }
    if (total > kOracleMaxBytes) {
        return "";
    }
    std::vector<std::vector<uint8_t>> buffers(chunks.size());
    std::vector<void *> destinations(chunks.size(), nullptr);
    for (size_t i = 0; i < chunks.size(); ++i) {
        buffers[i].assign(chunks[i].bytes, 0xA5);
        destinations[i] = chunks[i].bytes != 0 ? buffers[i].data() : nullptr;
    }
    code = rux_read_chunks(handle, chunks.data(), chunks.size(), destinations.data());
    if (refuses(code)) {
        return "";
    }
    if (code != RUX_SUCCESS) {
        return describe("rux_read_chunks gave an unexpected code", frame, "");
    }
    for (size_t i = 0; i < chunks.size(); ++i) {
        const Found &found = expected[chunks[i].name];
        if (chunks[i].bytes != 0 && (!found.readable || found.bytes != buffers[i])) {
            return describe("read other bytes than rux_read_chunk", frame, chunks[i].name);
        }
    }
    return "";
}

std::string compare_series_read(rux_handle *handle, const std::string &name,
                                const rux_frame_selection &frames) {
    if (frames.count == 0) {
        return "";
    }
    const uint64_t nframes = rux_get_nframes(handle);
    // The first frame of the selection that the oracle cannot read into the
    // series: out of range, missing, or of another shape than the first.
    const auto oracle_problem = [&](uint64_t i, const rux_index_entry &first) -> int {
        const uint64_t frame = selected(frames, i);
        if (frame >= nframes) {
            return RUX_SERIES_FRAME_OUT_OF_RANGE;
        }
        const Found found = look_up(handle, frame, name);
        if (!found.present) {
            return RUX_SERIES_CHUNK_MISSING;
        }
        if (i > 0 && !same_shape(found.entry, first.type, first.N, first.M)) {
            return RUX_SERIES_SHAPE_MISMATCH;
        }
        return RUX_SERIES_OK;
    };
    rux_series_info info{};
    int code = rux_read_series(handle, name.c_str(), &frames, nullptr, 0, &info);
    const uint64_t first_frame = selected(frames, 0);
    const Found first = first_frame < nframes ? look_up(handle, first_frame, name) : Found{};
    if (refuses(code)) {
        return "";
    }
    if (code == RUX_SUCCESS) {
        if (!first.present || !same_shape(first.entry, info.type, info.N, info.M)) {
            return describe("the size query describes another chunk", first_frame, name);
        }
    } else {
        if (code != RUX_ERROR_INVALID_ARGUMENT || info.problem_frame != first_frame ||
            info.problem != oracle_problem(0, first.entry)) {
            return describe("the size query refuses what the oracle reads", first_frame, name);
        }
        return "";
    }
    if (info.bytes > kOracleMaxBytes) {
        return "";
    }
    std::vector<uint8_t> series(info.bytes + 1, 0xA5);
    const rux_series_info described = info;
    code = rux_read_series(handle, name.c_str(), &frames, series.data(), info.bytes, &info);
    if (series.back() != 0xA5) {
        return describe("the series read wrote past its buffer", first_frame, name);
    }
    if (refuses(code)) {
        return "";
    }
    if (code != RUX_SUCCESS) {
        if (code != RUX_ERROR_INVALID_ARGUMENT) {
            return describe("the series read gave an unexpected code", info.problem_frame, name);
        }
        // Refused at the first problem in selection order, and for it.
        for (uint64_t i = 0; i < frames.count; ++i) {
            const int problem = oracle_problem(i, first.entry);
            if (problem != RUX_SERIES_OK) {
                return problem == info.problem && selected(frames, i) == info.problem_frame
                           ? ""
                           : describe("the series read refuses another frame than the oracle",
                                      info.problem_frame, name);
            }
        }
        return describe("the series read refuses what the oracle reads", info.problem_frame,
                        name);
    }
    if (info.type != described.type || info.N != described.N || info.M != described.M ||
        info.bytes != described.bytes) {
        return describe("the series read and its size query disagree", first_frame, name);
    }
    const uint64_t chunk_bytes = frames.count == 0 ? 0 : info.bytes / frames.count;
    for (uint64_t i = 0; i < frames.count; ++i) {
        const uint64_t frame = selected(frames, i);
        if (oracle_problem(i, first.entry) != RUX_SERIES_OK) {
            return describe("the series read reads a chunk the oracle does not", frame, name);
        }
        if (chunk_bytes == 0) {
            continue;
        }
        const Found found = look_up(handle, frame, name);
        if (!found.readable || std::memcmp(found.bytes.data(), series.data() + i * chunk_bytes,
                                           chunk_bytes) != 0) {
            return describe("the series read gives other bytes than rux_read_chunk", frame, name);
        }
    }
    return "";
}

}  // namespace rux_test
