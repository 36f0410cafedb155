// The one layer through which the library reaches the operating system and
// the allocator. Production code calls the system; a test installs its own
// table to record, fail or shorten any call (fault injection, crash images).
#ifndef RUX_SYS_IO_H
#define RUX_SYS_IO_H

#include <sys/types.h>

#include <cstddef>

struct rux_sys_calls {
    int (*open)(const char *path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*pread)(int fd, void *buffer, size_t count, off_t offset);
    ssize_t (*pwrite)(int fd, const void *buffer, size_t count, off_t offset);
    int (*fsync)(int fd);
    int (*ftruncate)(int fd, off_t length);
    off_t (*lseek)(int fd, off_t offset, int whence);
    void *(*mmap)(void *address, size_t length, int protection, int flags, int fd, off_t offset);
    int (*munmap)(void *address, size_t length);
    long (*page_size)();
    void *(*malloc)(size_t size);
    void *(*calloc)(size_t count, size_t size);
    void *(*realloc)(void *pointer, size_t size);
    void (*free)(void *pointer);
};

// The table that calls the system directly.
extern const rux_sys_calls rux_sys_default;

// The table in use. It is the library's only mutable global and exists for
// tests alone: they swap it while no handle is in use by another thread.
extern const rux_sys_calls *rux_sys;

inline int rux_sys_open(const char *path, int flags, mode_t mode) {
    return rux_sys->open(path, flags, mode);
}
inline int rux_sys_close(int fd) {
    return rux_sys->close(fd);
}
inline ssize_t rux_sys_pread(int fd, void *buffer, size_t count, off_t offset) {
    return rux_sys->pread(fd, buffer, count, offset);
}
inline ssize_t rux_sys_pwrite(int fd, const void *buffer, size_t count, off_t offset) {
    return rux_sys->pwrite(fd, buffer, count, offset);
}
inline int rux_sys_fsync(int fd) {
    return rux_sys->fsync(fd);
}
inline int rux_sys_ftruncate(int fd, off_t length) {
    return rux_sys->ftruncate(fd, length);
}
inline off_t rux_sys_lseek(int fd, off_t offset, int whence) {
    return rux_sys->lseek(fd, offset, whence);
}
inline void *rux_sys_mmap(void *address, size_t length, int protection, int flags, int fd,
                          off_t offset) {
    return rux_sys->mmap(address, length, protection, flags, fd, offset);
}
inline int rux_sys_munmap(void *address, size_t length) {
    return rux_sys->munmap(address, length);
}
inline long rux_sys_page_size() {
    return rux_sys->page_size();
}
inline void *rux_sys_malloc(size_t size) {
    return rux_sys->malloc(size);
}
inline void *rux_sys_calloc(size_t count, size_t size) {
    return rux_sys->calloc(count, size);
}
inline void *rux_sys_realloc(void *pointer, size_t size) {
    return rux_sys->realloc(pointer, size);
}
inline void rux_sys_free(void *pointer) {
    rux_sys->free(pointer);
}

#endif
