// Series reads of selected rows: every selection, in every way the bytes can
// move (positional reads, the kept data mapping, reads after a failed
// mapping), equals reading each chunk whole and keeping the rows; refusals
// leave the destination untouched.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "handle_helpers.h"
#include "recording_sys.h"
#include "rux/rux.h"
#include "temp_dir.h"

namespace {

using rux_test::Bytes;
using rux_test::Call;
using rux_test::RecordingSys;

constexpr uint64_t kFrames = 40;
constexpr uint64_t kRows = 11;
constexpr uint32_t kColumns = 3;
constexpr uint64_t kRowBytes = kColumns * 4;  // int32

// Rows as the test cases give them: a list, or start/step/count.
struct Rows {
    const char *label;
    bool all;
    std::vector<uint64_t> list;
    uint64_t start;
    int64_t step;
    uint64_t count;
    bool listed;

    rux_row_selection selection() const {
        return {listed ? list.data() : nullptr, start, step, count};
    }
    std::vector<uint64_t> indices() const {
        if (listed) {
            return list;
        }
        std::vector<uint64_t> rows;
        for (uint64_t i = 0; i < count; ++i) {
            rows.push_back(start + static_cast<uint64_t>(step) * i);
        }
        return rows;
    }
};

Rows all_rows() {
    Rows rows{"all", true, {}, 0, 1, kRows, false};
    for (uint64_t i = 0; i < kRows; ++i) {
        rows.list.push_back(i);
    }
    return rows;
}
Rows range(const char *label, uint64_t start, int64_t step, uint64_t count) {
    return {label, false, {}, start, step, count, false};
}
Rows listed(const char *label, std::vector<uint64_t> list) {
    const auto count = static_cast<uint64_t>(list.size());
    return {label, false, std::move(list), 0, 0, count, true};
}

// Where each frame's chunk lies: back to back, or apart between larger chunks
// (so that many small pieces are copied out of the mapping); and whether the
// mapping can be made.
enum class Layout { back_to_back, apart, apart_without_mapping };

struct Case {
    Layout layout;
    Rows rows;
    bool frame_list;  // frames 39, 2, 2, 0, 17 instead of every frame
};

void PrintTo(const Case &c, std::ostream *out) {
    *out << "layout " << static_cast<int>(c.layout) << ", rows " << c.rows.label
         << (c.frame_list ? ", listed frames" : ", every frame");
}

class SeriesRows : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        rux_handle writer{};
        ASSERT_EQ(rux_test::create_open(&writer, path()), RUX_SUCCESS);
        const Bytes padding = rux_test::pattern(512, 99);
        for (uint64_t frame = 0; frame < kFrames; ++frame) {
            ASSERT_EQ(rux_test::write_bytes(&writer, "x", RUX_TYPE_INT32, kRows, kColumns,
                                            rux_test::pattern(kRows * kRowBytes, frame)),
                      RUX_SUCCESS);
            if (GetParam().layout != Layout::back_to_back) {
                ASSERT_EQ(rux_test::write_bytes(&writer, "pad", RUX_TYPE_UINT8, 512, 1, padding),
                          RUX_SUCCESS);
            }
            ASSERT_EQ(rux_end_frame(&writer), RUX_SUCCESS);
        }
        ASSERT_EQ(rux_close(&writer), RUX_SUCCESS);
        ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    }
    void TearDown() override { rux_close(&handle_); }
    std::string path() const { return dir_.path("rows.rux"); }

    // The oracle: each selected frame's chunk read whole, then the rows kept.
    Bytes expected(const std::vector<uint64_t> &frames, const std::vector<uint64_t> &rows) {
        Bytes out;
        for (const uint64_t frame : frames) {
            Bytes chunk;
            EXPECT_TRUE(rux_test::read_back(&handle_, frame, "x", &chunk));
            for (const uint64_t row : rows) {
                out.insert(out.end(), chunk.begin() + static_cast<ptrdiff_t>(row * kRowBytes),
                           chunk.begin() + static_cast<ptrdiff_t>((row + 1) * kRowBytes));
            }
        }
        return out;
    }

    rux_test::TempDir dir_;
    rux_handle handle_{};
};

