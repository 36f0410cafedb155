/*
 * rux: a file layer for simulation trajectories.
 *
 * A file holds a sequence of frames; each frame holds named chunks, each an
 * N x M array of one element type. Data are only ever appended; an index block
 * records where each chunk lives and is memory-mapped for lookups.
 *
 * This is the whole public interface: the on-disk records, the handle and its
 * containers, and the exported C API. It compiles as C99 and as C++.
 *
 * Conventions: every operation that can fail returns a rux_error (0 for
 * success, negative otherwise); lookups return null on failure; counts and
 * sizes return 0 for a null handle or an unknown type. After RUX_ERROR_IO,
 * errno holds the failing system call's error. One thread per handle.
 *
 * Caveats:
 *  - One writer per file. The library takes no lock: two handles writing
 *    the same file, in one process or in two, corrupt it.
 *  - A lookup or read on a writable handle flushes first, so that it sees
 *    what was written; it can therefore fail as rux_flush does.
 *  - Opening a version 2.0 file writable rewrites its header as version 2.1
 *    with the commit record: the file changes even if nothing is written.
 *  - Entries returned by rux_find_chunk point into the mapped index block
 *    and may be unaligned (always possible in files from older writers):
 *    copy them before reading fields where alignment matters.
 *  - The index block is memory-mapped: if another process cuts the file
 *    shorter under an open handle, touching the mapping raises SIGBUS.
 */
#ifndef RUX_RUX_H
#define RUX_RUX_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define RUX_API
#elif defined(__GNUC__) || defined(__clang__)
#define RUX_API __attribute__((visibility("default")))
#else
#define RUX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- On-disk records (little-endian, no padding) ---- */

/* File header, 256 bytes at offset 0. */
typedef struct rux_header {
    uint64_t magic; /* RUX_MAGIC_ID */
    uint64_t index_location;
    uint64_t index_allocated_entries; /* capacity, in 32-byte entries */
    uint64_t namelist_location;
    uint64_t namelist_allocated_entries; /* size, in units of 64 bytes */
    uint32_t schema_version;             /* (major << 16) | minor */
    uint32_t rux_version;                /* (major << 16) | minor */
    char application[64];                /* NUL-terminated, zero-padded */
    char schema[64];                     /* NUL-terminated, zero-padded */
    uint8_t reserved[80];
} rux_header;

/* One chunk's index entry, 32 bytes. */
typedef struct rux_index_entry {
    uint64_t frame;
    uint64_t N;
    int64_t location; /* file offset of the data; 0 marks an unused entry */
    uint32_t M;
    uint16_t id; /* position of the chunk's name in the namelist */
    uint8_t type;
    uint8_t flags; /* always 0 */
} rux_index_entry;

#ifdef __cplusplus
static_assert(sizeof(rux_header) == 256, "rux_header is 256 bytes");
static_assert(sizeof(rux_index_entry) == 32, "rux_index_entry is 32 bytes");
#else
typedef char rux_header_size_check[sizeof(rux_header) == 256 ? 1 : -1];
typedef char rux_index_entry_size_check[sizeof(rux_index_entry) == 32 ? 1 : -1];
#endif

/* The magic number of every file, 0x65DF65DF65DF65DF. */
extern RUX_API const uint64_t RUX_MAGIC_ID;

/* Element type codes; rux_sizeof_type gives the size of each element. */
typedef enum rux_type {
    RUX_TYPE_UINT8 = 1,
    RUX_TYPE_UINT16 = 2,
    RUX_TYPE_UINT32 = 3,
    RUX_TYPE_UINT64 = 4,
    RUX_TYPE_INT8 = 5,
    RUX_TYPE_INT16 = 6,
    RUX_TYPE_INT32 = 7,
    RUX_TYPE_INT64 = 8,
    RUX_TYPE_FLOAT = 9,
    RUX_TYPE_DOUBLE = 10,
    RUX_TYPE_CHARACTER = 11
} rux_type;

