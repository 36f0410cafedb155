// The scripted workload that the reliability tests run under injected faults
// and recorded crashes, and the model of what a file must hold afterwards.
#ifndef RUX_RELIABILITY_WORKLOAD_H
#define RUX_RELIABILITY_WORKLOAD_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "chunk_model.h"
#include "rux/rux.h"

namespace rux_reliability {

using rux_test::Bytes;
using rux_test::Chunk;
using rux_test::Frame;

// What a file may hold: a prefix of `frames` at least `recorded` long.
struct Expectation {
    std::vector<Frame> frames;
    uint64_t recorded = 0;
};

// Where the workload stands; updated as each step returns.
struct Progress {
    // The file's content as the workload knows it, and, from the start of a
    // truncation (rux_truncate or rux_truncate_frames) until the next step
    // reports, what the file may hold instead: the content before the
    // truncation once it has returned, the content after it while it runs.
    Expectation current;
    Expectation alternative;
    bool truncating = false;
    bool creating = false;  // a failure now may leave a partly created file
    bool handle_open = false;
    int failed_result = RUX_SUCCESS;
    std::string failed_step;
};

// Called after each step with its name and result; returning false stops
// the workload.
using StepObserver = std::function<bool(const std::string &step, int result)>;

// Runs the workload on `path` with `handle`: create; small, large and new-name
// chunks over many frames with flushes and read-backs, growing both blocks;
// close; reopen; more frames, some staged, and a chunk in progress; cut back
// to the first frames (rux_truncate_frames); more frames; truncate; more
// frames; close. Stops at the first failing
// step (leaving the handle open for the caller to close) or when the
// observer says so.
void run_trajectory_workload(const std::string &path, rux_handle *handle, Progress *progress,
                             const StepObserver &observer);

// The same for a version 1 layout file at `path` (written by
// write_version1_file): reopen writable, more frames, upgrade, more frames,
// close.
void write_version1_file(const std::string &path, Expectation *content);
void run_upgrade_workload(const std::string &path, rux_handle *handle, Progress *progress,
                          const StepObserver &observer);

// Opens the file read-only and checks that it holds one of the expectations;
// returns "" when it does, else what is wrong.
std::string check_file(const std::string &path, const std::vector<const Expectation *> &allowed);

// Opens the file writable as a resuming writer would, adds one frame, closes,
// and checks that the frame follows the frames it found, alone in its frame:
// "" when it does, else what is wrong.
std::string check_resumed_writer(const std::string &path);

}  // namespace rux_reliability

#endif
