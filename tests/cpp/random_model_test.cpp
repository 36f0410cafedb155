// A long seeded random run of writes, frame ends, flushes, threshold changes,
// truncations, upgrades, closes and reopens, checked against a small model of
// what must be readable.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "chunk_model.h"
#include "file_crafter.h"
#include "handle_helpers.h"
#include "temp_dir.h"

namespace {

using rux_test::Bytes;
using rux_test::TempDir;

using rux_test::Chunk;
using rux_test::Frame;

// What the file must give back: completed frames, the frame being written,
// and every name a chunk was written under.
struct Model {
    std::vector<Frame> frames;
    Frame open;
    std::set<std::string> names;

    // Closing drops the open frame; frames without chunks at the end are
    // not recorded in the file.
    void close() {
        open.clear();
        while (!frames.empty() && frames.back().empty()) {
            frames.pop_back();
        }
    }
};

struct RunCase {
    uint64_t seed;
    uint32_t start_version;
};

class RandomModel : public testing::TestWithParam<RunCase> {
  protected:
    void SetUp() override {
        rux_test::FileImage(GetParam().start_version).save(path());
        random_.seed(GetParam().seed);
        reopen(RUX_OPEN_READWRITE);
    }
    void TearDown() override {
        if (open_) {
            EXPECT_EQ(rux_close(&handle_), RUX_SUCCESS);
        }
    }
    std::string path() const { return dir_.path("random.rux"); }
    uint64_t uniform(uint64_t below) { return random_() % below; }

    void reopen(rux_open_flag flags) {
        ASSERT_EQ(rux_open(&handle_, path().c_str(), flags), RUX_SUCCESS);
        open_ = true;
    }
    void close() {
        ASSERT_EQ(rux_close(&handle_), RUX_SUCCESS);
        open_ = false;
        model_.close();
        ASSERT_EQ(rux_test::check_well_formed(rux_test::read_file(path())), "");
    }

    std::string pick_name() {
        if (!model_.names.empty() && uniform(10) < 7) {
            auto it = model_.names.begin();
            std::advance(it, static_cast<long>(uniform(model_.names.size())));
            return *it;
        }
        std::string name = "g" + std::to_string(uniform(4)) + "/n" + std::to_string(next_name_++);
        return name + std::string(uniform(30), 'x');
    }

    void write_chunk() {
        const std::string name = pick_name();
        if (model_.open.count(name) != 0) {
            return;  // one chunk per name and frame keeps lookups unambiguous
        }
        const auto type = static_cast<uint8_t>(1 + uniform(11));
        const uint64_t N = uniform(20) == 0 ? 200 + uniform(2000) : uniform(40);
        const auto M = static_cast<uint32_t>(1 + uniform(4));
        const Chunk chunk = rux_test::make_chunk(type, N, M, random_());
        ASSERT_EQ(rux_test::write_bytes(&handle_, name, static_cast<rux_type>(type), N, M,
                                        chunk.bytes),
                  RUX_SUCCESS);
        model_.open[name] = chunk;
        model_.names.insert(name);
    }

    void end_frame() {
        ASSERT_EQ(rux_end_frame(&handle_), RUX_SUCCESS);
        model_.frames.push_back(model_.open);
        model_.open.clear();
    }

    void change_thresholds() {
        const uint64_t sizes[] = {1, 16, 256, 4096, 1 << 20, 67108864};
        const uint64_t counts[] = {1, 3, 50, 262144};
        ASSERT_EQ(rux_set_maximum_write_buffer_size(&handle_, sizes[uniform(6)]), RUX_SUCCESS);
        ASSERT_EQ(rux_set_index_entries_to_buffer(&handle_, counts[uniform(4)]), RUX_SUCCESS);
    }

    void check_chunk(uint64_t frame, const std::string &name, const Chunk *expected) {
        const rux_index_entry *entry = rux_find_chunk(&handle_, frame, name.c_str());
        if (expected == nullptr) {
            ASSERT_EQ(entry, nullptr) << "frame " << frame << " " << name;
            return;
        }
        ASSERT_NE(entry, nullptr) << "frame " << frame << " " << name;
        const rux_index_entry fields = rux_test::load_entry(entry);
        ASSERT_EQ(fields.type, expected->type);
        ASSERT_EQ(fields.N, expected->N);
        ASSERT_EQ(fields.M, expected->M);
        Bytes back(expected->bytes.size());
        if (!back.empty()) {
            ASSERT_EQ(rux_read_chunk(&handle_, back.data(), entry), RUX_SUCCESS);
        }
        ASSERT_EQ(back, expected->bytes) << "frame " << frame << " " << name;
    }

