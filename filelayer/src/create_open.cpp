// Creating and opening: laying out a new file, and reading, validating and
// setting up a handle for an open descriptor.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "containers.h"
#include "handle_ops.h"
#include "sys_io.h"

namespace {

constexpr mode_t kNewFilePermissions = 0660;
constexpr uint64_t kInitialStagedEntries = 16;
constexpr uint64_t kInitialWriteBufferBytes = 1024;
constexpr uint64_t kInitialFrameNamesBytes = 64;
constexpr int kLoadAttempts = 8;
// Namelist blocks above this size are read only as far as the file holds data.
constexpr uint64_t kSparseNamelistCheckBytes = 65536;
// A header whose commit record is present but does not check out is read
// again this often: a writer may be writing it (docs/format.md).
constexpr int kHeaderReads = 16;

// Keeps errno across cleanup, so callers see the error of the failing call.
class ErrnoKeeper {
  public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper &) = delete;
    ErrnoKeeper &operator=(const ErrnoKeeper &) = delete;

  private:
    int saved_;
};

void copy_header_text(char (&field)[RUX_HEADER_TEXT_FIELD], const char *text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text, strnlen(text, RUX_HEADER_TEXT_MAX));
}

// Closes a descriptor that a failed open set up, keeping errno and leaving the
// handle with no descriptor and no containers.
void abandon_open(rux_handle *handle) {
    ErrnoKeeper keep_errno;
    rux_release_containers(handle);
    if (handle->fd != -1) {
        rux_sys_close(handle->fd);
    }
    handle->fd = -1;
    handle->owns_descriptor = 0;
}

bool is_known_flag(rux_open_flag flags) {
    return flags == RUX_OPEN_READWRITE || flags == RUX_OPEN_READONLY || flags == RUX_OPEN_APPEND;
}

// Adds every name of the namelist block to the map, ids in file order. The
// block ends in a 0 byte (checked before), so every name is terminated.
int parse_namelist(rux_handle *handle) {
    const bool packed = rux_has_v2_layout(handle->header);
    const uint8_t *block = handle->file_names.bytes.data;
    const uint64_t block_size = handle->file_names.bytes.reserved;
    uint64_t position = 0;
    handle->file_names.count = 0;
    // While a writer holds the file, only the names it committed are whole.
    rux_commit_record record{};
    const bool limited = rux_commit_limits_view(handle->header, &record);
    // Ids are 16 bits and 0xFFFF names nothing: a list longer than that
    // (only a hostile file has one) ends there, so no name shares an id.
    while (position < block_size && block[position] != 0 &&
           handle->file_names.count < RUX_MAX_NAMES &&
           (!limited || handle->file_names.count < record.names)) {
        const char *name = reinterpret_cast<const char *>(block + position);
        const int result = rux_name_id_map_add(&handle->name_map, name,
                                               static_cast<uint16_t>(handle->file_names.count));
        if (result != RUX_SUCCESS) {
            return result;
        }
        ++handle->file_names.count;
        position += packed ? strnlen(name, block_size - position) + 1 : RUX_NAMELIST_UNIT;
    }
    handle->file_names.bytes.size = position < block_size ? position : block_size;
    if (limited) {
        // Names behind the commit point are not part of this view.
        std::memset(handle->file_names.bytes.data + handle->file_names.bytes.size, 0,
                    static_cast<size_t>(block_size - handle->file_names.bytes.size));
    }
    return RUX_SUCCESS;
}

// How much of the namelist block a read-only handle reads: all of it, unless
// the block is large and a hole of the file begins inside it. A hole reads as
// zero, so the list ends at its start (a name, or a version 1 slot, that
// begins there is empty); a hostile file that declares a huge, sparse block
// then costs the bytes it really holds. Writers keep the whole block, which
// they append names into.
uint64_t namelist_bytes_to_read(const rux_handle *handle, uint64_t block_bytes) {
    if (rux_is_writable(handle) || block_bytes <= kSparseNamelistCheckBytes) {
        return block_bytes;
    }
    const uint64_t location = handle->header.namelist_location;
    const off_t hole = rux_sys_lseek(handle->fd, static_cast<off_t>(location), SEEK_HOLE);
    if (hole < 0 || static_cast<uint64_t>(hole) < location) {
        return block_bytes;
    }
    const uint64_t data = static_cast<uint64_t>(hole) - location;
    // Up to the first whole slot inside the hole: a zero byte to end the list
    // in either layout.
    const uint64_t through_hole = (data / RUX_NAMELIST_UNIT + 2) * RUX_NAMELIST_UNIT;
    return through_hole < block_bytes ? through_hole : block_bytes;
}

