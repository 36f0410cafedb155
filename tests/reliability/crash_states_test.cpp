// Crash states: every write and fsync of a workload is recorded, and for
// every point of that sequence the file images that a crash there could
// leave are built: everything up to the last fsync, plus none, all, or each
// single one of the writes after it (unsynced writes reach the disk in any
// order), and the last write torn between pages (the kernel stops a killed
// process's write at a page boundary; a power cut can keep some pages of a
// write and not others). Every image must open and hold a prefix of whole
// frames, including every frame that a flush or close had reported as
// recorded; and a writer that resumes on it must continue after the last
// whole frame, leaving nothing of a torn frame behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "sys_io.h"
#include "temp_dir.h"
#include "workload.h"

namespace rux_reliability {
namespace {

struct FileOp {
    enum Kind { write, truncate, sync } kind;
    uint64_t offset;  // write: offset; truncate: the new length
    Bytes bytes;
};

// Passes every call on to the system and records what changes the one file
// under test. Only one recorder lives at a time.
class CrashRecorder {
  public:
    explicit CrashRecorder(std::string path) : path_(std::move(path)) {
        active_ = this;
        table_ = rux_sys_default;
        table_.open = &CrashRecorder::open;
        table_.close = &CrashRecorder::close;
        table_.pwrite = &CrashRecorder::pwrite;
        table_.ftruncate = &CrashRecorder::ftruncate;
        table_.fsync = &CrashRecorder::fsync;
        rux_sys = &table_;
    }
    ~CrashRecorder() {
        rux_sys = &rux_sys_default;
        active_ = nullptr;
    }
    CrashRecorder(const CrashRecorder &) = delete;
    CrashRecorder &operator=(const CrashRecorder &) = delete;

    const std::vector<FileOp> &ops() const { return ops_; }

  private:
    static int open(const char *path, int flags, mode_t mode) {
        const int fd = rux_sys_default.open(path, flags, mode);
        if (fd >= 0 && active_->path_ == path) {
            active_->file_fds_.push_back(fd);
        }
        return fd;
    }
    static int close(int fd) {
        auto &fds = active_->file_fds_;
        for (auto it = fds.begin(); it != fds.end(); ++it) {
            if (*it == fd) {
                fds.erase(it);
                break;
            }
        }
        return rux_sys_default.close(fd);
    }
    static bool is_file(int fd) {
        for (int file_fd : active_->file_fds_) {
            if (file_fd == fd) {
                return true;
            }
        }
        return false;
    }
    static ssize_t pwrite(int fd, const void *buffer, size_t count, off_t offset) {
        const ssize_t written = rux_sys_default.pwrite(fd, buffer, count, offset);
        if (written > 0 && is_file(fd)) {
            const auto *bytes = static_cast<const uint8_t *>(buffer);
            active_->ops_.push_back(
                {FileOp::write, static_cast<uint64_t>(offset), Bytes(bytes, bytes + written)});
        }
        return written;
    }
    static int ftruncate(int fd, off_t length) {
        const int result = rux_sys_default.ftruncate(fd, length);
        if (result == 0 && is_file(fd)) {
            active_->ops_.push_back({FileOp::truncate, static_cast<uint64_t>(length), {}});
        }
        return result;
    }
    static int fsync(int fd) {
        const int result = rux_sys_default.fsync(fd);
        if (result == 0 && is_file(fd)) {
            active_->ops_.push_back({FileOp::sync, 0, {}});
        }
        return result;
    }