TEST_P(SeriesRows, EqualsTheRowsOfEachChunk) {
    const Case &c = GetParam();
    const std::vector<uint64_t> listed_frames = {39, 2, 2, 0, 17};
    std::vector<uint64_t> frames = listed_frames;
    rux_frame_selection selection = {listed_frames.data(), 0, 0, listed_frames.size()};
    if (!c.frame_list) {
        frames.clear();
        for (uint64_t t = 0; t < kFrames; ++t) {
            frames.push_back(t);
        }
        selection = {nullptr, 0, 1, kFrames};
    }
    const rux_row_selection rows = c.rows.selection();
    const rux_row_selection *chosen = c.rows.all ? nullptr : &rows;
    const Bytes want = expected(frames, c.rows.indices());

    rux_series_info sized{};
    ASSERT_EQ(rux_read_series_rows(&handle_, "x", &selection, chosen, nullptr, 0, &sized),
              RUX_SUCCESS);
    EXPECT_EQ(sized.bytes, want.size());
    EXPECT_EQ(sized.N, kRows);
    EXPECT_EQ(sized.M, kColumns);

    RecordingSys sys;
    if (c.layout == Layout::apart_without_mapping) {
        sys.fail(Call::mmap, 1, ENOMEM, 0);
    }
    Bytes got(want.size() + 8, 0xA5);  // 8 bytes past the series stay untouched
    rux_series_info info{};
    ASSERT_EQ(rux_read_series_rows(&handle_, "x", &selection, chosen, got.data(), want.size(),
                                   &info),
              RUX_SUCCESS);
    EXPECT_EQ(info.bytes, want.size());
    EXPECT_EQ(Bytes(got.begin(), got.begin() + static_cast<ptrdiff_t>(want.size())), want);
    EXPECT_EQ(Bytes(got.end() - 8, got.end()), Bytes(8, 0xA5));
    if (c.rows.all) {
        Bytes whole(want.size(), 0);
        ASSERT_EQ(rux_read_series(&handle_, "x", &selection, whole.data(), whole.size(), &info),
                  RUX_SUCCESS);
        EXPECT_EQ(whole, want);
    }
}

std::vector<Case> cases() {
    const std::vector<Rows> selections = {
        all_rows(),
        range("slice", 2, 1, 5),
        range("whole_range", 0, 1, kRows),
        range("step3", 1, 3, 4),
        range("backwards", kRows - 1, -2, 6),
        range("step0", 4, 0, 3),
        range("no_rows", 0, 1, 0),
        listed("unsorted_repeats", {7, 0, 0, 3, kRows - 1, 2, 7}),
        listed("contiguous_list", {3, 4, 5, 6}),
        listed("ends_and_starts", {0, 1, kRows - 2, kRows - 1}),  // joins across chunks
        listed("empty_list", {}),
    };
    std::vector<Case> all;
    for (const Layout layout : {Layout::back_to_back, Layout::apart, Layout::apart_without_mapping}) {
        for (const Rows &rows : selections) {
            for (const bool frame_list : {false, true}) {
                all.push_back({layout, rows, frame_list});
            }
        }
    }
    return all;
}

std::string case_name(const ::testing::TestParamInfo<Case> &info) {
    const char *layouts[] = {"back_to_back", "apart", "apart_without_mapping"};
    return std::string(layouts[static_cast<int>(info.param.layout)]) + "_" + info.param.rows.label +
           (info.param.frame_list ? "_frame_list" : "_every_frame");
}

INSTANTIATE_TEST_SUITE_P(Selections, SeriesRows, ::testing::ValuesIn(cases()), case_name);

// Pieces that lie back to back in the file go through one positional read:
// a chunk's last rows join the next chunk's first rows.
class SeriesRowsReads : public SeriesRows {};

TEST_P(SeriesRowsReads, JoinPiecesThatFollowEachOther) {
    const uint64_t frames = 8;
    const rux_frame_selection selection = {nullptr, 0, 1, frames};
    const Rows &rows = GetParam().rows;
    const rux_row_selection chosen = rows.selection();
    const Bytes want = expected({0, 1, 2, 3, 4, 5, 6, 7}, rows.indices());
    Bytes got(want.size());
    rux_series_info info{};
    RecordingSys sys;
    ASSERT_EQ(rux_read_series_rows(&handle_, "x", &selection, rows.all ? nullptr : &chosen,
                                   got.data(), got.size(), &info),
              RUX_SUCCESS);
    EXPECT_EQ(got, want);
    // every row: one read; a middle slice: one per chunk; both ends: the
    // first chunk's start, then each chunk's end joined with the next start.
    const int reads = rows.all ? 1 : rows.list.size() == 4 ? static_cast<int>(frames) + 1
                                                            : static_cast<int>(frames);
    EXPECT_EQ(sys.count(Call::pread), reads);
    EXPECT_EQ(sys.count(Call::mmap), 0);
}

