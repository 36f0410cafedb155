// The small files under tests/data pin the format: they are compared with the
// crafter's images, with what the library writes, and read back.
//
// To regenerate them after a deliberate format change:
//   golden_files_test --gtest_also_run_disabled_tests --gtest_filter='*Regenerate*'
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "file_crafter.h"
#include "golden_images.h"
#include "handle_helpers.h"
#include "temp_dir.h"

namespace {

using rux_test::Bytes;
using rux_test::TempDir;

const std::string kV2 = "v2_small.rux";
const std::string kV1 = "v1_small.rux";

Bytes golden(const std::string &name) {
    return rux_test::read_file(rux_test::golden_directory() + "/" + name);
}

TEST(GoldenFiles, DISABLED_Regenerate) {
    rux_test::golden_v2_image().save(rux_test::golden_directory() + "/" + kV2);
    rux_test::golden_v1_image().save(rux_test::golden_directory() + "/" + kV1);
}

TEST(GoldenFiles, CrafterReproducesThem) {
    EXPECT_EQ(rux_test::golden_v2_image().image(), golden(kV2));
    EXPECT_EQ(rux_test::golden_v1_image().image(), golden(kV1));
    EXPECT_EQ(rux_test::check_well_formed(golden(kV2)), "");
    EXPECT_EQ(rux_test::check_well_formed(golden(kV1)), "");
}

TEST(GoldenFiles, LibraryWritesTheVersion2FileByteForByte) {
    TempDir dir;
    rux_handle handle = {};
    ASSERT_EQ(rux_test::create_open(&handle, dir.path("w.rux")), RUX_SUCCESS);
    uint64_t frame = 0;
    for (const rux_test::GoldenChunk &c : rux_test::golden_v2_chunks()) {
        if (c.frame != frame) {
            ASSERT_EQ(rux_end_frame(&handle), RUX_SUCCESS);
            frame = c.frame;
        }
        ASSERT_EQ(
            rux_test::write_bytes(&handle, c.name, static_cast<rux_type>(c.type), c.N, c.M, c.data),
            RUX_SUCCESS);
    }
    ASSERT_EQ(rux_end_frame(&handle), RUX_SUCCESS);
    ASSERT_EQ(rux_close(&handle), RUX_SUCCESS);
    EXPECT_EQ(rux_test::read_file(dir.path("w.rux")), golden(kV2));
}

TEST(GoldenFiles, Version2FileReadsBack) {
    rux_handle handle = {};
    const std::string path = rux_test::golden_directory() + "/" + kV2;
    ASSERT_EQ(rux_open(&handle, path.c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&handle), 2u);
    EXPECT_STREQ(handle.header.application, "rux-tests");
    EXPECT_STREQ(handle.header.schema, "trajectory");
    EXPECT_EQ(handle.header.schema_version, 0x10002u);
    for (const rux_test::GoldenChunk &c : rux_test::golden_v2_chunks()) {
        Bytes back;
        ASSERT_TRUE(rux_test::read_back(&handle, c.frame, c.name, &back)) << c.name;
        EXPECT_EQ(back, c.data) << c.frame << " " << c.name;
    }
    EXPECT_EQ(rux_find_chunk(&handle, 0, "box"), nullptr);
    EXPECT_EQ(rux_close(&handle), RUX_SUCCESS);
}

std::string read_text(rux_handle *handle, uint64_t frame, const std::string &name) {
    Bytes back;
    return rux_test::read_back(handle, frame, name, &back) ? std::string(back.begin(), back.end())
                                                           : "<none>";
}

TEST(GoldenFiles, Version1FileReadsBackAndUpgrades) {
    TempDir dir;
    const std::string path = dir.path("v1.rux");
    const Bytes original = golden(kV1);
    rux_test::write_file(path, original);
    rux_handle handle = {};
    ASSERT_EQ(rux_open(&handle, path.c_str(), RUX_OPEN_READWRITE), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&handle), 4u);
    EXPECT_EQ(read_text(&handle, 0, "vel"), "vel0");
    EXPECT_EQ(read_text(&handle, 0, "pos"), "pos0");
    EXPECT_EQ(read_text(&handle, 1, "pos"), "new");
    EXPECT_EQ(read_text(&handle, 1, "box"), "box1");
    EXPECT_EQ(read_text(&handle, 2, "pos"), "<none>");
    EXPECT_EQ(read_text(&handle, 3, "box"), "box3");
    EXPECT_EQ(read_text(&handle, 3, "vel"), "<none>");

    ASSERT_EQ(rux_upgrade(&handle), RUX_SUCCESS);
    EXPECT_EQ(read_text(&handle, 0, "vel"), "vel0");
    const std::string pos1 = read_text(&handle, 1, "pos");
    EXPECT_TRUE(pos1 == "new" || pos1 == "old") << pos1;
    EXPECT_EQ(read_text(&handle, 3, "box"), "box3");
    ASSERT_EQ(rux_close(&handle), RUX_SUCCESS);

    // The header of version 2.1 names the sorted index and the packed
    // namelist as new blocks appended to the file; the old bytes stay as they
    // were, so a crash at any point leaves the file as before or as after.
    const Bytes upgraded = rux_test::read_file(path);
    EXPECT_EQ(rux_test::check_well_formed(upgraded), "");
    const auto old_header = rux_test::parse_file(original).header;
    const auto header = rux_test::parse_file(upgraded).header;
    const uint64_t index = (original.size() + 31) / 32 * 32;
    EXPECT_EQ(header.version, rux_test::kVersion21);
    EXPECT_EQ(header.index_location, index);
    EXPECT_EQ(header.index_entries, old_header.index_entries);
    EXPECT_EQ(header.namelist_location, index + 32 * old_header.index_entries);
    EXPECT_EQ(upgraded.size(), header.namelist_location + 64 * old_header.namelist_units);
    EXPECT_TRUE(std::equal(original.begin() + 256, original.end(), upgraded.begin() + 256));
    EXPECT_EQ(rux_test::parse_file(upgraded).names, (std::vector<std::string>{"pos", "vel", "box"}));
    auto entries = rux_test::parse_file(upgraded).entries;
    auto before = rux_test::parse_file(original).entries;
    const auto by_key = [](const rux_test::RawEntry &a, const rux_test::RawEntry &b) {
        return a.frame != b.frame ? a.frame < b.frame
               : a.id != b.id     ? a.id < b.id
                                  : a.location < b.location;
    };
    std::sort(before.begin(), before.end(), by_key);
    std::sort(entries.begin(), entries.end(), by_key);
    EXPECT_EQ(entries, before);
}

}  // namespace
