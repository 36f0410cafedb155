#include "workload.h"

#include <cstring>
#include <set>

#include "handle_helpers.h"

namespace rux_reliability {

namespace {

constexpr uint64_t kWriteBufferThreshold = 2048;  // small enough for buffer write-outs
constexpr uint64_t kEntriesToBuffer = 16;

using rux_test::make_chunk;

// Runs the steps of one workload and keeps the expectation in step.
class Script {
  public:
    Script(rux_handle *handle, Progress *progress, const StepObserver &observer)
        : handle_(handle), progress_(progress), observer_(observer) {}

    bool stopped() const { return stopped_; }

    bool step(const std::string &name, int result) {
        if (stopped_) {
            return false;
        }
        if (result != RUX_SUCCESS) {
            progress_->failed_result = result;
            progress_->failed_step = name;
            stopped_ = true;
        }
        if (name != "truncate" && name != "truncate_frames") {
            progress_->truncating = false;
        }
        if (!observer_(name, result)) {
            stopped_ = true;
        }
        return !stopped_;
    }

    void write(const std::string &name, const Chunk &chunk) {
        if (stopped_) {
            return;
        }
        const int result =
            rux_write_chunk(handle_, name.c_str(), static_cast<rux_type>(chunk.type), chunk.N,
                            chunk.M, 0, chunk.bytes.empty() ? nullptr : chunk.bytes.data());
        if (step("write " + name, result)) {
            open_frame_[name] = chunk;
        }
    }

    void end_frame() {
        if (stopped_) {
            return;
        }
        // The frame is complete once the call has advanced the frame count,
        // whether or not the flush it triggered succeeded.
        const uint64_t before = rux_get_nframes(handle_);
        const int result = rux_end_frame(handle_);
        if (rux_get_nframes(handle_) == before + 1) {
            progress_->current.frames.push_back(open_frame_);
            open_frame_.clear();
        }
        step("end_frame", result);
    }

    void flush() {
        if (stopped_) {
            return;
        }
        const int result = rux_flush(handle_);
        if (result == RUX_SUCCESS) {
            record();
        }
        step("flush", result);
    }

    void close() {
        if (stopped_) {
            return;
        }
        open_frame_.clear();  // chunks of an unended frame are not recorded
        const int result = rux_close(handle_);
        progress_->handle_open = result != RUX_SUCCESS && handle_->owns_descriptor != 0;
        if (result == RUX_SUCCESS) {
            record();
        }
        step("close", result);
    }

    void open(const std::string &path) {
        if (stopped_) {
            return;
        }
        const int result = rux_open(handle_, path.c_str(), RUX_OPEN_READWRITE);
        progress_->handle_open = result == RUX_SUCCESS;
        step("open", result);
    }

    void set_thresholds() {
        if (stopped_) {
            return;
        }
        step("thresholds", rux_set_maximum_write_buffer_size(handle_, kWriteBufferThreshold));
        step("thresholds", rux_set_index_entries_to_buffer(handle_, kEntriesToBuffer));
    }

    // Reads a chunk of an earlier frame back and compares it with the model.
    void read_back(uint64_t frame, const std::string &name) {
        if (stopped_) {
            return;
        }
        const rux_index_entry *entry = rux_find_chunk(handle_, frame, name.c_str());
        if (entry == nullptr) {
            step("find " + name, RUX_ERROR_IO);  // a failed flush makes lookups miss
            return;
        }
        Bytes bytes(progress_->current.frames.at(frame).at(name).bytes.size());
        const int result = rux_read_chunk(handle_, bytes.data(), entry);
        if (step("read " + name, result) && bytes != progress_->current.frames[frame][name].bytes) {
            step("read " + name + " (wrong bytes)", RUX_ERROR_FILE_CORRUPT);
        }
    }

    // Emptying may leave any prefix of the old frames behind while it runs.
    void truncate() {
        if (stopped_) {
            return;
        }
        Expectation before = progress_->current;
        before.recorded = 0;
        progress_->truncating = true;
        const int result = rux_truncate(handle_);
        if (result == RUX_SUCCESS) {
            progress_->current = Expectation{};
        }
        progress_->alternative = before;
        open_frame_.clear();
        step("truncate", result);
    }

    // A cut leaves either the frames before it (at least those recorded) or
    // exactly the first `frames`.
    void truncate_frames(uint64_t frames) {
        if (stopped_) {
            return;
        }
        const Expectation before = progress_->current;
        Expectation cut = before;
        cut.frames.resize(frames);
        cut.recorded = frames;
        progress_->alternative = cut;
        progress_->truncating = true;
        const int result = rux_truncate_frames(handle_, frames);
        if (result == RUX_SUCCESS) {
            progress_->current = cut;
            progress_->alternative = before;
            open_frame_.clear();
        }
        step("truncate_frames", result);
    }

    void upgrade() {
        if (!stopped_) {
            step("upgrade", rux_upgrade(handle_));
        }
    }

