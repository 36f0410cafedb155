// Series reads of selected rows: every selection, in every way the bytes can
// move (positional reads, the kept data mapping, reads after a failed
// mapping), equals reading each chunk whole and keeping the rows; refusals
// leave the destination untouched.
#include <gtest/gtest.h>

#include <cstdint>
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
constexpr uint64_t kMax = UINT64_MAX;

// Rows as a case gives them: every row (null), a list, or start/step/count.
struct Rows {
    const char *label;
    bool all;
    bool listed;
    std::vector<uint64_t> list;
    uint64_t start;
    int64_t step;
    uint64_t count;

    rux_row_selection selection() const {
        return {listed ? list.data() : nullptr, start, step, count};
    }
    std::vector<uint64_t> indices() const {
        std::vector<uint64_t> rows = list;
        for (uint64_t i = 0; !listed && i < count; ++i) {
            rows.push_back(start + static_cast<uint64_t>(step) * i);
        }
        return rows;
    }
};

Rows every_row() { return {"all", true, false, {}, 0, 1, kRows}; }
Rows range(const char *label, uint64_t start, int64_t step, uint64_t count) {
    return {label, false, false, {}, start, step, count};
}
Rows listed(const char *label, std::vector<uint64_t> list) {
    const auto count = static_cast<uint64_t>(list.size());
    return {label, false, true, std::move(list), 0, 0, count};
}

// Where each frame's chunk lies: back to back, or apart between larger chunks
// (so that many small pieces are copied out of the mapping); and whether the
// mapping can be made.
enum class Layout { back_to_back, apart, apart_without_mapping };

// A file of `frames` frames of "x", int32 (kRows, kColumns), and with `text`
// of text "t" (N 4, M 2) in the first two frames.
void write_file(const std::string &path, uint64_t frames, Layout layout, bool text) {
    rux_handle writer{};
    ASSERT_EQ(rux_test::create_open(&writer, path), RUX_SUCCESS);
    const Bytes padding = rux_test::pattern(512, 99);
    for (uint64_t frame = 0; frame < frames; ++frame) {
        ASSERT_EQ(rux_test::write_bytes(&writer, "x", RUX_TYPE_INT32, kRows, kColumns,
                                        rux_test::pattern(kRows * kRowBytes, frame)),
                  RUX_SUCCESS);
        if (layout != Layout::back_to_back) {
            ASSERT_EQ(rux_test::write_bytes(&writer, "pad", RUX_TYPE_UINT8, 512, 1, padding),
                      RUX_SUCCESS);
        }
        if (text && frame < 2) {
            ASSERT_EQ(rux_test::write_bytes(&writer, "t", RUX_TYPE_CHARACTER, 4, 2,
                                            Bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}),
                      RUX_SUCCESS);
        }
        ASSERT_EQ(rux_end_frame(&writer), RUX_SUCCESS);
    }
    ASSERT_EQ(rux_close(&writer), RUX_SUCCESS);
}

struct Case {
    Layout layout;
    Rows rows;
    bool frame_list;  // frames 39, 2, 2, 0, 17 instead of every frame
};

void PrintTo(const Case &c, std::ostream *out) {
    *out << "layout " << static_cast<int>(c.layout) << ", rows " << c.rows.label
         << (c.frame_list ? ", listed frames" : ", every frame");
}

std::string case_name(const ::testing::TestParamInfo<Case> &info) {
    const char *layouts[] = {"back_to_back", "apart", "apart_without_mapping"};
    return std::string(layouts[static_cast<int>(info.param.layout)]) + "_" + info.param.rows.label +
           (info.param.frame_list ? "_frame_list" : "_every_frame");
}

