#include "recording_sys.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace rux_test {

namespace {

RecordingSys *active = nullptr;

// 1 when the transfer goes ahead (for at most *allowed bytes), else the
// result that the faulty call returns.
ssize_t faulty_transfer(size_t count, const RecordingSys::Fault *fault, size_t *allowed) {
    *allowed = count;
    if (fault == nullptr) {
        return 1;
    }
    switch (fault->action) {
        case RecordingSys::Fault::fail:
            errno = fault->err;
            return -1;
        case RecordingSys::Fault::stall:
            errno = fault->err;
            return 0;
        case RecordingSys::Fault::shorten:
            *allowed = count < fault->max_bytes ? count : fault->max_bytes;
            return 1;
    }
    return 1;
}

int rec_open(const char *path, int flags, mode_t mode) {
    if (const auto *fault = active->next_fault(Call::open)) {
        errno = fault->err;
        active->record(Call::open, -1, 0, 0);
        return -1;
    }
    int fd = rux_sys_default.open(path, flags, mode);
    active->record(Call::open, fd, 0, 0);
    return fd;
}

int rec_close(int fd) {
    active->record(Call::close, fd, 0, 0);
    if (const auto *fault = active->next_fault(Call::close)) {
        // The descriptor is closed anyway, as after a failing close(2).
        rux_sys_default.close(fd);
        errno = fault->err;
        return -1;
    }
    return rux_sys_default.close(fd);
}

ssize_t rec_pread(int fd, void *buffer, size_t count, off_t offset) {
    active->record(Call::pread, fd, static_cast<uint64_t>(offset), count);
    size_t allowed;
    ssize_t early = faulty_transfer(count, active->next_fault(Call::pread), &allowed);
    if (early <= 0) {
        return early;
    }
    return rux_sys_default.pread(fd, buffer, allowed, offset);
}

ssize_t rec_pwrite(int fd, const void *buffer, size_t count, off_t offset) {
    active->record(Call::pwrite, fd, static_cast<uint64_t>(offset), count);
    size_t allowed;
    ssize_t early = faulty_transfer(count, active->next_fault(Call::pwrite), &allowed);
    if (early <= 0) {
        return early;
    }
    ssize_t result = rux_sys_default.pwrite(fd, buffer, allowed, offset);
    active->wrote();
    return result;
}

int rec_fsync(int fd) {
    active->record(Call::fsync, fd, 0, 0);
    if (const auto *fault = active->next_fault(Call::fsync)) {
        errno = fault->err;
        return -1;
    }
    return rux_sys_default.fsync(fd);
}

int rec_ftruncate(int fd, off_t length) {
    active->record(Call::ftruncate, fd, static_cast<uint64_t>(length), 0);
    if (const auto *fault = active->next_fault(Call::ftruncate)) {
        errno = fault->err;
        return -1;
    }
    int result = rux_sys_default.ftruncate(fd, length);
    active->wrote();
    return result;
}

off_t rec_lseek(int fd, off_t offset, int whence) {
    active->record(Call::lseek, fd, static_cast<uint64_t>(offset), static_cast<uint64_t>(whence));
    if (const auto *fault = active->next_fault(Call::lseek)) {
        errno = fault->err;
        return -1;
    }
    return rux_sys_default.lseek(fd, offset, whence);
}

void *rec_mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
    active->record(Call::mmap, fd, static_cast<uint64_t>(offset), length);
    if (const auto *fault = active->next_fault(Call::mmap)) {
        errno = fault->err;
        return MAP_FAILED;
    }
    void *result = rux_sys_default.mmap(address, length, protection, flags, fd, offset);
    if (result != MAP_FAILED) {
        active->note_mapping(result, true);
    }
    return result;
}

int rec_munmap(void *address, size_t length) {
    active->record(Call::munmap, -1, 0, length);
    if (const auto *fault = active->next_fault(Call::munmap)) {
        errno = fault->err;
        return -1;
    }
    int result = rux_sys_default.munmap(address, length);
    if (result == 0) {
        active->note_mapping(address, false);
    }
    return result;
}

long rec_page_size() {
    return rux_sys_default.page_size();
}

void *rec_malloc(size_t size) {
    if (active->next_fault(Call::alloc) != nullptr) {
        return nullptr;
    }
    void *result = rux_sys_default.malloc(size);
    active->note_allocation(nullptr, result);
    return result;
}

void *rec_calloc(size_t count, size_t size) {
    if (active->next_fault(Call::alloc) != nullptr) {
        return nullptr;
    }
    void *result = rux_sys_default.calloc(count, size);
    active->note_allocation(nullptr, result);
    return result;
}

