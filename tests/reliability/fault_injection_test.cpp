// Every system call and every allocation of the workloads fails once, one
// run per call: the failure surfaces as an error code (or is absorbed with
// nothing lost), the handle still closes without leaking, and a fresh handle
// opens the file and reads exactly a recorded prefix of the frames.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "recording_sys.h"
#include "temp_dir.h"
#include "workload.h"

namespace rux_reliability {
namespace {

using rux_test::Call;
using rux_test::RecordingSys;

enum class Workload { trajectory, upgrade };

struct Injection {
    Call kind;
    int nth;
    bool shorten;  // move fewer bytes instead of failing
};

struct Outcome {
    std::string problem;  // "" when every promise held
    bool surfaced = false;
};

void run(Workload workload, const std::string &path, rux_handle *handle, Progress *progress,
         const StepObserver &observer) {
    if (workload == Workload::trajectory) {
        run_trajectory_workload(path, handle, progress, observer);
    } else {
        run_upgrade_workload(path, handle, progress, observer);
    }
}

// Closes the handle as a caller would after an error: retrying while the
// handle still owns its descriptor.
void close_after_failure(rux_handle *handle, Progress *progress) {
    for (int attempt = 0; attempt < 3 && progress->handle_open && handle->owns_descriptor;
         ++attempt) {
        rux_close(handle);
    }
    progress->handle_open = handle->owns_descriptor != 0;
}

std::string leaked_descriptors(const RecordingSys &sys) {
    std::string leaked;
    for (int fd : sys.opened_descriptors()) {
        if (fd >= 0 && fcntl(fd, F_GETFD) != -1) {
            leaked += " " + std::to_string(fd);
            close(fd);
        }
    }
    return leaked.empty() ? "" : "descriptors left open:" + leaked;
}

std::string check_content(const std::string &path, const Progress &progress) {
    if (progress.creating) {
        // A failed creation leaves a partly written file and recorded nothing.
        rux_handle handle;
        if (rux_open(&handle, path.c_str(), RUX_OPEN_READONLY) != RUX_SUCCESS) {
            return "";
        }
        const uint64_t frames = rux_get_nframes(&handle);
        rux_close(&handle);
        return frames == 0 ? "" : "a failed creation left frames";
    }
    std::vector<const Expectation *> allowed = {&progress.current};
    if (progress.truncating) {
        allowed.push_back(&progress.alternative);  // the truncation may be done
    }
    return check_file(path, allowed);
}

Outcome run_with_injection(Workload workload, const Injection &injection) {
    rux_test::TempDir dir;
    const std::string path = dir.path("file.rux");
    Progress progress;
    if (workload == Workload::upgrade) {
        write_version1_file(path, &progress.current);
    }
    Outcome outcome;
    rux_handle handle{};
    {
        RecordingSys sys;
        if (injection.shorten) {
            sys.shorten(injection.kind, injection.nth, 3);
        } else {
            sys.fail(injection.kind, injection.nth, injection.kind == Call::alloc ? ENOMEM : EIO);
        }
        run(workload, path, &handle, &progress, [](const std::string &, int) { return true; });
        outcome.surfaced = progress.failed_result != RUX_SUCCESS;
        close_after_failure(&handle, &progress);
        sys.clear_faults();
        if (progress.handle_open) {
            outcome.problem = "the handle could not be closed";
        } else if (sys.live_allocations() != 0 || sys.live_mappings() != 0) {
            outcome.problem = std::to_string(sys.live_allocations()) + " allocations and " +
                              std::to_string(sys.live_mappings()) + " mappings leaked";
        } else {
            outcome.problem = leaked_descriptors(sys);
        }
    }
    if (outcome.problem.empty()) {
        outcome.problem = check_content(path, progress);
    }
    if (outcome.problem.empty() && injection.shorten && outcome.surfaced) {
        outcome.problem = "a short transfer failed step " + progress.failed_step;
    }
    return outcome;
}

// How many calls of each kind the workload makes when nothing fails.
std::map<Call, int> count_calls(Workload workload) {
    rux_test::TempDir dir;
    const std::string path = dir.path("file.rux");
    Progress progress;
    if (workload == Workload::upgrade) {
        write_version1_file(path, &progress.current);
    }
    RecordingSys sys;
    rux_handle handle{};
    run(workload, path, &handle, &progress, [](const std::string &, int) { return true; });
    EXPECT_EQ(progress.failed_result, RUX_SUCCESS) << progress.failed_step;
    std::map<Call, int> counts;
    for (Call kind : {Call::open, Call::close, Call::pread, Call::pwrite, Call::fsync,
                      Call::ftruncate, Call::lseek, Call::mmap, Call::munmap, Call::alloc}) {
        counts[kind] = static_cast<int>(sys.calls(kind));
    }
    return counts;
}

struct Tally {
    int points = 0;
    int surfaced = 0;
};

void inject_everywhere(Workload workload, const std::vector<Call> &kinds, bool shorten,
                       Tally *tally) {
    const std::map<Call, int> counts = count_calls(workload);
    for (Call kind : kinds) {
        for (int nth = 1; nth <= counts.at(kind); ++nth) {
            const Outcome outcome = run_with_injection(workload, {kind, nth, shorten});
            ++tally->points;
            tally->surfaced += outcome.surfaced ? 1 : 0;
            EXPECT_EQ(outcome.problem, "")
                << (shorten ? "shortened " : "failed ") << rux_test::call_name(kind) << " #" << nth;
        }
    }
}

const std::vector<Call> kFileCalls = {Call::open,   Call::close, Call::pread,
                                      Call::pwrite, Call::fsync, Call::ftruncate,
                                      Call::lseek,  Call::mmap,  Call::munmap};

class FaultInjection : public ::testing::TestWithParam<Workload> {};

TEST_P(FaultInjection, EveryFailingSystemCallKeepsTheFileReadable) {
    Tally tally;
    inject_everywhere(GetParam(), kFileCalls, false, &tally);
    std::printf("[ counts   ] %d system-call injection points, %d surfaced as errors\n",
                tally.points, tally.surfaced);
    EXPECT_GT(tally.points, 30);
}

TEST_P(FaultInjection, EveryShortTransferIsCompleted) {
    Tally tally;
    inject_everywhere(GetParam(), {Call::pread, Call::pwrite}, true, &tally);
    std::printf("[ counts   ] %d short-transfer injection points\n", tally.points);
    EXPECT_EQ(tally.surfaced, 0);
}

TEST_P(FaultInjection, EveryFailingAllocationLeaksNothing) {
    Tally tally;
    inject_everywhere(GetParam(), {Call::alloc}, false, &tally);
    std::printf("[ counts   ] %d allocation injection points, %d surfaced as errors\n",
                tally.points, tally.surfaced);
    EXPECT_GT(tally.points, 10);
}

INSTANTIATE_TEST_SUITE_P(Workloads, FaultInjection,
                         ::testing::Values(Workload::trajectory, Workload::upgrade),
                         [](const ::testing::TestParamInfo<Workload> &info) {
                             return info.param == Workload::trajectory ? "Trajectory" : "Upgrade";
                         });

}  // namespace
}  // namespace rux_reliability