    static CrashRecorder *active_;
    std::string path_;
    rux_sys_calls table_;
    std::vector<int> file_fds_;
    std::vector<FileOp> ops_;
};

CrashRecorder *CrashRecorder::active_ = nullptr;

constexpr uint64_t kPage = 4096;
constexpr size_t kTearsPerWrite = 4;

// Applies the operation; a write only up to `length` of its bytes.
void apply(const FileOp &op, Bytes *image, size_t length = SIZE_MAX) {
    if (op.kind == FileOp::write) {
        const size_t count = length < op.bytes.size() ? length : op.bytes.size();
        if (image->size() < op.offset + count) {
            image->resize(op.offset + count, 0);
        }
        std::memcpy(image->data() + op.offset, op.bytes.data(), count);
    } else if (op.kind == FileOp::truncate) {
        image->resize(op.offset, 0);
    }
}

// The workload's state after each step, and how many file operations had
// been issued by then.
struct Snapshot {
    size_t ops;
    std::string step;
    Progress progress;
};

struct Recording {
    Bytes base;  // the file before the first recorded operation
    std::vector<FileOp> ops;
    std::vector<Snapshot> snapshots;
};

enum class Workload { trajectory, upgrade };

Recording record_workload(Workload workload, const std::string &path) {
    Recording recording;
    Progress progress;
    rux_handle handle{};
    if (workload == Workload::upgrade) {
        write_version1_file(path, &progress.current);
        recording.base = rux_test::read_file(path);
    }
    CrashRecorder recorder(path);
    // The trajectory workload starts with creating the file; crash states
    // are counted from the first step after it, when the file exists whole.
    auto observe = [&](const std::string &step, int result) {
        EXPECT_EQ(result, RUX_SUCCESS) << step;
        if (step == "create") {
            recording.base = rux_test::read_file(path);
            recording.snapshots.clear();
            recording.ops.clear();
        }
        recording.snapshots.push_back({recorder.ops().size(), step, progress});
        return true;
    };
    recording.snapshots.push_back({0, "start", progress});
    if (workload == Workload::trajectory) {
        run_trajectory_workload(path, &handle, &progress, observe);
    } else {
        run_upgrade_workload(path, &handle, &progress, observe);
    }
    // Operations before the file existed whole belong to its creation.
    const size_t skipped = workload == Workload::trajectory ? recording.snapshots.front().ops : 0;
    recording.ops.assign(recorder.ops().begin() + static_cast<long>(skipped), recorder.ops().end());
    for (Snapshot &snapshot : recording.snapshots) {
        snapshot.ops -= skipped;
    }
    return recording;
}

// What an image that holds the first `applied` operations may contain.
struct Allowed {
    Expectation current;
    Expectation alternative;  // while a truncation (emptying or a cut) runs
    bool truncating;
};

Allowed allowed_at(const Recording &recording, size_t applied) {
    // The step in flight is the first whose snapshot was taken after the
    // `applied`-th operation; the one before it says what was recorded.
    size_t next = 0;
    while (next + 1 < recording.snapshots.size() && recording.snapshots[next].ops <= applied) {
        ++next;
    }
    const Snapshot &before = recording.snapshots[next == 0 ? 0 : next - 1];
    const Snapshot &after = recording.snapshots[next];
    Allowed allowed;
    allowed.current = after.progress.current;
    allowed.truncating = after.progress.truncating;
    // A truncation in flight says itself what it records: nothing for an
    // emptying, exactly the kept frames for a cut; the content before it is
    // the alternative.
    if (!allowed.truncating) {
        allowed.current.recorded = before.progress.current.recorded;
    }
    allowed.alternative = after.progress.alternative;
    return allowed;
}

int check_crash_states(const Recording &recording, const std::string &image_path) {
    int states = 0;
    Bytes durable = recording.base;
    size_t synced = 0;  // operations [0, synced) are on the disk for sure
    for (size_t applied = 0; applied <= recording.ops.size(); ++applied) {
        if (applied > 0 && recording.ops[applied - 1].kind == FileOp::sync) {
            for (; synced < applied; ++synced) {
                apply(recording.ops[synced], &durable);
            }
        }
        std::vector<size_t> pending;
        for (size_t i = synced; i < applied; ++i) {
            if (recording.ops[i].kind != FileOp::sync) {
                pending.push_back(i);
            }
        }
        std::vector<std::vector<size_t>> subsets = {{}, pending};
        if (pending.size() > 1) {
            for (size_t i : pending) {
                subsets.push_back({i});
            }
        }
        // The last write torn at page boundaries, the writes before it whole
        // (a killed process), or alone (a power cut that kept only its first
        // pages): a subset's last element is applied up to `tear` bytes.
        std::vector<std::pair<std::vector<size_t>, size_t>> torn;
        if (applied > 0 && recording.ops[applied - 1].kind == FileOp::write) {
            const FileOp &last = recording.ops[applied - 1];
            const uint64_t end = last.offset + last.bytes.size();
            size_t tears = 0;
            for (uint64_t page = (last.offset / kPage + 1) * kPage;
                 page < end && tears < kTearsPerWrite; page += kPage, ++tears) {
                torn.push_back({pending, static_cast<size_t>(page - last.offset)});
                if (pending.size() > 1) {
                    torn.push_back({{applied - 1}, static_cast<size_t>(page - last.offset)});
                }
            }
        }
        for (const auto &subset : subsets) {
            torn.push_back({subset, SIZE_MAX});
        }
        const Allowed allowed = allowed_at(recording, applied);
        std::vector<const Expectation *> expectations = {&allowed.current};
        if (allowed.truncating) {
            expectations.push_back(&allowed.alternative);
        }
        for (const auto &state : torn) {
            const std::vector<size_t> &subset = state.first;
            Bytes image = durable;
            for (size_t i : subset) {
                apply(recording.ops[i], &image, i == subset.back() ? state.second : SIZE_MAX);
            }
            rux_test::write_file(image_path, image);
            ++states;
            std::string problem = check_file(image_path, expectations);
            if (problem.empty()) {
                problem = check_resumed_writer(image_path);
            }
            EXPECT_EQ(problem, "") << "crash after " << applied << " of " << recording.ops.size()
                                   << " operations, with " << subset.size() << " of "
                                   << pending.size() << " unsynced writes"
                                   << (state.second == SIZE_MAX
                                           ? std::string()
                                           : ", the last torn after " +
                                                 std::to_string(state.second) + " bytes");
        }
    }
    return states;
}

class CrashStates : public ::testing::TestWithParam<Workload> {};

TEST_P(CrashStates, EveryCrashImageOpensWithARecordedPrefix) {
    rux_test::TempDir dir;
    const Recording recording = record_workload(GetParam(), dir.path("file.rux"));
    ASSERT_GT(recording.ops.size(), 20u);
    const int states = check_crash_states(recording, dir.path("image.rux"));
    std::printf("[ counts   ] %d crash states checked over %zu file operations\n", states,
                recording.ops.size());
}

INSTANTIATE_TEST_SUITE_P(Workloads, CrashStates,
                         ::testing::Values(Workload::trajectory, Workload::upgrade),
                         [](const ::testing::TestParamInfo<Workload> &info) {
                             return info.param == Workload::trajectory ? "Trajectory" : "Upgrade";
                         });

}  // namespace
}  // namespace rux_reliability
