/* The public header compiles as C99, and a C program creates, opens, writes,
 * reads and closes a file through the exported API alone.
 * Usage: c_api_test DIRECTORY (temporary files go below it). */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "rux/rux.h"

static int failures = 0;

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)

static void write_and_read(const char *path) {
    rux_handle handle;
    const float positions[6] = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f};
    float back[6] = {0};
    const rux_index_entry *entry;
    rux_index_entry fields;

    CHECK(rux_create_and_open(&handle, path, "c program", "c schema", rux_make_version(1, 2),
                              RUX_OPEN_READWRITE, 1) == RUX_SUCCESS);
    CHECK(rux_write_chunk(&handle, "positions", RUX_TYPE_FLOAT, 2, 3, 0, positions) == RUX_SUCCESS);
    CHECK(rux_end_frame(&handle) == RUX_SUCCESS);
    CHECK(rux_get_nframes(&handle) == 1);
    CHECK(rux_close(&handle) == RUX_SUCCESS);

    CHECK(rux_open(&handle, path, RUX_OPEN_READONLY) == RUX_SUCCESS);
    CHECK(rux_get_nframes(&handle) == 1);
    CHECK(strcmp(handle.header.application, "c program") == 0);
    CHECK(handle.header.schema_version == 0x10002u);
    entry = rux_find_chunk(&handle, 0, "positions");
    CHECK(entry != NULL);
    if (entry != NULL) {
        /* The entry lies in the mapped index block, at any alignment. */
        memcpy(&fields, entry, sizeof fields);
        CHECK(fields.N == 2 && fields.M == 3 && fields.type == RUX_TYPE_FLOAT);
        CHECK(rux_read_chunk(&handle, back, entry) == RUX_SUCCESS);
        CHECK(memcmp(back, positions, sizeof positions) == 0);
    }
    CHECK(rux_find_chunk(&handle, 0, "missing") == NULL);
    {
        /* The series of one frame is the chunk; a missing name names its frame. */
        const uint64_t frames[1] = {0};
        const rux_frame_selection selection = {frames, 0, 0, 1};
        rux_series_info info;
        float series[6] = {0};
        CHECK(rux_read_series(&handle, "positions", &selection, series, sizeof series, &info) ==
              RUX_SUCCESS);
        CHECK(info.type == RUX_TYPE_FLOAT && info.N == 2 && info.M == 3 && info.bytes == 24);
        CHECK(memcmp(series, positions, sizeof positions) == 0);
        CHECK(rux_read_series(&handle, "positions", &selection, series, 23, &info) ==
              RUX_ERROR_INVALID_ARGUMENT);
        CHECK(info.problem == RUX_SERIES_BUFFER_TOO_SMALL);
        CHECK(rux_read_series(&handle, "missing", &selection, series, sizeof series, &info) ==
              RUX_ERROR_INVALID_ARGUMENT);
        CHECK(info.problem == RUX_SERIES_CHUNK_MISSING && info.problem_frame == 0);
    }
    CHECK(rux_write_chunk(&handle, "x", RUX_TYPE_UINT8, 1, 1, 0, back) ==
          RUX_ERROR_FILE_MUST_BE_WRITABLE);
    CHECK(rux_close(&handle) == RUX_SUCCESS);
}

static void refusals(const char *path, const char *missing) {
    rux_handle handle;
    CHECK(rux_open(&handle, missing, RUX_OPEN_READONLY) == RUX_ERROR_IO);
    CHECK(errno == ENOENT);
    CHECK(rux_create_and_open(&handle, path, "a", "s", 0, RUX_OPEN_READWRITE, 1) == RUX_ERROR_IO);
    CHECK(errno == EEXIST);
    CHECK(rux_create_and_open(&handle, missing, "a", "s", 0, RUX_OPEN_READONLY, 0) ==
          RUX_ERROR_FILE_MUST_BE_WRITABLE);
    CHECK(access(missing, F_OK) != 0);
    /* Open flags other than the three. */
    CHECK(rux_open(&handle, path, (rux_open_flag)4) == RUX_ERROR_INVALID_ARGUMENT);
    CHECK(rux_open(&handle, path, (rux_open_flag)-1) == RUX_ERROR_INVALID_ARGUMENT);
    CHECK(rux_create_and_open(&handle, missing, "a", "s", 0, (rux_open_flag)7, 0) ==
          RUX_ERROR_INVALID_ARGUMENT);
    CHECK(access(missing, F_OK) != 0);
    CHECK(rux_close(NULL) == RUX_ERROR_INVALID_ARGUMENT);
    CHECK(rux_sizeof_type(RUX_TYPE_DOUBLE) == 8);
    CHECK(RUX_MAGIC_ID == 0x65DF65DF65DF65DFull);
    for (int code = 0; code >= RUX_ERROR_FILE_MUST_BE_READABLE; --code) {
        CHECK(strcmp(rux_strerror(code), "unknown error") != 0);
    }
    CHECK(strcmp(rux_strerror(RUX_ERROR_FILE_CORRUPT), "corrupt rux file") == 0);
    CHECK(strcmp(rux_strerror(-10), "unknown error") == 0);
}

int main(int argc, char **argv) {
    char directory[4096], path[4200], missing[4200];
    if (argc < 2) {
        fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    snprintf(directory, sizeof directory, "%s/c_api_test.XXXXXX", argv[1]);
    if (mkdtemp(directory) == NULL) {
        perror("mkdtemp");
        return 2;
    }
    snprintf(path, sizeof path, "%s/file.rux", directory);
    snprintf(missing, sizeof missing, "%s/missing.rux", directory);

    write_and_read(path);
    refusals(path, missing);

    unlink(path);
    rmdir(directory);
    if (failures != 0) {
        fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    return 0;
}
