#include "sys_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

namespace {

int system_open(const char *path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}
long system_page_size() {
    return ::sysconf(_SC_PAGESIZE);
}

}  // namespace

const rux_sys_calls rux_sys_default = {
    system_open, ::close,  ::pread,          ::pwrite,    ::fsync,     ::ftruncate,  ::lseek,
    ::mmap,      ::munmap, system_page_size, std::malloc, std::calloc, std::realloc, std::free,
};

const rux_sys_calls *rux_sys = &rux_sys_default;