void *rec_realloc(void *pointer, size_t size) {
    if (active->next_fault(Call::alloc) != nullptr) {
        return nullptr;
    }
    void *result = rux_sys_default.realloc(pointer, size);
    if (result != nullptr) {
        active->note_allocation(pointer, result);
    }
    return result;
}

void rec_free(void *pointer) {
    active->next_fault(Call::free);
    active->note_allocation(pointer, nullptr);
    rux_sys_default.free(pointer);
}

}  // namespace

const char *call_name(Call kind) {
    static const char *const names[kCallKinds] = {"open",   "close",     "pread", "pwrite",
                                                  "fsync",  "ftruncate", "lseek", "mmap",
                                                  "munmap", "alloc",     "free"};
    return names[static_cast<int>(kind)];
}

void PrintTo(const CallRecord &record, std::ostream *out) {
    *out << call_name(record.kind) << "(fd " << record.fd << ", offset " << record.offset
         << ", length " << record.length << ")";
}

RecordingSys::RecordingSys()
    : table_{rec_open, rec_close,  rec_pread,     rec_pwrite, rec_fsync,  rec_ftruncate, rec_lseek,
             rec_mmap, rec_munmap, rec_page_size, rec_malloc, rec_calloc, rec_realloc,   rec_free} {
    if (active != nullptr) {
        throw std::logic_error("only one RecordingSys may be installed");
    }
    active = this;
    rux_sys = &table_;
}

RecordingSys::~RecordingSys() {
    rux_sys = &rux_sys_default;
    active = nullptr;
}

void RecordingSys::add_fault(Fault::Action action, Call kind, int nth, int times, int err,
                             size_t max) {
    uint64_t first = calls_[static_cast<int>(kind)] + static_cast<uint64_t>(nth);
    uint64_t last = times == 0 ? UINT64_MAX : first + static_cast<uint64_t>(times) - 1;
    faults_.push_back(Fault{action, kind, first, last, err, max});
}

void RecordingSys::fail(Call kind, int nth, int err, int times) {
    add_fault(Fault::fail, kind, nth, times, err, 0);
}

void RecordingSys::shorten(Call kind, int nth, size_t max_bytes) {
    add_fault(Fault::shorten, kind, nth, 1, 0, max_bytes);
}

void RecordingSys::stall(Call kind, int nth, int err, int times) {
    add_fault(Fault::stall, kind, nth, times, err, 0);
}

const RecordingSys::Fault *RecordingSys::next_fault(Call kind) {
    uint64_t number = ++calls_[static_cast<int>(kind)];
    for (const Fault &fault : faults_) {
        if (fault.kind == kind && number >= fault.first && number <= fault.last) {
            return &fault;
        }
    }
    return nullptr;
}

void RecordingSys::record(Call kind, int fd, uint64_t offset, uint64_t length) {
    records_.push_back(CallRecord{kind, fd, offset, length});
}

void RecordingSys::note_allocation(void *old_pointer, void *new_pointer) {
    if (old_pointer != nullptr) {
        live_allocations_.erase(old_pointer);
    }
    if (new_pointer != nullptr) {
        live_allocations_[new_pointer] = true;
    }
}

void RecordingSys::note_mapping(void *address, bool added) {
    if (added) {
        live_mappings_[address] = true;
    } else {
        live_mappings_.erase(address);
    }
}

std::vector<CallRecord> RecordingSys::records_of(std::set<Call> kinds) const {
    std::vector<CallRecord> selected;
    for (const CallRecord &record : records_) {
        if (kinds.count(record.kind) != 0) {
            selected.push_back(record);
        }
    }
    return selected;
}

std::vector<CallRecord> RecordingSys::writes() const {
    return records_of({Call::pwrite, Call::fsync, Call::ftruncate});
}

int RecordingSys::count(Call kind) const {
    int n = 0;
    for (const CallRecord &record : records_) {
        n += record.kind == kind ? 1 : 0;
    }
    return n;
}

int RecordingSys::count(Call kind, int fd) const {
    int n = 0;
    for (const CallRecord &record : records_) {
        n += record.kind == kind && record.fd == fd ? 1 : 0;
    }
    return n;
}

int RecordingSys::count_on(int fd) const {
    int n = 0;
    for (const CallRecord &record : records_) {
        n += record.kind != Call::open && record.fd == fd ? 1 : 0;
    }
    return n;
}

std::set<int> RecordingSys::opened_descriptors() const {
    std::set<int> fds;
    for (const CallRecord &record : records_) {
        if (record.kind == Call::open && record.fd >= 0) {
            fds.insert(record.fd);
        }
    }
    return fds;
}

bool RecordingSys::touched_only_opened_descriptors() const {
    std::set<int> opened = opened_descriptors();
    for (const CallRecord &record : records_) {
        if (record.kind != Call::open && record.fd >= 0 && opened.count(record.fd) == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace rux_test