/* Error codes. */
typedef enum rux_error {
    RUX_SUCCESS = 0,
    RUX_ERROR_IO = -1,
    RUX_ERROR_INVALID_ARGUMENT = -2,
    RUX_ERROR_NOT_A_RUX_FILE = -3,
    RUX_ERROR_INVALID_RUX_FILE_VERSION = -4,
    RUX_ERROR_FILE_CORRUPT = -5,
    RUX_ERROR_MEMORY_ALLOCATION_FAILED = -6,
    RUX_ERROR_NAMELIST_FULL = -7,
    RUX_ERROR_FILE_MUST_BE_WRITABLE = -8,
    RUX_ERROR_FILE_MUST_BE_READABLE = -9
} rux_error;

/* Open flags. APPEND behaves like READWRITE in every library operation. */
typedef enum rux_open_flag {
    RUX_OPEN_READWRITE = 1,
    RUX_OPEN_READONLY = 2,
    RUX_OPEN_APPEND = 3
} rux_open_flag;

/* The id that names no chunk: a name the name map does not hold. */
#define RUX_NAME_ID_NONE 0xFFFFu

/* ---- Containers owned by a handle ---- */

typedef struct rux_byte_buffer {
    uint8_t *data;
    uint64_t size;     /* bytes in use */
    uint64_t reserved; /* bytes allocated */
} rux_byte_buffer;

typedef struct rux_name_list {
    rux_byte_buffer bytes;
    uint64_t count; /* number of names */
} rux_name_list;

/* Heap memory (map_base null), or a read-only view of the file's index block. */
typedef struct rux_index_buffer {
    rux_index_entry *data;
    uint64_t size;     /* entries in use */
    uint64_t reserved; /* capacity in entries */
    void *map_base;
    uint64_t map_length;
} rux_index_buffer;

typedef struct rux_name_id_node {
    char *name; /* null in an empty head */
    struct rux_name_id_node *next;
    uint16_t id;
} rux_name_id_node;

typedef struct rux_name_id_map {
    rux_name_id_node *buckets;
    uint64_t bucket_count; /* always 57557 */
} rux_name_id_map;

/* One open file. The caller provides the storage; the library owns and
 * releases everything it points to. */
typedef struct rux_handle {
    int fd;
    rux_header header;
    rux_index_buffer file_index;   /* the mapped index block */
    rux_index_buffer frame_index;  /* staged entries whose data are in the file */
    rux_index_buffer buffer_index; /* staged entries whose data wait in write_buffer */
    rux_byte_buffer write_buffer;
    rux_name_list file_names;  /* the namelist block as stored */
    rux_name_list frame_names; /* names added since the last flush */
    uint64_t cur_frame;        /* completed frames = index of the frame being written */
    int64_t file_size;
    rux_open_flag open_flags;
    rux_name_id_map name_map;
    uint64_t pending_index_entries; /* staged entries of the frame being written */
    uint64_t maximum_write_buffer_size;
    uint64_t index_entries_to_buffer;
    /* 0 while the handle may write; otherwise the error that stopped writing:
     * a failure left the staging or the file in a state that later writes
     * must not build on. Lookups and reads of recorded frames still work, and
     * rux_close releases the handle and returns this error. */
    int write_error;
    /* Non-zero from a successful open until rux_close: the descriptor belongs
     * to this handle. A closed handle never touches the number left in fd. */
    int owns_descriptor;
    /* Non-zero when bytes reached the file after its last fsync; a flush
     * with nothing to add and nothing unsynced skips its fsync. */
    int unsynced_writes;
    /* The errno of the failure that stopped writing, when write_error is
     * RUX_ERROR_IO: every later call that returns that error sets errno to it
     * again, so callers see why writing stopped, not what happened since. */
    int write_errno;
    /* Non-zero when this writable handle keeps the commit record in the
     * file's header (version 2.1 files): readers then trust the committed
     * entry count while the handle holds the file (docs/format.md). */
    int keeps_commit_record;
    /* A read-only mapping of the file from offset 0 that series and frame
     * reads copy from, kept between calls and made again, longer, once the
     * file has grown past it; null when there is none. Released with the
     * other containers (close, truncate) and by an upgrade. */
    void *data_map_base;
    uint64_t data_map_length;
} rux_handle;