int read_namelist(rux_handle *handle) {
    const rux_header &header = handle->header;
    const uint64_t units = header.namelist_allocated_entries;
    uint64_t block_end = 0;
    if (units > UINT64_MAX / RUX_NAMELIST_UNIT ||
        __builtin_add_overflow(header.namelist_location, units * RUX_NAMELIST_UNIT, &block_end) ||
        block_end > static_cast<uint64_t>(handle->file_size)) {
        return RUX_ERROR_FILE_CORRUPT;
    }
    int result = rux_name_id_map_init(&handle->name_map);
    if (result != RUX_SUCCESS) {
        return result;
    }
    const uint64_t block_bytes = units * RUX_NAMELIST_UNIT;
    const uint64_t read_bytes = namelist_bytes_to_read(handle, block_bytes);
    rux_byte_buffer &block = handle->file_names.bytes;
    result = rux_byte_buffer_init(&block, read_bytes);
    if (result != RUX_SUCCESS) {
        return result;
    }
    if (rux_pread_all(handle->fd, block.data, block.reserved, header.namelist_location) !=
        static_cast<int64_t>(block.reserved)) {
        return RUX_ERROR_IO;
    }
    uint8_t last = block.data[block.reserved - 1];
    if (read_bytes < block_bytes &&
        rux_pread_all(handle->fd, &last, 1, block_end - 1) != 1) {
        return RUX_ERROR_IO;
    }
    if (last != 0) {
        return RUX_ERROR_FILE_CORRUPT;
    }
    return parse_namelist(handle);
}

int set_up_write_side(rux_handle *handle) {
    int result = rux_index_buffer_init(&handle->frame_index, kInitialStagedEntries);
    if (result == RUX_SUCCESS) {
        result = rux_index_buffer_init(&handle->buffer_index, kInitialStagedEntries);
    }
    if (result == RUX_SUCCESS) {
        result = rux_byte_buffer_init(&handle->write_buffer, kInitialWriteBufferBytes);
    }
    if (result == RUX_SUCCESS) {
        handle->frame_names.count = 0;
        result = rux_byte_buffer_init(&handle->frame_names.bytes, kInitialFrameNamesBytes);
    }
    return result;
}

int read_header(rux_handle *handle) {
    int64_t read = 0;
    rux_commit_record record{};
    for (int attempt = 1;; ++attempt) {
        read = rux_pread_all(handle->fd, &handle->header, RUX_HEADER_SIZE, 0);
        if (read != static_cast<int64_t>(RUX_HEADER_SIZE) || attempt == kHeaderReads ||
            rux_commit_record_load(handle->header, &record) != rux_commit_state::untrusted) {
            break;
        }
    }
    if (read < 0) {
        return RUX_ERROR_IO;
    }
    if (read != static_cast<int64_t>(RUX_HEADER_SIZE) || handle->header.magic != RUX_MAGIC_ID) {
        return RUX_ERROR_NOT_A_RUX_FILE;
    }
    if (!rux_version_is_accepted(handle->header.rux_version)) {
        return RUX_ERROR_INVALID_RUX_FILE_VERSION;
    }
    return RUX_SUCCESS;
}

// Syncs the directory that holds a new file, so that its name survives a
// power cut too. A directory that cannot be opened, or a file system that
// cannot sync directories, leaves nothing to do.
int sync_parent_directory(const char *name) {
    const char *slash = std::strrchr(name, '/');
    const size_t length = slash == nullptr ? 1 : (slash == name ? 1 : slash - name);
    char *directory = static_cast<char *>(rux_sys_malloc(length + 1));
    if (directory == nullptr) {
        return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
    }
    std::memcpy(directory, slash == nullptr ? "." : name, length);
    directory[length] = 0;
    const int fd = rux_sys_open(directory, O_RDONLY | O_CLOEXEC, 0);
    rux_sys_free(directory);
    if (fd == -1) {
        return RUX_SUCCESS;
    }
    const int synced = rux_sys_fsync(fd);
    const int sync_error = errno;
    rux_sys_close(fd);
    errno = sync_error;
    return synced == 0 || sync_error == EINVAL || sync_error == EROFS ? RUX_SUCCESS : RUX_ERROR_IO;
}

// Whether the file changed since the handle took its view: it grew, or its
// header or namelist block differ from what the handle read (a writer can add
// names in place and entries without growing the file).
bool file_changed(const rux_handle *handle) {
    const off_t end = rux_sys_lseek(handle->fd, 0, SEEK_END);
    if (end != handle->file_size) {
        return true;
    }
    rux_header header;
    if (rux_pread_all(handle->fd, &header, RUX_HEADER_SIZE, 0) !=
            static_cast<int64_t>(RUX_HEADER_SIZE) ||
        std::memcmp(&header, &handle->header, sizeof header) != 0) {
        return true;
    }
    const rux_byte_buffer &names = handle->file_names.bytes;
    if (names.data == nullptr) {
        return false;
    }
    auto *block = static_cast<uint8_t *>(rux_sys_malloc(static_cast<size_t>(names.reserved)));
    if (block == nullptr) {
        return false;
    }
    const bool differs =
        rux_pread_all(handle->fd, block, names.reserved, header.namelist_location) !=
            static_cast<int64_t>(names.reserved) ||
        std::memcmp(block, names.data, static_cast<size_t>(names.reserved)) != 0;
    rux_sys_free(block);
    return differs;
}

