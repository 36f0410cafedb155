/*
 * Writes a short trajectory with the rux C API, reopens it read-only and
 * reads every frame back.
 *
 * Usage: write_read_frames [FILE]   (default: example.rux in the current directory)
 *
 * Build against an installed rux, with CMake (see CMakeLists.txt here):
 *     cmake -S . -B build -DCMAKE_PREFIX_PATH=/path/to/prefix && cmake --build build
 * or with pkg-config, in one line:
 *     cc -std=c99 write_read_frames.c $(pkg-config --cflags --libs rux) -o write_read_frames
 * (with PKG_CONFIG_PATH=/path/to/prefix/lib/pkgconfig when the prefix is not a
 * system one; the program then finds librux.so through LD_LIBRARY_PATH or an rpath).
 */
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <rux/rux.h>

#define FRAMES 5
#define ATOMS 4

static const char *error_name(int error) {
    switch (error) {
        case RUX_SUCCESS:
            return "success";
        case RUX_ERROR_IO:
            return "input/output error";
        case RUX_ERROR_INVALID_ARGUMENT:
            return "invalid argument";
        case RUX_ERROR_NOT_A_RUX_FILE:
            return "not a rux file";
        case RUX_ERROR_INVALID_RUX_FILE_VERSION:
            return "unsupported file version";
        case RUX_ERROR_FILE_CORRUPT:
            return "file corrupt";
        case RUX_ERROR_MEMORY_ALLOCATION_FAILED:
            return "out of memory";
        case RUX_ERROR_NAMELIST_FULL:
            return "too many chunk names";
        case RUX_ERROR_FILE_MUST_BE_WRITABLE:
            return "file is read-only";
        case RUX_ERROR_FILE_MUST_BE_READABLE:
            return "file is not readable";
        default:
            return "unknown error";
    }
}

/* Prints what failed; after RUX_ERROR_IO errno tells why. */
static int report(const char *what, const char *path, int error) {
    if (error == RUX_ERROR_IO && errno != 0) {
        fprintf(stderr, "%s %s: %s (%s)\n", what, path, error_name(error), strerror(errno));
    } else {
        fprintf(stderr, "%s %s: %s\n", what, path, error_name(error));
    }
    return 1;
}

static float position(uint64_t frame, int atom, int axis) {
    return (float)(100 * frame) + (float)(3 * atom + axis) * 0.5f;
}

static int write_frames(const char *path) {
    static const char title[] = "four atoms drifting";
    rux_handle handle;
    float positions[ATOMS][3];
    uint64_t frame;
    int atom, axis, error;

    error = rux_create_and_open(&handle, path, "rux C example", "example-md",
                                rux_make_version(1, 0), RUX_OPEN_READWRITE, 0);
    if (error != RUX_SUCCESS) {
        return report("cannot create", path, error);
    }
    for (frame = 0; frame < FRAMES && error == RUX_SUCCESS; ++frame) {
        int64_t step = (int64_t)(frame * 10);
        for (atom = 0; atom < ATOMS; ++atom) {
            for (axis = 0; axis < 3; ++axis) {
                positions[atom][axis] = position(frame, atom, axis);
            }
        }
        /* A chunk is N rows of M columns; its data are copied or written
         * before the call returns. */
        error = rux_write_chunk(&handle, "positions", RUX_TYPE_FLOAT, ATOMS, 3, 0, positions);
        if (error == RUX_SUCCESS) {
            error = rux_write_chunk(&handle, "step", RUX_TYPE_INT64, 1, 1, 0, &step);
        }
        if (error == RUX_SUCCESS && frame == 0) {
            error =
                rux_write_chunk(&handle, "title", RUX_TYPE_CHARACTER, strlen(title), 1, 0, title);
        }
        if (error == RUX_SUCCESS) {
            error = rux_end_frame(&handle);
        }
    }
    if (error != RUX_SUCCESS) {
        report("cannot write", path, error);
        rux_close(&handle);
        return 1;
    }
    /* Closing flushes what is still staged; its result says whether the
     * frames reached the file. */
    error = rux_close(&handle);
    return error == RUX_SUCCESS ? 0 : report("cannot close", path, error);
}