INSTANTIATE_TEST_SUITE_P(
    BackToBack, SeriesRowsReads,
    ::testing::Values(Case{Layout::back_to_back, all_rows(), false},
                      Case{Layout::back_to_back, range("slice", 2, 1, 5), false},
                      Case{Layout::back_to_back, listed("ends", {0, 1, kRows - 2, kRows - 1}),
                           false}),
    case_name);

// A small file of 4 frames of "x" and, in frames 0 and 1, text "t".
class Refusals : public ::testing::Test {
  protected:
    void SetUp() override {
        rux_handle writer{};
        ASSERT_EQ(rux_test::create_open(&writer, path()), RUX_SUCCESS);
        for (uint64_t frame = 0; frame < 4; ++frame) {
            ASSERT_EQ(rux_test::write_bytes(&writer, "x", RUX_TYPE_INT32, kRows, kColumns,
                                            rux_test::pattern(kRows * kRowBytes, frame)),
                      RUX_SUCCESS);
            if (frame < 2) {
                ASSERT_EQ(rux_test::write_bytes(&writer, "t", RUX_TYPE_CHARACTER, 4, 2,
                                                Bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}),
                          RUX_SUCCESS);
            }
            ASSERT_EQ(rux_end_frame(&writer), RUX_SUCCESS);
        }
        ASSERT_EQ(rux_close(&writer), RUX_SUCCESS);
        ASSERT_EQ(rux_open(&handle_, path().c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    }
    void TearDown() override { rux_close(&handle_); }
    std::string path() const { return dir_.path("refused.rux"); }

    // Reads frames 1 to 3 (or those given) of `name` into a buffer of `size`
    // bytes, first with a null destination when `sizing`; expects `code` and
    // the destination untouched.
    rux_series_info refused(const char *name, const rux_row_selection *rows, int code,
                            bool sizing, uint64_t size = 4096,
                            rux_frame_selection frames = {nullptr, 1, 1, 3}) {
        Bytes destination(4096, 0xA5);
        rux_series_info info{};
        EXPECT_EQ(rux_read_series_rows(&handle_, name, &frames, rows,
                                       sizing ? nullptr : destination.data(), size, &info),
                  code);
        EXPECT_EQ(destination, Bytes(4096, 0xA5));
        return info;
    }

    rux_test::TempDir dir_;
    rux_handle handle_{};
};

struct BadRows {
    const char *label;
    Rows rows;
    uint8_t problem;
    uint64_t row;
};

class RowsRefused : public Refusals, public ::testing::WithParamInterface<BadRows> {};

TEST_P(RowsRefused, BeforeAnythingIsCopied) {
    const BadRows &bad = GetParam();
    const rux_row_selection rows = bad.rows.selection();
    for (const bool sizing : {true, false}) {
        const rux_series_info info = refused("x", &rows, RUX_ERROR_INVALID_ARGUMENT, sizing);
        EXPECT_EQ(info.problem, bad.problem);
        EXPECT_EQ(info.problem_row, bad.row);
        if (bad.problem != RUX_SERIES_OK) {
            EXPECT_EQ(info.problem_frame, 1u);  // whose N the rows are checked against
        }
    }
}

constexpr uint64_t kMax = UINT64_MAX;
constexpr uint8_t kRowOut = RUX_SERIES_ROW_OUT_OF_RANGE;

INSTANTIATE_TEST_SUITE_P(
    Selections, RowsRefused,
    ::testing::Values(
        BadRows{"row_N", listed("", {2, kRows, 3}), kRowOut, kRows},
        BadRows{"huge_row", listed("", {0, kMax}), kRowOut, kMax},
        BadRows{"first_in_selection_order", listed("", {kRows + 5, kRows}), kRowOut, kRows + 5},
        BadRows{"start_N", range("", kRows, 1, 1), kRowOut, kRows},
        BadRows{"steps_past_end", range("", 1, 3, 5), kRowOut, 13},
        BadRows{"one_past_end", range("", 0, 1, kRows + 1), kRowOut, kRows},
        // Below row 0 wraps, as an unsigned start + step * i does.
        BadRows{"steps_below_zero", range("", 2, -1, 4), kRowOut, kMax},
        BadRows{"step0_at_N", range("", kRows, 0, 3), kRowOut, kRows},
        BadRows{"most_negative_step", range("", 5, INT64_MIN, 2), kRowOut, 5 + (1ull << 63)},
        BadRows{"huge_step", range("", 0, INT64_MAX, 2), kRowOut,
                static_cast<uint64_t>(INT64_MAX)},
        // More bytes than memory holds: refused without a problem of its own.
        BadRows{"too_many_rows", range("", 0, 0, 1ull << 62), RUX_SERIES_OK, 0}),
    [](const ::testing::TestParamInfo<BadRows> &info) { return std::string(info.param.label); });

TEST_F(Refusals, RowsOfTextCannotBeSelected) {
    const rux_row_selection first = {nullptr, 0, 1, 1};
    const rux_row_selection none = {nullptr, 0, 1, 0};
    const rux_frame_selection frames = {nullptr, 0, 1, 2};
    for (const rux_row_selection *rows : {&first, &none}) {
        const rux_series_info info =
            refused("t", rows, RUX_ERROR_INVALID_ARGUMENT, false, 4096, frames);
        EXPECT_EQ(info.problem, RUX_SERIES_ROWS_OF_TEXT);
        EXPECT_EQ(info.problem_frame, 0u);
    }
    Bytes whole(16, 0);
    rux_series_info info{};
    EXPECT_EQ(rux_read_series_rows(&handle_, "t", &frames, nullptr, whole.data(), whole.size(),
                                   &info),
              RUX_SUCCESS);
    EXPECT_EQ(whole, Bytes({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'a', 'b', 'c', 'd', 'e', 'f',
                            'g', 'h'}));
}

TEST_F(Refusals, BufferOneByteShort) {
    const rux_row_selection rows = {nullptr, 3, -1, 2};
    const uint64_t bytes = 3 * 2 * kRowBytes;
    const rux_series_info info =
        refused("x", &rows, RUX_ERROR_INVALID_ARGUMENT, false, bytes - 1);
    EXPECT_EQ(info.problem, RUX_SERIES_BUFFER_TOO_SMALL);
    EXPECT_EQ(info.bytes, bytes);
}

TEST_F(Refusals, FrameProblemsComeFirstAsWithoutRows) {
    const uint64_t listed_frames[] = {2, 9};
    const rux_row_selection rows = {nullptr, 0, 1, 2};
    const rux_series_info info = refused("x", &rows, RUX_ERROR_INVALID_ARGUMENT, false, 4096,
                                         {listed_frames, 0, 0, 2});
    EXPECT_EQ(info.problem, RUX_SERIES_FRAME_OUT_OF_RANGE);
    EXPECT_EQ(info.problem_frame, 9u);
    // "t" is missing from frame 2: found before its type is looked at.
    EXPECT_EQ(refused("t", &rows, RUX_ERROR_INVALID_ARGUMENT, false, 4096, {nullptr, 2, 1, 1})
                  .problem,
              RUX_SERIES_CHUNK_MISSING);
}

// A later frame's entry that points past the end of the file gives
// RUX_ERROR_FILE_CORRUPT naming that frame, whatever rows are selected.
TEST(SeriesRowsDamaged, EntryPastTheFileIsCorrupt) {
    rux_test::TempDir dir;
    rux_test::FileImage image;
    image.set_names({"x"});
    const Bytes data = rux_test::pattern(kRows * kRowBytes, 1);
    for (uint64_t frame = 0; frame < 3; ++frame) {
        image.add_chunk(frame, 0, RUX_TYPE_INT32, kRows, kColumns, data.data());
    }
    rux_test::RawEntry damaged =
        rux_test::decode_entry(image.image(), image.header.index_location + 32);
    damaged.location = static_cast<int64_t>(image.bytes.size()) - 8;  // runs past the end
    image.set_entry(1, damaged);
    image.save(dir.path("damaged.rux"));
    rux_handle handle{};
    ASSERT_EQ(rux_open(&handle, dir.path("damaged.rux").c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    const rux_frame_selection frames = {nullptr, 0, 1, 3};
    const uint64_t listed_rows[] = {0};
    const rux_row_selection slice = {nullptr, 0, 1, 1};
    const rux_row_selection list = {listed_rows, 0, 0, 1};
    for (const rux_row_selection *rows : {static_cast<const rux_row_selection *>(nullptr),
                                          &slice, &list}) {
        Bytes destination(3 * kRows * kRowBytes, 0xA5);
        rux_series_info info{};
        EXPECT_EQ(rux_read_series_rows(&handle, "x", &frames, rows, destination.data(),
                                       destination.size(), &info),
                  RUX_ERROR_FILE_CORRUPT);
        EXPECT_EQ(info.problem_frame, 1u);
        EXPECT_EQ(destination, Bytes(destination.size(), 0xA5));
    }
    rux_close(&handle);
}

}  // namespace