// Header, size, names and the count of used entries: the handle's view of the
// file. The size is taken again after the count: every counted entry was
// written after its data, so the data lie within the size seen then, even
// when a writer appended while this view was being taken.
int read_file_state(rux_handle *handle) {
    int result = read_header(handle);
    if (result != RUX_SUCCESS) {
        return result;
    }
    const off_t end = rux_sys_lseek(handle->fd, 0, SEEK_END);
    if (end < 0) {
        return RUX_ERROR_IO;
    }
    handle->file_size = end;
    result = read_namelist(handle);
    if (result == RUX_SUCCESS) {
        result = rux_index_buffer_map_file(&handle->file_index, handle);
    }
    if (result != RUX_SUCCESS) {
        return result;
    }
    // Committed entries had their data synced before the header that counts
    // them was written, and that header was read before the size was taken.
    rux_commit_record record{};
    if (rux_commit_limits_view(handle->header, &record)) {
        return RUX_SUCCESS;
    }
    const off_t end_after_count = rux_sys_lseek(handle->fd, 0, SEEK_END);
    if (end_after_count < 0) {
        return RUX_ERROR_IO;
    }
    if (end_after_count > handle->file_size) {
        handle->file_size = end_after_count;
    }
    return RUX_SUCCESS;
}

// Whether the view just taken can stand: one limited by a commit record is
// stable whatever the writer does; any other must not have seen its header
// change, or the count may have met a writer that opened meanwhile.
bool view_is_settled(const rux_handle *handle) {
    rux_commit_record record{};
    if (rux_commit_limits_view(handle->header, &record)) {
        return true;
    }
    rux_header again;
    return rux_pread_all(handle->fd, &again, RUX_HEADER_SIZE, 0) ==
               static_cast<int64_t>(RUX_HEADER_SIZE) &&
           std::memcmp(&again, &handle->header, sizeof again) == 0;
}

// Readers honour a writer's commit record in a file of any version, but this
// library keeps the record only in the files it writes as 2.1 (2.0 and 2.1).
// A writer of any other version would append behind a record it does not
// keep: readers would not see those frames, and the next writer would write
// its own over them. Such a file is not written while the record holds it.
int refuse_record_not_kept(const rux_handle *handle) {
    rux_commit_record record{};
    if (!rux_version_is_written_as_2_1(handle->header.rux_version) &&
        rux_commit_limits_view(handle->header, &record)) {
        return RUX_ERROR_INVALID_RUX_FILE_VERSION;
    }
    return RUX_SUCCESS;
}

}  // namespace

int rux_load_view(rux_handle *handle) {
    int result = RUX_SUCCESS;
    for (int attempt = 1;; ++attempt) {
        result = read_file_state(handle);
        // A writer appending meanwhile can make the count probe entries whose
        // data or names came after this handle's view of the file; such a
        // file is not corrupt, so it is read again.
        const bool again = result == RUX_SUCCESS ? !view_is_settled(handle)
                                                 : result == RUX_ERROR_FILE_CORRUPT &&
                                                       file_changed(handle);
        if (!again || attempt == kLoadAttempts ||
            rux_release_containers(handle) != RUX_SUCCESS) {
            break;
        }
    }
    if (result != RUX_SUCCESS) {
        return result;
    }
    const rux_index_buffer &index = handle->file_index;
    handle->cur_frame =
        index.size == 0 ? 0 : rux_index_entry_load(&index.data[index.size - 1]).frame + 1;
    return RUX_SUCCESS;
}

rux_header rux_new_file_header(const char *application, const char *schema,
                               uint32_t schema_version) {
    rux_header header{};
    header.magic = RUX_MAGIC_ID;
    header.index_location = RUX_NEW_INDEX_LOCATION;
    header.index_allocated_entries = RUX_NEW_INDEX_ENTRIES;
    header.namelist_location = RUX_NEW_NAMELIST_LOCATION;
    header.namelist_allocated_entries = RUX_NEW_NAMELIST_UNITS;
    header.schema_version = schema_version;
    header.rux_version = RUX_VERSION_2_1;
    copy_header_text(header.application, application);
    copy_header_text(header.schema, schema);
    return header;
}

