// Micro-benchmarks of the file layer library alone, through its C API: the
// same small writes, random small reads, lookups and opens that the Python
// suite times through rux.fl, so that the cost of the binding and the cost
// of the library can be told apart.
//
// Usage: rux_library_bench [--data-dir=DIR] [Google Benchmark flags]
// Files are written under DIR (default: /tmp)
// and removed at exit.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "rux/rux.h"

namespace {

constexpr const char *kNames[] = {"positions", "velocities", "forces", "charges"};
constexpr int kNameCount = 4;
constexpr uint64_t kSmallRows = 256;
constexpr uint64_t kSmallFrames = 20000;
constexpr uint64_t kSmallChunks = kSmallFrames * kNameCount;
constexpr int kRandomSamples = 1 << 16;

std::string g_data_dir = "/tmp";
std::vector<std::string> g_files_to_remove;

std::string data_path(const std::string &leaf) {
    return g_data_dir + "/rux-library-bench-" + std::to_string(getpid()) + "-" + leaf;
}

void check(int result, const char *what) {
    if (result != RUX_SUCCESS) {
        std::fprintf(stderr, "%s failed: %d\n", what, result);
        std::exit(1);
    }
}

rux_handle create(const std::string &path) {
    rux_handle handle;
    check(rux_create_and_open(&handle, path.c_str(), "rux-benchmarks", "benchmark",
                              rux_make_version(1, 0), RUX_OPEN_READWRITE, 0),
          "rux_create_and_open");
    return handle;
}

rux_handle open_file(const std::string &path, rux_open_flag flags) {
    rux_handle handle;
    check(rux_open(&handle, path.c_str(), flags), "rux_open");
    return handle;
}

// A file of `frames` frames of the four names, each chunk `rows` x 3 float.
void write_frames(rux_handle *handle, uint64_t frames, uint64_t rows) {
    const std::vector<float> chunk(rows * 3, 1.0f);
    for (uint64_t frame = 0; frame < frames; ++frame) {
        for (const char *name : kNames) {
            check(rux_write_chunk(handle, name, RUX_TYPE_FLOAT, rows, 3, 0, chunk.data()),
                  "rux_write_chunk");
        }
        check(rux_end_frame(handle), "rux_end_frame");
    }
}

// Files shared by several benchmarks, written once on first use.
const std::string &small_file() {
    static const std::string path = [] {
        std::string p = data_path("small.rux");
        rux_handle handle = create(p);
        write_frames(&handle, kSmallFrames, kSmallRows);
        check(rux_close(&handle), "rux_close");
        g_files_to_remove.push_back(p);
        return p;
    }();
    return path;
}

const std::string &index_file(uint64_t entries) {
    static std::map<uint64_t, std::string> files;
    auto found = files.find(entries);
    if (found != files.end()) {
        return found->second;
    }
    std::string p = data_path("index-" + std::to_string(entries) + ".rux");
    rux_handle handle = create(p);
    write_frames(&handle, entries / kNameCount, 1);
    check(rux_close(&handle), "rux_close");
    g_files_to_remove.push_back(p);
    return files.emplace(entries, p).first->second;
}

struct Sample {
    uint64_t frame;
    const char *name;
};

std::vector<Sample> random_samples(uint64_t frames, const char *only_name = nullptr) {
    std::mt19937_64 rng(12345);
    std::vector<Sample> samples(kRandomSamples);
    for (Sample &s : samples) {
        s.frame = rng() % frames;
        s.name = only_name != nullptr ? only_name : kNames[rng() % kNameCount];
    }
    return samples;
}

// ---- writing ----

// One rux_write_chunk of 256 x 3 float, with rux_end_frame after every
// fourth: the per-chunk cost of staging, without open and close.
void BM_WriteSmallChunk(benchmark::State &state) {
    const std::string path = data_path("write-small.rux");
    rux_handle handle = create(path);
    const std::vector<float> chunk(kSmallRows * 3, 1.0f);
    int slot = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            rux_write_chunk(&handle, kNames[slot], RUX_TYPE_FLOAT, kSmallRows, 3, 0, chunk.data()));
        if (++slot == kNameCount) {
            slot = 0;
            rux_end_frame(&handle);
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(chunk.size() * 4));
    check(rux_close(&handle), "rux_close");
    unlink(path.c_str());
}
BENCHMARK(BM_WriteSmallChunk)->Iterations(kSmallChunks);