    // Everything completed so far is in the file once a flush or close returned.
    void record() { progress_->current.recorded = progress_->current.frames.size(); }

    // Frames of small and large chunks, with a new name in some of them.
    void frames(uint64_t count, uint64_t seed, bool new_names) {
        for (uint64_t i = 0; i < count && !stopped_; ++i) {
            const uint64_t frame = progress_->current.frames.size();
            write("pos", make_chunk(RUX_TYPE_FLOAT, 24, 3, seed + frame));
            write("vel", make_chunk(RUX_TYPE_DOUBLE, 5, 3, seed + 1000 + frame));
            write("step", make_chunk(RUX_TYPE_INT64, 1, 1, seed + 2000 + frame));
            if (frame % 6 == 5) {
                write("big", make_chunk(RUX_TYPE_UINT16, 1200, 2, seed + 3000 + frame));
            }
            if (new_names && frame < 30) {
                write("label/" + std::to_string(frame) + std::string(44, 'n'),
                      make_chunk(RUX_TYPE_CHARACTER, 7, 1, seed + 4000 + frame));
            }
            end_frame();
            if (frame % 8 == 7) {
                flush();
            }
            if (frame % 5 == 4 && !stopped_) {
                read_back(frame - 3, "pos");
            }
        }
    }

    // One frame of more chunks than a page of index entries holds, so that
    // its entries reach the file in a write that spans pages.
    void wide_frame(int chunks, uint64_t seed) {
        write("pos", make_chunk(RUX_TYPE_FLOAT, 24, 3, seed));
        for (int i = 0; i < chunks && !stopped_; ++i) {
            write("w" + std::to_string(i), make_chunk(RUX_TYPE_INT8, 1, 1, seed + i));
        }
        end_frame();
        flush();
    }

  private:
    rux_handle *handle_;
    Progress *progress_;
    const StepObserver &observer_;
    Frame open_frame_;
    bool stopped_ = false;
};

std::set<std::string> all_names(const std::vector<const Expectation *> &allowed) {
    std::set<std::string> names;
    for (const Expectation *expectation : allowed) {
        for (const Frame &frame : expectation->frames) {
            for (const auto &chunk : frame) {
                names.insert(chunk.first);
            }
        }
    }
    return names;
}

// "" when the open file holds a prefix of the expectation of at least
// `recorded` frames.
std::string compare(rux_handle *handle, const Expectation &expected,
                    const std::set<std::string> &names) {
    const uint64_t frames = rux_get_nframes(handle);
    if (frames < expected.recorded || frames > expected.frames.size()) {
        return "holds " + std::to_string(frames) + " frames; expected " +
               std::to_string(expected.recorded) + " to " + std::to_string(expected.frames.size());
    }
    for (uint64_t f = 0; f < frames; ++f) {
        for (const std::string &name : names) {
            const rux_index_entry *found = rux_find_chunk(handle, f, name.c_str());
            const auto wanted = expected.frames[f].find(name);
            if ((found != nullptr) != (wanted != expected.frames[f].end())) {
                return "frame " + std::to_string(f) + " chunk " + name +
                       (found ? " present but not written" : " missing");
            }
            if (found == nullptr) {
                continue;
            }
            rux_index_entry entry;
            std::memcpy(&entry, found, sizeof entry);
            const Chunk &chunk = wanted->second;
            Bytes bytes(chunk.bytes.size());
            if (entry.type != chunk.type || entry.N != chunk.N || entry.M != chunk.M ||
                (!bytes.empty() && rux_read_chunk(handle, bytes.data(), found) != RUX_SUCCESS) ||
                bytes != chunk.bytes) {
                return "frame " + std::to_string(f) + " chunk " + name + " reads back wrong";
            }
        }
    }
    return "";
}

}  // namespace

void run_trajectory_workload(const std::string &path, rux_handle *handle, Progress *progress,
                             const StepObserver &observer) {
    Script script(handle, progress, observer);
    progress->creating = true;
    const int created = rux_create_and_open(handle, path.c_str(), "reliability", "trajectory",
                                            rux_make_version(1, 0), RUX_OPEN_READWRITE, 0);
    progress->handle_open = created == RUX_SUCCESS;
    progress->creating = created != RUX_SUCCESS;
    if (!script.step("create", created)) {
        return;
    }
    script.set_thresholds();
    script.frames(36, 1, true);
    script.wide_frame(140, 5000);
    script.close();
    script.open(path);
    script.set_thresholds();
    script.frames(6, 50, false);  // frames 37 to 42; 40 to 42 stay staged
    script.write("pos", make_chunk(RUX_TYPE_FLOAT, 24, 3, 77));
    script.truncate_frames(30);
    script.frames(4, 70, false);
    script.truncate();
    script.frames(2, 90, false);
    script.close();
}

void write_version1_file(const std::string &path, Expectation *content) {
    // Header, an index block of 32 entries, a namelist block of 4 slots, data.
    // The used entries straddle a page boundary, so that rewriting them in
    // one write can be torn.
    const uint64_t index_location = 4096 - 3 * 32;
    const uint64_t namelist_location = index_location + 32 * 32;
    const uint64_t data_location = namelist_location + 4 * 64;
    Bytes file(data_location, 0);
    rux_header header{};
    header.magic = RUX_MAGIC_ID;
    header.index_location = index_location;
    header.index_allocated_entries = 32;
    header.namelist_location = namelist_location;
    header.namelist_allocated_entries = 4;
    header.rux_version = rux_make_version(1, 0);
    std::strcpy(header.application, "old-writer");
    std::strcpy(header.schema, "trajectory");
    std::memcpy(file.data(), &header, sizeof header);
    const char *names[] = {"pos", "vel", "step"};
    for (int i = 0; i < 3; ++i) {
        std::strcpy(reinterpret_cast<char *>(file.data() + namelist_location + 64 * i), names[i]);
    }
    content->frames.clear();
    uint64_t position = 0;
    for (uint64_t frame = 0; frame < 4; ++frame) {
        Frame chunks;
        chunks["step"] = make_chunk(RUX_TYPE_INT64, 1, 1, 700 + frame);
        chunks["pos"] = make_chunk(RUX_TYPE_FLOAT, 24, 3, 800 + frame);
        // Within a frame the version 1 layout keeps no order: ids 2, 0.
        for (const char *name : {"step", "pos"}) {
            const Chunk &chunk = chunks[name];
            rux_index_entry entry{};
            entry.frame = frame;
            entry.N = chunk.N;
            entry.M = chunk.M;
            entry.location = static_cast<int64_t>(file.size());
            entry.id = std::strcmp(name, "pos") == 0 ? 0 : 2;
            entry.type = chunk.type;
            std::memcpy(file.data() + index_location + 32 * position++, &entry, sizeof entry);
            file.insert(file.end(), chunk.bytes.begin(), chunk.bytes.end());
        }
        content->frames.push_back(chunks);
    }
    content->recorded = content->frames.size();
    FILE *out = std::fopen(path.c_str(), "wb");
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);
}

