// A system-call table for tests: it passes every call on to the system,
// records the file calls (kind, descriptor, offset, length), keeps count of
// live allocations and mappings, and can fail, shorten or stall chosen calls.
#ifndef RUX_TEST_RECORDING_SYS_H
#define RUX_TEST_RECORDING_SYS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sys_io.h"

namespace rux_test {

// alloc stands for malloc, calloc and realloc together.
enum class Call { open, close, pread, pwrite, fsync, ftruncate, lseek, mmap, munmap, alloc, free };
constexpr int kCallKinds = 11;

struct CallRecord {
    Call kind;
    int fd;           // for open: the descriptor it returned
    uint64_t offset;  // file offset (pread, pwrite, mmap, lseek); ftruncate: the length
    uint64_t length;  // bytes asked for (pread, pwrite, mmap, munmap); lseek: whence

    bool operator==(const CallRecord &other) const {
        return kind == other.kind && fd == other.fd && offset == other.offset &&
               length == other.length;
    }
};

const char *call_name(Call kind);
void PrintTo(const CallRecord &record, std::ostream *out);

// While an instance lives, rux_sys points at it; the destructor restores the
// default table. Only one instance may live at a time.
class RecordingSys {
  public:
    RecordingSys();
    ~RecordingSys();
    RecordingSys(const RecordingSys &) = delete;
    RecordingSys &operator=(const RecordingSys &) = delete;

    // Counting from this call on, the nth call of the kind (1 for the next one)
    // and the times - 1 after it fail with err; times 0 means every later call.
    // A failing call transfers nothing and returns -1 (null for alloc,
    // MAP_FAILED for mmap).
    void fail(Call kind, int nth, int err, int times = 1);
    // The nth pread or pwrite from now moves at most max_bytes bytes.
    void shorten(Call kind, int nth, size_t max_bytes);
    // The nth pread or pwrite from now (and the times - 1 after it; times 0
    // means every later one) moves nothing, returns 0 and leaves errno at err.
    void stall(Call kind, int nth, int err, int times = 1);
    void clear_faults() { faults_.clear(); }
    // Called after every pwrite and ftruncate that reached the system, for
    // looking at the file as a crash at that moment would leave it.
    void after_each_write(std::function<void()> check) { after_write_ = std::move(check); }
    void wrote() const {
        if (after_write_) {
            after_write_();
        }
    }

    void clear_records() { records_.clear(); }
    const std::vector<CallRecord> &records() const { return records_; }
    // The records of the given kinds, in order.
    std::vector<CallRecord> records_of(std::set<Call> kinds) const;
    // pwrite, fsync and ftruncate records: what changes the file.
    std::vector<CallRecord> writes() const;
    int count(Call kind) const;
    // Calls of the kind seen since construction, recorded or not (allocations
    // are counted but not recorded).
    uint64_t calls(Call kind) const { return calls_[static_cast<int>(kind)]; }
    int count(Call kind, int fd) const;
    // File calls that used the descriptor (open excluded).
    int count_on(int fd) const;
    std::set<int> opened_descriptors() const;
    // True when every recorded call used a descriptor that a recorded open
    // returned (or none).
    bool touched_only_opened_descriptors() const;

    // Allocations and mappings made while recording and not yet released.
    size_t live_allocations() const { return live_allocations_.size(); }
    size_t live_mappings() const { return live_mappings_.size(); }

    // Entry points of the table, public for the C-style trampolines.
    struct Fault;
    const Fault *next_fault(Call kind);
    void record(Call kind, int fd, uint64_t offset, uint64_t length);
    void note_allocation(void *old_pointer, void *new_pointer);
    void note_mapping(void *address, bool added);

    struct Fault {
        enum Action { fail, shorten, stall } action;
        Call kind;
        uint64_t first;  // call number (since construction) of the first affected call
        uint64_t last;   // inclusive; UINT64_MAX for every later call
        int err;
        size_t max_bytes;
    };

  private:
    void add_fault(Fault::Action action, Call kind, int nth, int times, int err, size_t max);

    rux_sys_calls table_;
    std::vector<CallRecord> records_;
    std::vector<Fault> faults_;
    std::function<void()> after_write_;
    uint64_t calls_[kCallKinds] = {};
    std::unordered_map<void *, bool> live_allocations_;
    std::unordered_map<void *, bool> live_mappings_;
};

}  // namespace rux_test

#endif