// The whole small-writes workload: create, 20000 frames of four chunks, close
// (which syncs). Items are chunks, as in the Python table.
void BM_SmallWritesWorkload(benchmark::State &state) {
    const std::string path = data_path("workload-small.rux");
    for (auto _ : state) {
        rux_handle handle = create(path);
        write_frames(&handle, kSmallFrames, kSmallRows);
        check(rux_close(&handle), "rux_close");
    }
    state.SetItemsProcessed(state.iterations() * kSmallChunks);
    state.SetBytesProcessed(state.iterations() * kSmallChunks * kSmallRows * 12);
    unlink(path.c_str());
}
BENCHMARK(BM_SmallWritesWorkload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// ---- reading ----

// rux_find_chunk + rux_read_chunk of a random (frame, name) into a buffer
// allocated once.
void random_small_reads(benchmark::State &state, rux_open_flag flags) {
    rux_handle handle = open_file(small_file(), flags);
    const std::vector<Sample> samples = random_samples(kSmallFrames);
    std::vector<float> destination(kSmallRows * 3);
    size_t next = 0;
    for (auto _ : state) {
        const Sample &s = samples[next++ % samples.size()];
        const rux_index_entry *entry = rux_find_chunk(&handle, s.frame, s.name);
        benchmark::DoNotOptimize(rux_read_chunk(&handle, destination.data(), entry));
    }
    state.SetItemsProcessed(state.iterations());
    check(rux_close(&handle), "rux_close");
}

void BM_RandomSmallRead(benchmark::State &state) {
    random_small_reads(state, RUX_OPEN_READONLY);
}
BENCHMARK(BM_RandomSmallRead);

// The same on a handle opened for reading and writing, where every lookup
// and every read flushes first.
void BM_RandomSmallReadWritable(benchmark::State &state) {
    random_small_reads(state, RUX_OPEN_READWRITE);
}
BENCHMARK(BM_RandomSmallReadWritable)->UseRealTime();

// ---- lookups and opening ----

void lookups(benchmark::State &state, const char *name) {
    const uint64_t entries = static_cast<uint64_t>(state.range(0));
    rux_handle handle = open_file(index_file(entries), RUX_OPEN_READONLY);
    const std::vector<Sample> samples = random_samples(entries / kNameCount, name);
    size_t next = 0;
    for (auto _ : state) {
        const Sample &s = samples[next++ % samples.size()];
        benchmark::DoNotOptimize(rux_find_chunk(&handle, s.frame, s.name));
    }
    state.SetItemsProcessed(state.iterations());
    check(rux_close(&handle), "rux_close");
}

void BM_FindChunkPresent(benchmark::State &state) {
    lookups(state, kNames[1]);
}
void BM_FindChunkAbsent(benchmark::State &state) {
    lookups(state, "no/such/chunk");
}
BENCHMARK(BM_FindChunkPresent)->Arg(1000000);
BENCHMARK(BM_FindChunkAbsent)->Arg(1000000);

// rux_open + the first random small read; the close is not timed.
void BM_OpenFirstRead(benchmark::State &state) {
    const uint64_t entries = static_cast<uint64_t>(state.range(0));
    const std::string &path = index_file(entries);
    const std::vector<Sample> samples = random_samples(entries / kNameCount);
    float destination[3];
    size_t next = 0;
    for (auto _ : state) {
        const Sample &s = samples[next++ % samples.size()];
        rux_handle handle = open_file(path, RUX_OPEN_READONLY);
        const rux_index_entry *entry = rux_find_chunk(&handle, s.frame, s.name);
        benchmark::DoNotOptimize(rux_read_chunk(&handle, destination, entry));
        state.PauseTiming();
        check(rux_close(&handle), "rux_close");
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenFirstRead)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// Takes --data-dir=DIR out of the arguments before Google Benchmark sees them.
void take_data_dir(int *argc, char **argv) {
    static const char kFlag[] = "--data-dir=";
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        if (std::strncmp(argv[i], kFlag, sizeof kFlag - 1) == 0) {
            g_data_dir = argv[i] + sizeof kFlag - 1;
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
}

}  // namespace

int main(int argc, char **argv) {
    take_data_dir(&argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const std::string &path : g_files_to_remove) {
        unlink(path.c_str());
    }
    return 0;
}