int rux_format_new_file(int fd, const char *application, const char *schema,
                        uint32_t schema_version) {
    if (fd == -1) {
        return RUX_ERROR_IO;
    }
    if (rux_sys_ftruncate(fd, 0) != 0) {
        return RUX_ERROR_IO;
    }
    const rux_header header = rux_new_file_header(application, schema, schema_version);
    if (rux_pwrite_all(fd, &header, RUX_HEADER_SIZE, 0) != static_cast<int64_t>(RUX_HEADER_SIZE) ||
        rux_write_zeros(fd, RUX_NEW_INDEX_ENTRIES * RUX_INDEX_ENTRY_SIZE, RUX_NEW_INDEX_LOCATION) !=
            RUX_SUCCESS ||
        rux_write_zeros(fd, RUX_NEW_NAMELIST_UNITS * RUX_NAMELIST_UNIT,
                        RUX_NEW_NAMELIST_LOCATION) != RUX_SUCCESS) {
        return RUX_ERROR_IO;
    }
    return rux_fsync(fd);
}

int rux_load_handle(rux_handle *handle) {
    if (handle->fd == -1) {
        return RUX_ERROR_IO;
    }
    int result = rux_load_view(handle);
    if (result == RUX_SUCCESS && rux_is_writable(handle)) {
        result = refuse_record_not_kept(handle);
    }
    if (result == RUX_SUCCESS && rux_is_writable(handle)) {
        result = rux_check_layout_for_writing(handle);
    }
    if (result != RUX_SUCCESS) {
        return result;
    }
    if (rux_is_writable(handle)) {
        result = set_up_write_side(handle);
        if (result != RUX_SUCCESS) {
            return result;
        }
    }
    handle->pending_index_entries = 0;
    handle->maximum_write_buffer_size = RUX_DEFAULT_MAXIMUM_WRITE_BUFFER_SIZE;
    handle->index_entries_to_buffer = RUX_DEFAULT_INDEX_ENTRIES_TO_BUFFER;
    handle->write_error = RUX_SUCCESS;
    handle->owns_descriptor = 1;
    if (rux_is_writable(handle) && rux_version_is_written_as_2_1(handle->header.rux_version)) {
        handle->header.rux_version = RUX_VERSION_2_1;
        // Before any write of this handle: what a dead writer left behind
        // the commit point is zeroed (commit_record.cpp, guarantee 4).
        return rux_commit_claim(handle);
    }
    return RUX_SUCCESS;
}

int rux_create(const char *name, const char *application, const char *schema,
               uint32_t schema_version) {
    if (name == nullptr || application == nullptr || schema == nullptr) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    const int fd = rux_sys_open(name, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, kNewFilePermissions);
    int result = rux_format_new_file(fd, application, schema, schema_version);
    if (result == RUX_SUCCESS) {
        result = sync_parent_directory(name);
    }
    if (fd != -1) {
        ErrnoKeeper keep_errno;
        rux_sys_close(fd);
    }
    return result;
}

int rux_create_and_open(rux_handle *handle, const char *name, const char *application,
                        const char *schema, uint32_t schema_version, rux_open_flag flags,
                        int exclusive_create) {
    if (handle == nullptr) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    *handle = rux_handle{};
    handle->fd = -1;
    if (flags == RUX_OPEN_READONLY) {
        return RUX_ERROR_FILE_MUST_BE_WRITABLE;
    }
    if (!is_known_flag(flags) || name == nullptr || application == nullptr || schema == nullptr) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    handle->open_flags = flags;
    const int open_flags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | (exclusive_create ? O_EXCL : 0);
    handle->fd = rux_sys_open(name, open_flags, kNewFilePermissions);
    int result = rux_format_new_file(handle->fd, application, schema, schema_version);
    if (result == RUX_SUCCESS) {
        result = sync_parent_directory(name);
    }
    if (result != RUX_SUCCESS) {
        abandon_open(handle);
        return result;
    }
    result = rux_load_handle(handle);
    if (result != RUX_SUCCESS) {
        abandon_open(handle);
    }
    RUX_ASSERT_HANDLE(handle);
    return result;
}

int rux_open(rux_handle *handle, const char *name, rux_open_flag flags) {
    if (handle == nullptr) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    *handle = rux_handle{};
    handle->fd = -1;
    if (!is_known_flag(flags) || name == nullptr) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    handle->open_flags = flags;
    const int access = flags == RUX_OPEN_READONLY ? O_RDONLY : O_RDWR;
    handle->fd = rux_sys_open(name, access | O_CLOEXEC, 0);
    const int result = rux_load_handle(handle);
    if (result != RUX_SUCCESS) {
        abandon_open(handle);
    }
    RUX_ASSERT_HANDLE(handle);
    return result;
}