/* ---- Creating and opening ---- */

RUX_API uint32_t rux_make_version(uint32_t major, uint32_t minor);
RUX_API int rux_create(const char *name, const char *application, const char *schema,
                       uint32_t schema_version);
RUX_API int rux_create_and_open(rux_handle *handle, const char *name, const char *application,
                                const char *schema, uint32_t schema_version, rux_open_flag flags,
                                int exclusive_create);
RUX_API int rux_open(rux_handle *handle, const char *name, rux_open_flag flags);

/* ---- Closing ---- */

RUX_API int rux_close(rux_handle *handle);

/* ---- Lookup and reading ---- */

RUX_API uint64_t rux_get_nframes(const rux_handle *handle);
RUX_API size_t rux_sizeof_type(rux_type type);
/* The entry points into the mapped index block and stays valid until the
 * block is remapped (it grows in a flush; truncate, upgrade, close). Blocks
 * lie at any file offset, so the entry need not be 8-byte aligned: copy it
 * with memcpy before reading its fields where alignment matters. */
RUX_API const rux_index_entry *rux_find_chunk(rux_handle *handle, uint64_t frame, const char *name);
RUX_API int rux_read_chunk(rux_handle *handle, void *destination, const rux_index_entry *entry);
RUX_API const char *rux_find_matching_chunk_name(rux_handle *handle, const char *match,
                                                 const char *previous);

/* ---- Reading many chunks at once ---- */

/* The frames of a series read: `count` frames, listed in `list` (any order,
 * repeats allowed) or, when `list` is null, start, start + step, ... */
typedef struct rux_frame_selection {
    const uint64_t *list;
    uint64_t start;
    int64_t step;
    uint64_t count;
} rux_frame_selection;

/* The rows of every chunk that rux_read_series_rows reads: `count` rows,
 * listed in `list` (any order, repeats allowed) or, when `list` is null,
 * start, start + step, ... (step may be negative or 0), as frames are. */
typedef struct rux_row_selection {
    const uint64_t *list;
    uint64_t start;
    int64_t step;
    uint64_t count;
} rux_row_selection;

/* Why a series read refused a request (with RUX_ERROR_INVALID_ARGUMENT). */
typedef enum rux_series_problem {
    RUX_SERIES_OK = 0,
    RUX_SERIES_FRAME_OUT_OF_RANGE = 1, /* the frame is not below rux_get_nframes */
    RUX_SERIES_CHUNK_MISSING = 2,      /* the frame holds no chunk of the name */
    RUX_SERIES_SHAPE_MISMATCH = 3,     /* type, N or M differ from the first frame's */
    RUX_SERIES_BUFFER_TOO_SMALL = 4,   /* destination_size is below `bytes` */
    RUX_SERIES_ROW_OUT_OF_RANGE = 5,   /* a selected row is not below N (problem_row) */
    RUX_SERIES_ROWS_OF_TEXT = 6        /* rows were selected in a character chunk */
} rux_series_problem;

/* What a series read found: the common type, N and M (those of the first
 * requested frame), the bytes of the whole series (of the selected rows),
 * and on failure the problem and the frame where it was found (also for
 * RUX_ERROR_FILE_CORRUPT); for RUX_SERIES_ROW_OUT_OF_RANGE also the first
 * selected row, in selection order, that is not below N. */
typedef struct rux_series_info {
    uint64_t N;
    uint64_t bytes;
    uint64_t problem_frame;
    uint32_t M;
    uint8_t type;
    uint8_t problem; /* a rux_series_problem */
    uint64_t problem_row;
} rux_series_info;

