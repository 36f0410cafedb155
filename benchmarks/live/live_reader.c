/* A writer appending frames and a reader following it, through the C API.
 *
 *   live_reader live PATH SECONDS   writer (frames of 40 small chunks, one
 *                                   flush per frame) in a child process; the
 *                                   parent opens, checks the last frame and
 *                                   closes in a loop; prints open failures
 *                                   and partial frames seen.
 *   live_reader cost PATH FRAMES    time per frame with a flush per frame, and
 *                                   time per chunk of the small-writes
 *                                   workload (flushes left to the library).
 *
 * Build: cc -O2 live_reader.c -I filelayer/include BUILD/librux_filelayer.a -lstdc++
 */
#define _POSIX_C_SOURCE 200809L
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "rux/rux.h"

enum { kChunksPerFrame = 40 };

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

static int write_frame(rux_handle *handle, const float *values, int rows) {
    char name[32];
    for (int c = 0; c < kChunksPerFrame; ++c) {
        snprintf(name, sizeof name, "chunk/%02d", c);
        if (rux_write_chunk(handle, name, RUX_TYPE_FLOAT, (uint64_t)rows, 3, 0, values) != 0) {
            return -1;
        }
    }
    return rux_end_frame(handle);
}

static int run_writer(const char *path, double seconds) {
    rux_handle handle;
    if (rux_create_and_open(&handle, path, "bench", "live", 0, RUX_OPEN_READWRITE, 0) != 0) {
        return 1;
    }
    float values[8 * 3] = {0};
    const double end = now() + seconds;
    long frames = 0;
    while (now() < end) {
        if (write_frame(&handle, values, 8) != 0 || rux_flush(&handle) != 0) {
            fprintf(stderr, "writer failed\n");
            return 1;
        }
        ++frames;
    }
    rux_close(&handle);
    printf("writer: %ld frames\n", frames);
    fflush(stdout);
    return 0;
}

static int live(const char *path, double seconds) {
    unlink(path);
    pid_t child = fork();
    if (child == 0) {
        _exit(run_writer(path, seconds));
    }
    const struct timespec pause = {0, 100000000};
    nanosleep(&pause, NULL);
    long opens = 0, failures = 0, partial = 0, empty = 0;
    const double end = now() + seconds;
    while (now() < end) {
        rux_handle handle;
        ++opens;
        const int opened = rux_open(&handle, path, RUX_OPEN_READONLY);
        if (opened != 0) {
            ++failures;
            continue;
        }
        const uint64_t frames = rux_get_nframes(&handle);
        if (frames == 0) {
            ++empty;
        } else {
            int found = 0;
            char name[32];
            for (int c = 0; c < kChunksPerFrame; ++c) {
                snprintf(name, sizeof name, "chunk/%02d", c);
                found += rux_find_chunk(&handle, frames - 1, name) != NULL;
            }
            partial += found != kChunksPerFrame;
        }
        rux_close(&handle);
    }
    int status = 0;
    waitpid(child, &status, 0);
    printf("reader: %ld opens, %ld open failures, %ld partial last frames, %ld empty\n", opens,
           failures, partial, empty);
    return 0;
}

static int cost(const char *path, long frames) {
    float values[8 * 3] = {0};
    rux_handle handle;
    if (rux_create_and_open(&handle, path, "bench", "cost", 0, RUX_OPEN_READWRITE, 0) != 0) {
        return 1;
    }
    double start = now();
    for (long f = 0; f < frames; ++f) {
        if (write_frame(&handle, values, 8) != 0 || rux_flush(&handle) != 0) {
            return 1;
        }
    }
    const double per_frame = (now() - start) / frames;
    rux_close(&handle);
    /* The small-writes workload: 4 chunks of 256x3 float per frame. */
    float small[256 * 3] = {0};
    if (rux_create_and_open(&handle, path, "bench", "cost", 0, RUX_OPEN_READWRITE, 0) != 0) {
        return 1;
    }
    const long small_frames = 20000;
    start = now();
    for (long f = 0; f < small_frames; ++f) {
        for (int c = 0; c < 4; ++c) {
            const char *names[] = {"positions", "velocities", "forces", "box"};
            if (rux_write_chunk(&handle, names[c], RUX_TYPE_FLOAT, 256, 3, 0, small) != 0) {
                return 1;
            }
        }
        if (rux_end_frame(&handle) != 0) {
            return 1;
        }
    }
    rux_close(&handle);
    const double per_chunk = (now() - start) / (small_frames * 4);
    printf("flush per frame (40 chunks): %.1f us/frame; small writes: %.3f us/chunk\n",
           per_frame * 1e6, per_chunk * 1e6);
    return 0;
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s live|cost PATH SECONDS|FRAMES\n", argv[0]);
        return 2;
    }
    if (strcmp(argv[1], "live") == 0) {
        return live(argv[2], atof(argv[3]));
    }
    return cost(argv[2], atol(argv[3]));
}