namespace rux_reliability {
namespace {

// A failed fsync may leave unwritten pages marked clean, so a later fsync
// could report success for data that never reached the disk: after one, the
// handle records nothing more, while frames already recorded stay readable.
TEST(FailedFsync, StopsWritingButKeepsReading) {
    rux_test::TempDir dir;
    const std::string path = dir.path("file.rux");
    rux_handle handle;
    ASSERT_EQ(rux_create_and_open(&handle, path.c_str(), "app", "schema", 0, RUX_OPEN_READWRITE, 0),
              RUX_SUCCESS);
    const double value = 2.5;
    ASSERT_EQ(rux_write_chunk(&handle, "x", RUX_TYPE_DOUBLE, 1, 1, 0, &value), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(&handle), RUX_SUCCESS);
    ASSERT_EQ(rux_flush(&handle), RUX_SUCCESS);
    {
        RecordingSys sys;
        sys.fail(Call::fsync, 1, EIO);
        ASSERT_EQ(rux_write_chunk(&handle, "x", RUX_TYPE_DOUBLE, 1, 1, 0, &value), RUX_SUCCESS);
        ASSERT_EQ(rux_end_frame(&handle), RUX_SUCCESS);
        EXPECT_EQ(rux_flush(&handle), RUX_ERROR_IO);
        sys.clear_faults();
        EXPECT_EQ(rux_flush(&handle), RUX_ERROR_IO) << "a retried fsync must not succeed";
        EXPECT_EQ(rux_write_chunk(&handle, "x", RUX_TYPE_DOUBLE, 1, 1, 0, &value), RUX_ERROR_IO);
        EXPECT_EQ(rux_end_frame(&handle), RUX_ERROR_IO);
        const int writes_before = sys.count(Call::pwrite);
        const rux_index_entry *entry = rux_find_chunk(&handle, 0, "x");
        ASSERT_NE(entry, nullptr);
        double read = 0;
        EXPECT_EQ(rux_read_chunk(&handle, &read, entry), RUX_SUCCESS);
        EXPECT_EQ(read, value);
        EXPECT_EQ(sys.count(Call::pwrite), writes_before)
            << "lookups on such a handle do not flush";
        EXPECT_EQ(sys.count(Call::fsync), 1);
        EXPECT_EQ(rux_close(&handle), RUX_ERROR_IO);
        EXPECT_EQ(handle.owns_descriptor, 0);
        EXPECT_EQ(sys.live_allocations(), 0u);
    }
    Expectation recorded;
    recorded.frames.push_back({{"x", Chunk{RUX_TYPE_DOUBLE, 1, 1, Bytes(8)}}});
    std::memcpy(recorded.frames[0]["x"].bytes.data(), &value, sizeof value);
    recorded.recorded = 1;
    EXPECT_EQ(check_file(path, {&recorded}), "");
}

}  // namespace
}  // namespace rux_reliability