class SeriesRows : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        write_file(dir_.path("rows.rux"), kFrames, GetParam().layout, false);
        ASSERT_EQ(rux_open(&handle_, dir_.path("rows.rux").c_str(), RUX_OPEN_READONLY),
                  RUX_SUCCESS);
    }
    void TearDown() override { rux_close(&handle_); }

    // The oracle: each selected frame's chunk read whole, then the rows kept.
    Bytes expected(const std::vector<uint64_t> &frames, const std::vector<uint64_t> &rows) {
        Bytes out;
        for (const uint64_t frame : frames) {
            Bytes chunk;
            EXPECT_TRUE(rux_test::read_back(&handle_, frame, "x", &chunk));
            for (const uint64_t row : rows) {
                const auto at = chunk.begin() + static_cast<ptrdiff_t>(row * kRowBytes);
                out.insert(out.end(), at, at + static_cast<ptrdiff_t>(kRowBytes));
            }
        }
        return out;
    }

    rux_test::TempDir dir_;
    rux_handle handle_{};
};

TEST_P(SeriesRows, EqualsTheRowsOfEachChunk) {
    const Case &c = GetParam();
    std::vector<uint64_t> frames = {39, 2, 2, 0, 17};
    rux_frame_selection selection = {frames.data(), 0, 0, frames.size()};
    if (!c.frame_list) {
        frames = range("", 0, 1, kFrames).indices();
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

    RecordingSys sys;
    if (c.layout == Layout::apart_without_mapping) {
        sys.fail(Call::mmap, 1, ENOMEM, 0);
    }
    Bytes got(want.size() + 8, 0xA5);  // the 8 bytes past the series stay untouched
    rux_series_info info{};
    ASSERT_EQ(rux_read_series_rows(&handle_, "x", &selection, chosen, got.data(), want.size(),
                                   &info),
              RUX_SUCCESS);
    EXPECT_EQ(info.bytes, want.size());
    EXPECT_EQ(Bytes(got.begin(), got.end() - 8), want);
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
        every_row(),
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
    for (const Layout layout :
         {Layout::back_to_back, Layout::apart, Layout::apart_without_mapping}) {
        for (const Rows &rows : selections) {
            for (const bool frame_list : {false, true}) {
                all.push_back({layout, rows, frame_list});
            }
        }
    }
    return all;
}

INSTANTIATE_TEST_SUITE_P(Selections, SeriesRows, ::testing::ValuesIn(cases()), case_name);

// Pieces that lie back to back in the file go through one positional read:
// every row of 8 back-to-back chunks is one read, a middle slice one per
// chunk, both ends the first chunk's start, then each chunk's end joined with
// the next one's start, then the last chunk's end.
class SeriesRowsReads : public SeriesRows {};

TEST_P(SeriesRowsReads, JoinPiecesThatFollowEachOther) {
    const rux_frame_selection selection = {nullptr, 0, 1, 8};
    const Rows &rows = GetParam().rows;
    const rux_row_selection chosen = rows.selection();
    const Bytes want = expected(range("", 0, 1, 8).indices(), rows.indices());
    Bytes got(want.size());
    rux_series_info info{};
    RecordingSys sys;
    ASSERT_EQ(rux_read_series_rows(&handle_, "x", &selection, rows.all ? nullptr : &chosen,
                                   got.data(), got.size(), &info),
              RUX_SUCCESS);
    EXPECT_EQ(got, want);
    EXPECT_EQ(sys.count(Call::pread), rows.all ? 1 : rows.listed ? 9 : 8);
    EXPECT_EQ(sys.count(Call::mmap), 0);
}

INSTANTIATE_TEST_SUITE_P(
    BackToBack, SeriesRowsReads,
    ::testing::Values(Case{Layout::back_to_back, every_row(), false},
                      Case{Layout::back_to_back, range("slice", 2, 1, 5), false},
                      Case{Layout::back_to_back, listed("ends", {0, 1, kRows - 2, kRows - 1}),
                           false}),
    case_name);

// Refused requests: the problem, the row or frame reported, and nothing
// written, also by the sizing call (null destination) where it looks.
struct Refusal {
    const char *label;
    const char *name;
    Rows rows;
    uint8_t problem;
    uint64_t row;
    uint64_t frame;
    std::vector<uint64_t> frames = {1, 2, 3};
    uint64_t size = 4096;
    bool sizing_refuses = true;
};

class SeriesRowsRefused : public ::testing::TestWithParam<Refusal> {};

TEST_P(SeriesRowsRefused, BeforeAnythingIsCopied) {
    const Refusal &r = GetParam();
    rux_test::TempDir dir;
    write_file(dir.path("refused.rux"), 4, Layout::back_to_back, true);
    rux_handle handle{};
    ASSERT_EQ(rux_open(&handle, dir.path("refused.rux").c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    const rux_frame_selection frames = {r.frames.data(), 0, 0, r.frames.size()};
    const rux_row_selection rows = r.rows.selection();
    for (const bool sizing : {true, false}) {
        if (sizing && !r.sizing_refuses) {
            continue;
        }
        Bytes destination(4096, 0xA5);
        rux_series_info info{};
        EXPECT_EQ(rux_read_series_rows(&handle, r.name, &frames, &rows,
                                       sizing ? nullptr : destination.data(), r.size, &info),
                  RUX_ERROR_INVALID_ARGUMENT);
        EXPECT_EQ(info.problem, r.problem);
        EXPECT_EQ(info.problem_row, r.row);
        EXPECT_EQ(info.problem_frame, r.frame);
        EXPECT_EQ(destination, Bytes(4096, 0xA5));
    }
    rux_close(&handle);
}

constexpr uint8_t kRowOut = RUX_SERIES_ROW_OUT_OF_RANGE;

INSTANTIATE_TEST_SUITE_P(
    Requests, SeriesRowsRefused,
    ::testing::Values(
        // Rows are checked against the first selected frame's N.
        Refusal{"row_N", "x", listed("", {2, kRows, 3}), kRowOut, kRows, 1},
        Refusal{"huge_row", "x", listed("", {0, kMax}), kRowOut, kMax, 1},
        Refusal{"first_in_order", "x", listed("", {kRows + 5, kRows}), kRowOut, kRows + 5, 1},
        Refusal{"start_N", "x", range("", kRows, 1, 1), kRowOut, kRows, 1},
        Refusal{"steps_past_end", "x", range("", 1, 3, 5), kRowOut, 13, 1},
        Refusal{"one_past_end", "x", range("", 0, 1, kRows + 1), kRowOut, kRows, 1},
        // Below row 0 wraps, as an unsigned start + step * i does.
        Refusal{"steps_below_zero", "x", range("", 2, -1, 4), kRowOut, kMax, 1},
        Refusal{"step0_at_N", "x", range("", kRows, 0, 3), kRowOut, kRows, 1},
        Refusal{"most_negative_step", "x", range("", 5, INT64_MIN, 2), kRowOut,
                5 + (1ull << 63), 1},
        Refusal{"huge_step", "x", range("", 0, INT64_MAX, 2), kRowOut,
                static_cast<uint64_t>(INT64_MAX), 1},
        // More bytes than memory holds: refused without a problem of its own.
        Refusal{"too_many_rows", "x", range("", 0, 0, 1ull << 62), RUX_SERIES_OK, 0, 0},
        // Any selection of rows in text, even of none.
        Refusal{"text", "t", range("", 0, 1, 1), RUX_SERIES_ROWS_OF_TEXT, 0, 0, {0, 1}},
        Refusal{"text_no_rows", "t", listed("", {}), RUX_SERIES_ROWS_OF_TEXT, 0, 0, {0, 1}},
        Refusal{"one_byte_short", "x", range("", 3, -1, 2), RUX_SERIES_BUFFER_TOO_SMALL, 0, 1,
                {1, 2, 3}, 3 * 2 * kRowBytes - 1, false},
        // Frame problems as without rows: a later frame past the end, and a
        // missing chunk found before its type is looked at.
        Refusal{"frame_past_end", "x", range("", 0, 1, 2), RUX_SERIES_FRAME_OUT_OF_RANGE, 0, 9,
                {2, 9}, 4096, false},
        Refusal{"text_missing", "t", range("", 0, 1, 1), RUX_SERIES_CHUNK_MISSING, 0, 2, {2}}),
    [](const ::testing::TestParamInfo<Refusal> &info) { return std::string(info.param.label); });

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
    for (const rux_row_selection *rows :
         {static_cast<const rux_row_selection *>(nullptr), &slice, &list}) {
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