void run_upgrade_workload(const std::string &path, rux_handle *handle, Progress *progress,
                          const StepObserver &observer) {
    Script script(handle, progress, observer);
    script.open(path);
    if (script.stopped()) {
        return;
    }
    script.frames(3, 300, false);
    script.flush();  // an upgrade refuses names that are not in the file yet
    script.upgrade();
    script.frames(3, 400, false);
    script.close();
}

std::string check_file(const std::string &path, const std::vector<const Expectation *> &allowed) {
    rux_handle handle;
    const int opened = rux_open(&handle, path.c_str(), RUX_OPEN_READONLY);
    if (opened != RUX_SUCCESS) {
        return "does not open: error " + std::to_string(opened);
    }
    const std::set<std::string> names = all_names(allowed);
    std::string problems;
    for (const Expectation *expectation : allowed) {
        const std::string problem = compare(&handle, *expectation, names);
        if (problem.empty()) {
            rux_close(&handle);
            return "";
        }
        problems += (problems.empty() ? "" : "; or ") + problem;
    }
    rux_close(&handle);
    return problems;
}

std::string check_resumed_writer(const std::string &path) {
    rux_handle handle;
    if (rux_open(&handle, path.c_str(), RUX_OPEN_READWRITE) != RUX_SUCCESS) {
        return "does not open for writing";
    }
    const uint64_t frames = rux_get_nframes(&handle);
    const int64_t marker = static_cast<int64_t>(frames);
    if (rux_write_chunk(&handle, "resumed", RUX_TYPE_INT64, 1, 1, 0, &marker) != RUX_SUCCESS ||
        rux_end_frame(&handle) != RUX_SUCCESS || rux_close(&handle) != RUX_SUCCESS) {
        return "the resumed writer failed";
    }
    if (rux_open(&handle, path.c_str(), RUX_OPEN_READONLY) != RUX_SUCCESS) {
        return "does not open after the resumed writer";
    }
    std::string problem;
    const rux_index_entry *found = rux_find_chunk(&handle, frames, "resumed");
    int64_t read = -1;
    if (rux_get_nframes(&handle) != frames + 1 || found == nullptr ||
        rux_read_chunk(&handle, &read, found) != RUX_SUCCESS || read != marker) {
        problem = "the resumed frame is not frame " + std::to_string(frames);
    }
    // Nothing else may share the resumed frame: no part of a torn frame.
    for (const char *name = rux_find_matching_chunk_name(&handle, "", nullptr);
         problem.empty() && name != nullptr;
         name = rux_find_matching_chunk_name(&handle, "", name)) {
        if (std::strcmp(name, "resumed") != 0 && rux_find_chunk(&handle, frames, name) != nullptr) {
            problem = std::string("the resumed frame also holds ") + name;
        }
    }
    rux_close(&handle);
    return problem;
}

}  // namespace rux_reliability