/* Reads one chunk into `destination` (of `capacity` bytes); 0 on success. */
static int read_chunk(rux_handle *handle, uint64_t frame, const char *name, void *destination,
                      size_t capacity, rux_index_entry *fields) {
    const rux_index_entry *entry = rux_find_chunk(handle, frame, name);
    if (entry == NULL) {
        fprintf(stderr, "frame %lu has no chunk %s\n", (unsigned long)frame, name);
        return 1;
    }
    /* The entry lies in the mapped index, possibly unaligned: copy it. */
    memcpy(fields, entry, sizeof *fields);
    if (fields->N * fields->M * rux_sizeof_type((rux_type)fields->type) > capacity) {
        fprintf(stderr, "chunk %s of frame %lu is larger than expected\n", name,
                (unsigned long)frame);
        return 1;
    }
    return rux_read_chunk(handle, destination, entry) == RUX_SUCCESS ? 0 : 1;
}

static int check_frame(rux_handle *handle, uint64_t frame) {
    float positions[ATOMS][3];
    int64_t step = -1;
    rux_index_entry fields;
    int atom, axis;

    if (read_chunk(handle, frame, "positions", positions, sizeof positions, &fields) != 0 ||
        fields.N != ATOMS || fields.M != 3 || fields.type != RUX_TYPE_FLOAT ||
        read_chunk(handle, frame, "step", &step, sizeof step, &fields) != 0) {
        return 1;
    }
    for (atom = 0; atom < ATOMS; ++atom) {
        for (axis = 0; axis < 3; ++axis) {
            if (positions[atom][axis] != position(frame, atom, axis)) {
                fprintf(stderr, "frame %lu: position %d,%d differs\n", (unsigned long)frame, atom,
                        axis);
                return 1;
            }
        }
    }
    printf("frame %lu: step %ld, first atom at (%g, %g, %g)\n", (unsigned long)frame, (long)step,
           positions[0][0], positions[0][1], positions[0][2]);
    return step == (int64_t)(frame * 10) ? 0 : 1;
}

static int read_frames(const char *path) {
    rux_handle handle;
    char title[64] = {0};
    rux_index_entry fields;
    const char *name = NULL;
    uint64_t frame;
    int failed = 0;
    int error = rux_open(&handle, path, RUX_OPEN_READONLY);

    if (error != RUX_SUCCESS) {
        return report("cannot open", path, error);
    }
    printf("%s: written by \"%s\", schema \"%s\" %u.%u, %lu frames\n", path,
           handle.header.application, handle.header.schema, handle.header.schema_version >> 16,
           handle.header.schema_version & 0xFFFFu, (unsigned long)rux_get_nframes(&handle));
    printf("chunk names:");
    /* Each call continues after the name that the previous one returned. */
    while ((name = rux_find_matching_chunk_name(&handle, "", name)) != NULL) {
        printf(" %s", name);
    }
    printf("\n");
    failed = rux_get_nframes(&handle) != FRAMES ||
             read_chunk(&handle, 0, "title", title, sizeof title - 1, &fields) != 0;
    if (!failed) {
        printf("title: %s\n", title);
    }
    for (frame = 0; frame < rux_get_nframes(&handle) && !failed; ++frame) {
        failed = check_frame(&handle, frame);
    }
    error = rux_close(&handle);
    if (error != RUX_SUCCESS) {
        return report("cannot close", path, error);
    }
    if (failed) {
        fprintf(stderr, "%s: the frames read back differ from those written\n", path);
    }
    return failed;
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "example.rux";
    if (write_frames(path) != 0 || read_frames(path) != 0) {
        return 1;
    }
    printf("wrote and read back %d frames\n", FRAMES);
    return 0;
}