    // A random completed chunk and a random absent one, through the open handle.
    void spot_check() {
        if (model_.frames.empty()) {
            return;
        }
        const uint64_t frame = uniform(model_.frames.size());
        const std::string name = pick_name();
        auto it = model_.frames[frame].find(name);
        check_chunk(frame, name, it == model_.frames[frame].end() ? nullptr : &it->second);
    }

    void check_everything() {
        ASSERT_EQ(rux_get_nframes(&handle_), model_.frames.size());
        for (uint64_t frame = 0; frame < model_.frames.size(); ++frame) {
            for (const auto &[name, chunk] : model_.frames[frame]) {
                check_chunk(frame, name, &chunk);
            }
        }
        const std::vector<std::string> listed = rux_test::matching_names(&handle_, "");
        ASSERT_EQ(std::set<std::string>(listed.begin(), listed.end()), model_.names);
        ASSERT_EQ(listed.size(), model_.names.size()) << "a name is stored twice";
        const std::vector<std::string> group = rux_test::matching_names(&handle_, "g1/");
        for (const std::string &name : group) {
            ASSERT_EQ(name.rfind("g1/", 0), 0u) << name;
        }
    }

    void close_and_verify() {
        close();
        reopen(uniform(3) == 0 ? RUX_OPEN_READONLY : RUX_OPEN_READWRITE);
        check_everything();
        if (handle_.open_flags == RUX_OPEN_READONLY) {
            close();
            reopen(uniform(2) == 0 ? RUX_OPEN_APPEND : RUX_OPEN_READWRITE);
        }
    }

    void truncate() {
        ASSERT_EQ(rux_truncate(&handle_), RUX_SUCCESS);
        model_ = Model();
    }

    // Only possible at a frame boundary, once the new names are flushed.
    void upgrade() {
        if (!model_.open.empty()) {
            return;
        }
        ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
        ASSERT_EQ(rux_upgrade(&handle_), RUX_SUCCESS);
        ASSERT_EQ(handle_.header.rux_version, 0x20001u);
    }

    TempDir dir_;
    rux_handle handle_ = {};
    bool open_ = false;
    std::mt19937_64 random_;
    Model model_;
    uint64_t next_name_ = 0;
};

TEST_P(RandomModel, EveryChunkReadsBackAfterEachReopen) {
    SCOPED_TRACE("seed " + std::to_string(GetParam().seed));
    for (int step = 0; step < 4000; ++step) {
        const uint64_t dice = uniform(1000);
        if (dice < 600) {
            ASSERT_NO_FATAL_FAILURE(write_chunk());
        } else if (dice < 850) {
            ASSERT_NO_FATAL_FAILURE(end_frame());
        } else if (dice < 880) {
            ASSERT_EQ(rux_flush(&handle_), RUX_SUCCESS);
        } else if (dice < 910) {
            ASSERT_NO_FATAL_FAILURE(change_thresholds());
        } else if (dice < 960) {
            ASSERT_NO_FATAL_FAILURE(spot_check());
        } else if (dice < 985) {
            ASSERT_NO_FATAL_FAILURE(close_and_verify()) << "step " << step;
        } else if (dice < 988) {
            ASSERT_NO_FATAL_FAILURE(truncate());
        } else {
            ASSERT_NO_FATAL_FAILURE(upgrade());
        }
    }
    ASSERT_NO_FATAL_FAILURE(close_and_verify());
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomModel,
                         testing::Values(RunCase{20261209, rux_test::kVersion21},
                                         RunCase{7, rux_test::kVersion21},
                                         RunCase{99, rux_test::kVersion10},
                                         RunCase{12345, rux_test::kVersion03}),
                         [](const testing::TestParamInfo<RunCase> &info) {
                             return "seed" + std::to_string(info.param.seed);
                         });

}  // namespace
