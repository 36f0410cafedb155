// A reader that opens a file while its writer flushes: the writer's flush is
// run from inside the reader's open, right after the reader read the
// namelist, so the reader counts entries whose data and names came after its
// first look at the file. Every frame it counts must read back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "rux/rux.h"
#include "sys_io.h"
#include "temp_dir.h"

namespace {

struct Interleaving {
    rux_handle *writer = nullptr;
    std::string path;
    int reader_fd = -1;
    bool armed = false;
    int frames_added = 0;
    int frames_per_flush = 1;
};

Interleaving *current = nullptr;

// A frame whose only chunk has no bytes under a new name: the flush adds the
// name in place and an entry, and the file does not grow.
void write_empty_frame(rux_handle *writer) {
    ASSERT_EQ(rux_write_chunk(writer, "x", RUX_TYPE_DOUBLE, 0, 1, 0, nullptr), RUX_SUCCESS);
    ASSERT_EQ(rux_write_chunk(writer, "empty/new", RUX_TYPE_DOUBLE, 0, 1, 0, nullptr), RUX_SUCCESS);
    ASSERT_EQ(rux_end_frame(writer), RUX_SUCCESS);
    ASSERT_EQ(rux_flush(writer), RUX_SUCCESS);
}

void write_frames(rux_handle *writer, int count) {
    if (count == 0) {
        write_empty_frame(writer);
        return;
    }
    for (int i = 0; i < count; ++i) {
        const std::vector<double> values(64, 1.0 + i);
        const std::string name = "late/" + std::to_string(i);
        ASSERT_EQ(rux_write_chunk(writer, "x", RUX_TYPE_DOUBLE, 64, 1, 0, values.data()),
                  RUX_SUCCESS);
        ASSERT_EQ(rux_write_chunk(writer, name.c_str(), RUX_TYPE_DOUBLE, 64, 1, 0, values.data()),
                  RUX_SUCCESS);
        ASSERT_EQ(rux_end_frame(writer), RUX_SUCCESS);
    }
    ASSERT_EQ(rux_flush(writer), RUX_SUCCESS);
}

int open_spy(const char *path, int flags, mode_t mode) {
    const int fd = rux_sys_default.open(path, flags, mode);
    if (current->armed && current->path == path) {
        current->reader_fd = fd;
    }
    return fd;
}

ssize_t pread_spy(int fd, void *buffer, size_t count, off_t offset) {
    const ssize_t result = rux_sys_default.pread(fd, buffer, count, offset);
    // The reader's second read is its namelist: the writer flushes now.
    if (current->armed && fd == current->reader_fd && offset != 0) {
        current->armed = false;
        write_frames(current->writer, current->frames_per_flush);
        current->frames_added += current->frames_per_flush == 0 ? 1 : current->frames_per_flush;
    }
    return result;
}

class ConcurrentReader : public ::testing::TestWithParam<int> {};

TEST_P(ConcurrentReader, CountsOnlyFramesItCanRead) {
    rux_test::TempDir dir;
    const std::string path = dir.path("shared.rux");
    rux_handle writer;
    ASSERT_EQ(rux_create_and_open(&writer, path.c_str(), "app", "schema", 0, RUX_OPEN_READWRITE, 0),
              RUX_SUCCESS);
    write_frames(&writer, 10);

    Interleaving interleaving;
    interleaving.writer = &writer;
    interleaving.path = path;
    interleaving.armed = true;
    interleaving.frames_per_flush = GetParam();
    current = &interleaving;
    rux_sys_calls spying = rux_sys_default;
    spying.open = open_spy;
    spying.pread = pread_spy;
    rux_sys = &spying;
    rux_handle reader;
    const int opened = rux_open(&reader, path.c_str(), RUX_OPEN_READONLY);
    rux_sys = &rux_sys_default;
    current = nullptr;
    ASSERT_EQ(opened, RUX_SUCCESS);
    ASSERT_EQ(interleaving.frames_added, GetParam() == 0 ? 1 : GetParam());

    const uint64_t frames = rux_get_nframes(&reader);
    EXPECT_GE(frames, 10u);
    for (uint64_t frame = 0; frame < frames; ++frame) {
        const rux_index_entry *entry = rux_find_chunk(&reader, frame, "x");
        ASSERT_NE(entry, nullptr) << "frame " << frame;
        rux_index_entry copy;
        std::memcpy(&copy, entry, sizeof copy);
        std::vector<double> values(64);
        if (copy.N != 0) {
            EXPECT_EQ(rux_read_chunk(&reader, values.data(), entry), RUX_SUCCESS)
                << "frame " << frame;
        }
    }
    EXPECT_EQ(rux_close(&reader), RUX_SUCCESS);
    EXPECT_EQ(rux_close(&writer), RUX_SUCCESS);
}

// One frame leaves the new entries unprobed; many make the count probe them;
// 0 stands for a frame of empty chunks under a new name (the file keeps its size).
INSTANTIATE_TEST_SUITE_P(FramesFlushedMeanwhile, ConcurrentReader,
                         ::testing::Values(0, 1, 40, 300));

}  // namespace