/* Reads the chunk of one name in every selected frame into `destination`,
 * back to back in selection order. All chunks must agree in type, N and M;
 * nothing is copied unless every one of them is present, agrees and lies
 * within the file, and `destination_size` holds the whole series. With a null
 * destination only the first selected frame is looked up and described, so
 * that the caller can size its buffer. Chunks without bytes (N or M is 0)
 * are accepted. On a writable handle it flushes first, as lookups do. */
RUX_API int rux_read_series(rux_handle *handle, const char *name,
                            const rux_frame_selection *frames, void *destination,
                            uint64_t destination_size, rux_series_info *info);
/* rux_read_series of only the selected rows of every chunk: each chunk's
 * rows go back to back in selection order, so that the destination holds
 * (T, R, M) elements for R selected rows. A null `rows` selects every row
 * (rux_read_series is that call). The rows are checked once against the
 * first selected frame's N (every chunk agrees with it); rows of a
 * character chunk cannot be selected (RUX_SERIES_ROWS_OF_TEXT). */
RUX_API int rux_read_series_rows(rux_handle *handle, const char *name,
                                 const rux_frame_selection *frames,
                                 const rux_row_selection *rows, void *destination,
                                 uint64_t destination_size, rux_series_info *info);

/* One chunk of a frame, as rux_find_frame_chunks describes it. `name` points
 * into the handle and stays valid until the namelist grows in a flush. */
typedef struct rux_chunk_info {
    const char *name;
    int64_t location;
    uint64_t N;
    uint64_t bytes;
    uint32_t M;
    uint16_t id;
    uint8_t type;
} rux_chunk_info;

/* Describes every chunk of one frame in one walk of the index, in name id
 * order: the entries that rux_find_chunk would return for the frame's names.
 * Fills at most `capacity` records and sets *count to the number of chunks;
 * call again with more room when *count exceeds capacity. A frame that is
 * not below rux_get_nframes gives RUX_ERROR_INVALID_ARGUMENT. */
RUX_API int rux_find_frame_chunks(rux_handle *handle, uint64_t frame, rux_chunk_info *chunks,
                                  uint64_t capacity, uint64_t *count);
/* Reads the described chunks, each into its own destination (a null
 * destination skips that chunk), reading neighbouring chunks with one
 * system call. Every chunk is checked against the file before any byte is
 * read. */
RUX_API int rux_read_chunks(rux_handle *handle, const rux_chunk_info *chunks, uint64_t count,
                            void *const *destinations);

/* A fixed English text for an error code; "unknown error" for any other value. */
RUX_API const char *rux_strerror(int error);

/* ---- Writing ---- */

RUX_API int rux_write_chunk(rux_handle *handle, const char *name, rux_type type, uint64_t N,
                            uint32_t M, uint8_t flags, const void *data);
RUX_API int rux_end_frame(rux_handle *handle);
RUX_API uint64_t rux_get_maximum_write_buffer_size(const rux_handle *handle);
RUX_API int rux_set_maximum_write_buffer_size(rux_handle *handle, uint64_t size);
RUX_API uint64_t rux_get_index_entries_to_buffer(const rux_handle *handle);
RUX_API int rux_set_index_entries_to_buffer(rux_handle *handle, uint64_t count);

/* ---- Flushing, truncating, upgrading ---- */

RUX_API int rux_flush(rux_handle *handle);
RUX_API int rux_truncate(rux_handle *handle);
RUX_API int rux_upgrade(rux_handle *handle);
/* ---- Following a file that a writer appends to ---- */
/* On a read-only handle, takes a new view of the file: the frames and names
 * that a writer has flushed since the open (or the last refresh), with the
 * same whole-frame guarantees as an open, at the cost of an open without the
 * open(2). nframes and lookups stay fixed between refreshes; entry and name
 * pointers returned before become invalid. On failure the old view stays.
 * On a writable handle it returns RUX_SUCCESS and changes nothing. */
RUX_API int rux_refresh(rux_handle *handle);

#ifdef __cplusplus
}
#endif

#endif /* RUX_RUX_H */
