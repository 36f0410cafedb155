// Creating and opening through the C API, on files crafted byte by byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "file_crafter.h"
#include "handle_helpers.h"
#include "handle_ops.h"
#include "recording_sys.h"
#include "temp_dir.h"

namespace {

using rux_test::Bytes;
using rux_test::Call;
using rux_test::FileImage;
using rux_test::RawEntry;
using rux_test::RecordingSys;
using rux_test::TempDir;

class OpenTest : public testing::Test {
  protected:
    std::string save(const FileImage &image, const std::string &name = "crafted.rux") {
        std::string path = dir_.path(name);
        image.save(path);
        return path;
    }
    int open_image(const FileImage &image, rux_open_flag flags = RUX_OPEN_READONLY) {
        return rux_open(&handle_, save(image).c_str(), flags);
    }
    void close_handle() { EXPECT_EQ(rux_close(&handle_), RUX_SUCCESS); }

    TempDir dir_;
    rux_handle handle_ = {};
};

// A file whose only chunk (frame 0, name "a") has an entry changed by `edit`.
FileImage image_with_entry(const std::function<void(RawEntry &)> &edit) {
    FileImage image;
    image.set_names({"a", "b"});
    const Bytes data = rux_test::pattern(24, 7);
    RawEntry entry = image.add_chunk(0, 0, RUX_TYPE_FLOAT, 2, 3, data.data());
    edit(entry);
    image.set_entry(0, entry);
    return image;
}

TEST(MakeVersion, PacksMajorAndMinorIn32Bits) {
    EXPECT_EQ(rux_make_version(2, 1), 0x20001u);
    EXPECT_EQ(rux_make_version(0, 3), 0x3u);
    EXPECT_EQ(rux_make_version(0, 65536), 0x10000u);
    EXPECT_EQ(rux_make_version(2, 0x10001), 0x30001u);
    EXPECT_EQ(rux_make_version(0x10001, 0), 0x10000u);
}

TEST_F(OpenTest, CreateWritesTheLayoutOfANewFile) {
    const std::string path = dir_.path("new.rux");
    ASSERT_EQ(rux_create(path.c_str(), "app", "schema", 0x30004), RUX_SUCCESS);
    const Bytes file = rux_test::read_file(path);
    ASSERT_EQ(file.size(), 5376u);
    rux_test::RawHeader expected;
    expected.application = "app";
    expected.schema = "schema";
    expected.schema_version = 0x30004;
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 256), rux_test::encode_header(expected));
    EXPECT_TRUE(std::all_of(file.begin() + 256, file.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(OpenTest, CreateCutsLongStringsTo63Bytes) {
    const std::string path = dir_.path("long.rux");
    const std::string application(100, 'p'), schema(64, 's');
    ASSERT_EQ(rux_create(path.c_str(), application.c_str(), schema.c_str(), 1), RUX_SUCCESS);
    const Bytes file = rux_test::read_file(path);
    EXPECT_EQ(Bytes(file.begin() + 48, file.begin() + 112), [] {
        Bytes b(64, 'p');
        b[63] = 0;
        return b;
    }());
    EXPECT_EQ(Bytes(file.begin() + 112, file.begin() + 176), [] {
        Bytes b(64, 's');
        b[63] = 0;
        return b;
    }());
}

// Metadata that fills its 64 bytes without a NUL (as a crafted header holds
// it) is read no further than those bytes; the heap arrays let the sanitizer
// build catch any read past them.
TEST_F(OpenTest, FormatReadsNoFurtherThan64BytesOfMetadata) {
    std::unique_ptr<char[]> application(new char[64]), schema(new char[64]);
    std::memset(application.get(), 'A', 64);
    std::memset(schema.get(), 'S', 64);
    const int fd = ::open(dir_.path("fmt.rux").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(rux_format_new_file(fd, application.get(), schema.get(), 7), RUX_SUCCESS);
    ::close(fd);
    const rux_test::RawHeader header =
        rux_test::decode_header(rux_test::read_file(dir_.path("fmt.rux")));
    EXPECT_EQ(header.application, std::string(63, 'A'));
    EXPECT_EQ(header.schema, std::string(63, 'S'));
}

TEST_F(OpenTest, FreshHandleState) {
    ASSERT_EQ(rux_test::create_open(&handle_, dir_.path("fresh.rux")), RUX_SUCCESS);
    EXPECT_EQ(handle_.cur_frame, 0u);
    EXPECT_EQ(handle_.file_index.size, 0u);
    EXPECT_EQ(handle_.file_index.reserved, 128u);
    EXPECT_EQ(handle_.file_size, 5376);
    EXPECT_EQ(handle_.file_names.count, 0u);
    EXPECT_EQ(handle_.file_names.bytes.size, 0u);
    EXPECT_EQ(handle_.file_names.bytes.reserved, 1024u);
    EXPECT_EQ(handle_.frame_index.reserved, 16u);
    EXPECT_EQ(handle_.buffer_index.reserved, 16u);
    EXPECT_EQ(handle_.write_buffer.reserved, 1024u);
    EXPECT_EQ(handle_.frame_names.bytes.reserved, 64u);
    EXPECT_EQ(handle_.pending_index_entries, 0u);
    EXPECT_EQ(handle_.maximum_write_buffer_size, 67108864u);
    EXPECT_EQ(handle_.index_entries_to_buffer, 262144u);
    EXPECT_EQ(handle_.write_error, 0);
    EXPECT_EQ(handle_.header.rux_version, 0x20001u);
    EXPECT_STREQ(handle_.header.application, rux_test::kApplication);
    EXPECT_EQ(handle_.header.schema_version, rux_test::kSchemaVersion);
    close_handle();
}

TEST_F(OpenTest, ReadOnlyHandleHasNoWriteSideContainers) {
    ASSERT_EQ(rux_create(dir_.path("ro.rux").c_str(), "a", "s", 1), RUX_SUCCESS);
    ASSERT_EQ(rux_open(&handle_, dir_.path("ro.rux").c_str(), RUX_OPEN_READONLY), RUX_SUCCESS);
    EXPECT_EQ(handle_.frame_index.data, nullptr);
    EXPECT_EQ(handle_.buffer_index.data, nullptr);
    EXPECT_EQ(handle_.write_buffer.data, nullptr);
    EXPECT_EQ(handle_.frame_names.bytes.data, nullptr);
    EXPECT_EQ(handle_.maximum_write_buffer_size, 67108864u);
    close_handle();
}

TEST_F(OpenTest, CreateEmptiesAnExistingFile) {
    const std::string path = dir_.path("existing.rux");
    rux_test::write_file(path, Bytes(10000, 0xAB));
    ASSERT_EQ(rux_create(path.c_str(), "a", "s", 1), RUX_SUCCESS);
    EXPECT_EQ(rux_test::file_length(path), 5376u);
}

TEST_F(OpenTest, CreateAndOpenReadOnlyTouchesNothing) {
    RecordingSys sys;
    EXPECT_EQ(rux_test::create_open(&handle_, dir_.path("ro.rux"), RUX_OPEN_READONLY),
              RUX_ERROR_FILE_MUST_BE_WRITABLE);
    EXPECT_FALSE(rux_test::file_exists(dir_.path("ro.rux")));
    EXPECT_TRUE(sys.records().empty());
}

TEST_F(OpenTest, ExclusiveCreateOfAnExistingFileKeepsItAndSetsEexist) {
    const std::string path = dir_.path("keep.rux");
    const Bytes contents(777, 0x5A);
    rux_test::write_file(path, contents);
    EXPECT_EQ(rux_create_and_open(&handle_, path.c_str(), "a", "s", 1, RUX_OPEN_READWRITE, 1),
              RUX_ERROR_IO);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(rux_test::read_file(path), contents);
    ASSERT_EQ(rux_create_and_open(&handle_, dir_.path("other.rux").c_str(), "a", "s", 1,
                                  RUX_OPEN_APPEND, 1),
              RUX_SUCCESS);
    close_handle();
}

TEST_F(OpenTest, MissingFilesSetEnoent) {
    EXPECT_EQ(rux_open(&handle_, dir_.path("missing.rux").c_str(), RUX_OPEN_READONLY),
              RUX_ERROR_IO);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(rux_open(&handle_, dir_.path("missing.rux").c_str(), RUX_OPEN_READWRITE),
              RUX_ERROR_IO);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(rux_create(dir_.path("no/dir.rux").c_str(), "a", "s", 1), RUX_ERROR_IO);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(rux_test::create_open(&handle_, dir_.path("no/dir.rux")), RUX_ERROR_IO);
    EXPECT_EQ(errno, ENOENT);
}

// Flags other than the three are refused before any file is opened, and no
// descriptor is touched.
TEST_F(OpenTest, UnknownOpenFlagsAreRefusedUntouched) {
    const std::string path = dir_.path("flags.rux");
    ASSERT_EQ(rux_create(path.c_str(), "a", "s", 1), RUX_SUCCESS);
    const Bytes before = rux_test::read_file(path);
    const rux_open_flag unknown = static_cast<rux_open_flag>(0);
    RecordingSys sys;
    EXPECT_EQ(rux_open(&handle_, path.c_str(), unknown), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_test::create_open(&handle_, path, unknown), RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(rux_test::create_open(&handle_, dir_.path("never.rux"), unknown),
              RUX_ERROR_INVALID_ARGUMENT);
    EXPECT_TRUE(sys.touched_only_opened_descriptors());
    EXPECT_EQ(sys.count(Call::open), sys.count(Call::close));
    EXPECT_EQ(sys.count(Call::pwrite) + sys.count(Call::ftruncate), 0);
    EXPECT_EQ(rux_test::read_file(path), before);
    EXPECT_FALSE(rux_test::file_exists(dir_.path("never.rux")));
}

struct BadHeaderCase {
    const char *what;
    Bytes file;
    int expected;
};
void PrintTo(const BadHeaderCase &c, std::ostream *out) {
    *out << c.what;
}

class OpenBadHeader : public OpenTest, public testing::WithParamInterface<BadHeaderCase> {};

TEST_P(OpenBadHeader, IsRefused) {
    rux_test::write_file(dir_.path("bad.rux"), GetParam().file);
    for (rux_open_flag flags : {RUX_OPEN_READONLY, RUX_OPEN_READWRITE}) {
        EXPECT_EQ(rux_open(&handle_, dir_.path("bad.rux").c_str(), flags), GetParam().expected);
    }
    EXPECT_EQ(rux_test::read_file(dir_.path("bad.rux")), GetParam().file);
}

Bytes truncated_new_file(size_t length) {
    Bytes file = FileImage().image();
    file.resize(length);
    return file;
}

Bytes with_byte(size_t offset, uint8_t value) {
    Bytes file = FileImage().image();
    file[offset] = value;
    return file;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenBadHeader,
    testing::Values(BadHeaderCase{"empty", Bytes(), RUX_ERROR_NOT_A_RUX_FILE},
                    BadHeaderCase{"one byte", truncated_new_file(1), RUX_ERROR_NOT_A_RUX_FILE},
                    BadHeaderCase{"255 bytes", truncated_new_file(255), RUX_ERROR_NOT_A_RUX_FILE},
                    BadHeaderCase{"zero magic", Bytes(256, 0), RUX_ERROR_NOT_A_RUX_FILE},
                    BadHeaderCase{"magic byte 0", with_byte(0, 0xDE), RUX_ERROR_NOT_A_RUX_FILE},
                    BadHeaderCase{"magic byte 7", with_byte(7, 0x66), RUX_ERROR_NOT_A_RUX_FILE}));

struct VersionCase {
    uint32_t version;
    int expected;
};

class OpenVersion : public OpenTest, public testing::WithParamInterface<VersionCase> {};

TEST_P(OpenVersion, BoundariesOfTheAcceptedRange) {
    FileImage image(GetParam().version);
    EXPECT_EQ(open_image(image), GetParam().expected);
    if (GetParam().expected == RUX_SUCCESS) {
        EXPECT_EQ(handle_.header.rux_version, GetParam().version);
        close_handle();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, OpenVersion,
    testing::Values(VersionCase{0x0, RUX_ERROR_INVALID_RUX_FILE_VERSION},
                    VersionCase{0x2, RUX_ERROR_INVALID_RUX_FILE_VERSION},
                    VersionCase{0x3, RUX_SUCCESS},
                    VersionCase{0x4, RUX_ERROR_INVALID_RUX_FILE_VERSION},
                    VersionCase{0xFFFF, RUX_ERROR_INVALID_RUX_FILE_VERSION},
                    VersionCase{0x10000, RUX_SUCCESS}, VersionCase{0x1FFFF, RUX_SUCCESS},
                    VersionCase{0x20000, RUX_SUCCESS}, VersionCase{0x20001, RUX_SUCCESS},
                    VersionCase{0x2FFFF, RUX_SUCCESS},
                    VersionCase{0x30000, RUX_ERROR_INVALID_RUX_FILE_VERSION},
                    VersionCase{0xFFFFFFFF, RUX_ERROR_INVALID_RUX_FILE_VERSION}),
    [](const testing::TestParamInfo<VersionCase> &info) {
        char name[16];
        std::snprintf(name, sizeof name, "v%X", info.param.version);
        return std::string(name);
    });

struct CorruptCase {
    const char *what;
    std::function<FileImage()> craft;
    int expected;
};
void PrintTo(const CorruptCase &c, std::ostream *out) {
    *out << c.what;
}

class OpenCorrupt : public OpenTest, public testing::WithParamInterface<CorruptCase> {};

TEST_P(OpenCorrupt, IsRefusedWithItsCode) {
    EXPECT_EQ(open_image(GetParam().craft()), GetParam().expected);
    EXPECT_EQ(rux_open(&handle_, dir_.path("crafted.rux").c_str(), RUX_OPEN_READWRITE),
              GetParam().expected);
}

FileImage with_header(const std::function<void(rux_test::RawHeader &)> &edit) {
    FileImage image = image_with_entry([](RawEntry &) {});
    edit(image.header);
    return image;
}

const CorruptCase kCorruptCases[] = {
    {"namelist one unit past the end",
     [] { return with_header([](auto &h) { h.namelist_units = 17; }); }, RUX_ERROR_FILE_CORRUPT},
    {"namelist location past the end",
     [] { return with_header([](auto &h) { h.namelist_location = 1u << 20; }); },
     RUX_ERROR_FILE_CORRUPT},
    {"namelist location wraps",
     [] { return with_header([](auto &h) { h.namelist_location = UINT64_MAX - 63; }); },
     RUX_ERROR_FILE_CORRUPT},
    {"namelist size wraps to 0",
     [] { return with_header([](auto &h) { h.namelist_units = uint64_t{1} << 58; }); },
     RUX_ERROR_FILE_CORRUPT},
    {"namelist size wraps to 64",
     [] { return with_header([](auto &h) { h.namelist_units = (uint64_t{1} << 58) + 1; }); },
     RUX_ERROR_FILE_CORRUPT},
    {"namelist of 0 units", [] { return with_header([](auto &h) { h.namelist_units = 0; }); },
     RUX_ERROR_INVALID_ARGUMENT},
    {"namelist last byte not 0",
     [] {
         FileImage image = image_with_entry([](RawEntry &) {});
         image.bytes[4352 + 1023] = 'z';
         return image;
     },
     RUX_ERROR_FILE_CORRUPT},
    {"index block past the end", [] { return with_header([](auto &h) { h.index_entries = 200; }); },
     RUX_ERROR_FILE_CORRUPT},
    {"index location past the end",
     [] { return with_header([](auto &h) { h.index_location = 1u << 20; }); },
     RUX_ERROR_FILE_CORRUPT},
    {"index block one byte past the end",
     [] {
         FileImage image = image_with_entry([](RawEntry &) {});
         image.header.index_location = image.bytes.size() - 4096 + 1;
         return image;
     },
     RUX_ERROR_FILE_CORRUPT},
    {"index location wraps",
     [] { return with_header([](auto &h) { h.index_location = UINT64_MAX - 31; }); },
     RUX_ERROR_FILE_CORRUPT},
    {"index size wraps to 0",
     [] { return with_header([](auto &h) { h.index_entries = uint64_t{1} << 59; }); },
     RUX_ERROR_FILE_CORRUPT},
    {"index size wraps to one entry",
     [] { return with_header([](auto &h) { h.index_entries = (uint64_t{1} << 59) + 1; }); },
     RUX_ERROR_FILE_CORRUPT},
    {"entry flags 1", [] { return image_with_entry([](RawEntry &e) { e.flags = 1; }); },
     RUX_ERROR_FILE_CORRUPT},
    {"entry type 0", [] { return image_with_entry([](RawEntry &e) { e.type = 0; }); },
     RUX_ERROR_FILE_CORRUPT},
    {"entry type 12", [] { return image_with_entry([](RawEntry &e) { e.type = 12; }); },
     RUX_ERROR_FILE_CORRUPT},
    {"entry data one byte past the end",
     [] { return image_with_entry([](RawEntry &e) { e.location += 1; }); }, RUX_ERROR_FILE_CORRUPT},
    {"entry negative location",
     [] { return image_with_entry([](RawEntry &e) { e.location = -8; }); }, RUX_ERROR_FILE_CORRUPT},
    {"entry frame = index capacity",
     [] { return image_with_entry([](RawEntry &e) { e.frame = 128; }); }, RUX_ERROR_FILE_CORRUPT},
    {"entry frame 200 after 200 empty frames",
     [] { return image_with_entry([](RawEntry &e) { e.frame = 200; }); }, RUX_ERROR_FILE_CORRUPT},
    {"entry id of no name", [] { return image_with_entry([](RawEntry &e) { e.id = 2; }); },
     RUX_ERROR_FILE_CORRUPT},
    {"entry size N x M x 4 wraps to 0",
     [] {
         return image_with_entry([](RawEntry &e) {
             e.N = uint64_t{1} << 62;
             e.M = 1;
         });
     },
     RUX_ERROR_FILE_CORRUPT},
    {"entry size N x M wraps to 24",
     [] {
         return image_with_entry([](RawEntry &e) {
             e.N = (uint64_t{1} << 63) + 3;
             e.M = 2;
         });
     },
     RUX_ERROR_FILE_CORRUPT},
    {"entry location + size wraps",
     [] {
         return image_with_entry([](RawEntry &e) {
             e.location = INT64_MAX;
             e.type = RUX_TYPE_UINT8;
             e.N = (uint64_t{1} << 63) + 2;
             e.M = 1;
         });
     },
     RUX_ERROR_FILE_CORRUPT},
    {"probed entry 64 has a smaller frame than entry 0",
     [] {
         FileImage image;
         image.set_names({"a"});
         uint8_t byte = 1;
         image.add_chunk(3, 0, RUX_TYPE_UINT8, 1, 1, &byte);
         for (int i = 1; i <= 64; ++i) {
             image.add_chunk(2, 0, RUX_TYPE_UINT8, 1, 1, &byte);
         }
         return image;
     },
     RUX_ERROR_FILE_CORRUPT},
};

INSTANTIATE_TEST_SUITE_P(Cases, OpenCorrupt, testing::ValuesIn(kCorruptCases));

TEST_F(OpenTest, UnusedFirstEntryMeansNoChunksWhateverFollows) {
    FileImage image = image_with_entry([](RawEntry &) {});
    RawEntry garbage;
    garbage.type = 99;
    garbage.location = -1;
    garbage.frame = 1000;
    image.set_entry(0, RawEntry{});
    image.set_entry(1, garbage);
    image.set_entry(64, garbage);
    ASSERT_EQ(open_image(image), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&handle_), 0u);
    EXPECT_EQ(handle_.file_index.size, 0u);
    EXPECT_EQ(rux_find_chunk(&handle_, 0, "a"), nullptr);
    close_handle();
}

TEST_F(OpenTest, FrameCountFollowsTheLastEntry) {
    FileImage image;
    image.set_names({"a"});
    uint8_t byte = 1;
    image.add_chunk(4, 0, RUX_TYPE_UINT8, 1, 1, &byte);
    ASSERT_EQ(open_image(image), RUX_SUCCESS);
    EXPECT_EQ(rux_get_nframes(&handle_), 5u);
    EXPECT_NE(rux_find_chunk(&handle_, 4, "a"), nullptr);
    EXPECT_EQ(rux_find_chunk(&handle_, 3, "a"), nullptr);
    close_handle();
}

struct NamelistCase {
    const char *what;
    uint32_t version;
    std::function<void(FileImage &)> craft;
    std::vector<std::string> ids;     // the names that get ids, in id order
    std::vector<std::string> listed;  // what the empty prefix lists
};
void PrintTo(const NamelistCase &c, std::ostream *out) {
    *out << c.what;
}

class OpenNamelist : public OpenTest, public testing::WithParamInterface<NamelistCase> {};

// Every name with an id resolves to it (a chunk per id is findable), and no
// further id is valid.
TEST_P(OpenNamelist, ParsesNamesAndIds) {
    const NamelistCase &c = GetParam();
    FileImage image(c.version);
    c.craft(image);
    const uint16_t count = static_cast<uint16_t>(c.ids.size());
    for (uint16_t id = 0; id < count; ++id) {
        image.add_chunk(0, id, RUX_TYPE_UINT16, 1, 1, &id);
    }
    ASSERT_EQ(open_image(image), RUX_SUCCESS);
    EXPECT_EQ(handle_.file_names.count, c.ids.size());
    for (uint16_t id = 0; id < count; ++id) {
        Bytes back;
        ASSERT_TRUE(rux_test::read_back(&handle_, 0, c.ids[id], &back)) << c.ids[id];
        EXPECT_EQ(rux_test::get_le(back, 0, 2), id) << c.ids[id];
    }
    EXPECT_EQ(rux_test::matching_names(&handle_, ""), c.listed);
    close_handle();
    uint16_t byte = 0;
    image.add_chunk(0, count, RUX_TYPE_UINT16, 1, 1, &byte);
    EXPECT_EQ(open_image(image), RUX_ERROR_FILE_CORRUPT) << "id " << count << " has no name";
}

std::vector<std::string> numbered(const std::string &stem, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        names.push_back(stem + std::to_string(i));
    }
    return names;
}

std::string padded(int i, char fill) {
    std::string name = std::to_string(i);
    return name + std::string(63 - name.size(), fill);
}

std::vector<std::string> sixteen_63_byte_names() {
    std::vector<std::string> names;
    for (int i = 0; i < 16; ++i) {
        names.push_back(padded(i, 'n'));
    }
    return names;
}

const NamelistCase kNamelistCases[] = {
    {"v2 names",
     0x20001,
     [](FileImage &f) {
         f.set_names({"pos", "vel", "box"});
     },
     {"pos", "vel", "box"},
     {"pos", "vel", "box"}},
    {"v1 names",
     0x10000,
     [](FileImage &f) {
         f.set_names({"pos", "vel", "box"});
     },
     {"pos", "vel", "box"},
     {"pos", "vel", "box"}},
    {"v1 every slot used", 0x10000, [](FileImage &f) { f.set_names(numbered("slot", 16)); },
     numbered("slot", 16), numbered("slot", 16)},
    {"v1 63-byte names in every slot", 0x3,
     [](FileImage &f) { f.set_names(sixteen_63_byte_names()); }, sixteen_63_byte_names(),
     sixteen_63_byte_names()},
    {"v2 names up to the last byte", 0x20000,
     [](FileImage &f) { f.set_names(sixteen_63_byte_names()); }, sixteen_63_byte_names(),
     sixteen_63_byte_names()},
    {"v1 bytes after a NUL are ignored",
     0x10000,
     [](FileImage &f) {
         f.set_names({"x", "y"});
         std::memcpy(f.bytes.data() + 4352 + 2, "garbage", 7);
         std::memset(f.bytes.data() + 4352 + 64 + 2, 'g', 62);
     },
     {"x", "y"},
     {"x", "y"}},
    {"v1 hole ends the list",
     0x10000,
     [](FileImage &f) {
         f.set_names({"x", "", "y"});
     },
     {"x"},
     {"x", "y"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, OpenNamelist, testing::ValuesIn(kNamelistCases));

TEST_F(OpenTest, DuplicateNameKeepsItsFirstId) {
    FileImage image;
    image.set_names({"a", "b", "a"});
    uint8_t zero = 0, two = 2;
    image.add_chunk(0, 0, RUX_TYPE_UINT8, 1, 1, &zero);
    image.add_chunk(0, 2, RUX_TYPE_UINT8, 1, 1, &two);
    ASSERT_EQ(open_image(image), RUX_SUCCESS);
    EXPECT_EQ(handle_.file_names.count, 3u);
    Bytes back;
    ASSERT_TRUE(rux_test::read_back(&handle_, 0, "a", &back));
    EXPECT_EQ(back, Bytes{0});
    close_handle();
}

struct RewriteCase {
    uint32_t version;
    rux_open_flag flags;
    uint32_t stored;
};

void PrintTo(const RewriteCase &c, std::ostream *out) {
    *out << std::hex << c.version << " flags " << c.flags;
}

class OpenVersionRewrite : public OpenTest, public testing::WithParamInterface<RewriteCase> {};

TEST_P(OpenVersionRewrite, WritableOpenOfMinor0Or1StoresVersion21) {
    FileImage image(GetParam().version);
    ASSERT_EQ(open_image(image, GetParam().flags), RUX_SUCCESS);
    const uint32_t on_disk =
        rux_test::decode_header(rux_test::read_file(dir_.path("crafted.rux"))).version;
    EXPECT_EQ(on_disk, GetParam().stored);
    EXPECT_EQ(handle_.header.rux_version, GetParam().stored);
    close_handle();
}

INSTANTIATE_TEST_SUITE_P(Cases, OpenVersionRewrite,
                         testing::Values(RewriteCase{0x20000, RUX_OPEN_READWRITE, 0x20001},
                                         RewriteCase{0x20000, RUX_OPEN_APPEND, 0x20001},
                                         RewriteCase{0x20000, RUX_OPEN_READONLY, 0x20000},
                                         RewriteCase{0x20001, RUX_OPEN_READWRITE, 0x20001},
                                         RewriteCase{0x20002, RUX_OPEN_READWRITE, 0x20002},
                                         RewriteCase{0x10000, RUX_OPEN_READWRITE, 0x10000},
                                         RewriteCase{0x3, RUX_OPEN_APPEND, 0x3}));

// A failed open closes the descriptor that it opened exactly once and frees
// every allocation and mapping that it made.
void expect_clean_failure(const RecordingSys &sys, int result, int expected) {
    EXPECT_EQ(result, expected);
    const std::set<int> fds = sys.opened_descriptors();
    ASSERT_EQ(fds.size(), 1u);
    const int fd = *fds.begin();
    EXPECT_EQ(sys.count(Call::close, fd), 1);
    EXPECT_EQ(sys.count(Call::close), 1);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_TRUE(sys.touched_only_opened_descriptors());
    EXPECT_EQ(sys.live_allocations(), 0u);
    EXPECT_EQ(sys.live_mappings(), 0u);
}

TEST_P(OpenCorrupt, FailedOpenReleasesEverythingAndClosesOnce) {
    const std::string path = save(GetParam().craft());
    for (rux_open_flag flags : {RUX_OPEN_READONLY, RUX_OPEN_READWRITE}) {
        RecordingSys sys;
        expect_clean_failure(sys, rux_open(&handle_, path.c_str(), flags), GetParam().expected);
    }
}

struct InjectedCase {
    const char *what;
    Call kind;
    int nth;
    int expected;
};
void PrintTo(const InjectedCase &c, std::ostream *out) {
    *out << c.what;
}

class OpenInjected : public OpenTest, public testing::WithParamInterface<InjectedCase> {};

TEST_P(OpenInjected, FailedOpenReleasesEverythingAndClosesOnce) {
    const std::string path = save(FileImage(0x20000));
    RecordingSys sys;
    sys.fail(GetParam().kind, GetParam().nth, EIO);
    const int result = rux_open(&handle_, path.c_str(), RUX_OPEN_READWRITE);
    const int saved_errno = errno;
    expect_clean_failure(sys, result, GetParam().expected);
    EXPECT_EQ(saved_errno, EIO);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenInjected,
    testing::Values(InjectedCase{"header read", Call::pread, 1, RUX_ERROR_IO},
                    InjectedCase{"namelist read", Call::pread, 2, RUX_ERROR_IO},
                    InjectedCase{"file length", Call::lseek, 1, RUX_ERROR_IO},
                    InjectedCase{"index mapping", Call::mmap, 2, RUX_ERROR_IO},
                    InjectedCase{"header write-back", Call::pwrite, 1, RUX_ERROR_IO}));

TEST_F(OpenTest, ShortNamelistReadIsAnIoError) {
    const std::string path = save(FileImage());
    RecordingSys sys;
    sys.shorten(Call::pread, 2, 100);
    sys.stall(Call::pread, 3, 0);
    expect_clean_failure(sys, rux_open(&handle_, path.c_str(), RUX_OPEN_READONLY), RUX_ERROR_IO);
}

// Every allocation of a writable open, failed in turn.
TEST_F(OpenTest, EachFailedAllocationReleasesEverythingAndClosesOnce) {
    FileImage image = image_with_entry([](RawEntry &) {});
    const std::string path = save(image);
    for (int nth = 1;; ++nth) {
        RecordingSys sys;
        sys.fail(Call::alloc, nth, ENOMEM);
        const int result = rux_open(&handle_, path.c_str(), RUX_OPEN_READWRITE);
        if (result == RUX_SUCCESS) {
            // The name map, the namelist, two names and four write-side containers.
            EXPECT_GE(nth, 9) << "fewer allocations failed than a writable open makes";
            EXPECT_EQ(rux_close(&handle_), RUX_SUCCESS);
            break;
        }
        SCOPED_TRACE("allocation " + std::to_string(nth));
        expect_clean_failure(sys, result, RUX_ERROR_MEMORY_ALLOCATION_FAILED);
    }
}

struct CreateFailureCase {
    const char *what;
    Call kind;
    int nth;
};
void PrintTo(const CreateFailureCase &c, std::ostream *out) {
    *out << c.what;
}

class CreateInjected : public OpenTest, public testing::WithParamInterface<CreateFailureCase> {};

TEST_P(CreateInjected, FailedFormatIsAnIoErrorAndClosesOnce) {
    {
        RecordingSys sys;
        sys.fail(GetParam().kind, GetParam().nth, ENOSPC);
        const int result = rux_test::create_open(&handle_, dir_.path("c.rux"));
        const int saved_errno = errno;
        expect_clean_failure(sys, result, RUX_ERROR_IO);
        EXPECT_EQ(saved_errno, ENOSPC);
    }
    RecordingSys sys;
    sys.fail(GetParam().kind, GetParam().nth, ENOSPC);
    EXPECT_EQ(rux_create(dir_.path("d.rux").c_str(), "a", "s", 1), RUX_ERROR_IO);
    EXPECT_EQ(sys.count(Call::close), 1);
    EXPECT_EQ(sys.live_allocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, CreateInjected,
                         testing::Values(CreateFailureCase{"truncate", Call::ftruncate, 1},
                                         CreateFailureCase{"header write", Call::pwrite, 1},
                                         CreateFailureCase{"index write", Call::pwrite, 2},
                                         CreateFailureCase{"namelist write", Call::pwrite, 3},
                                         CreateFailureCase{"fsync", Call::fsync, 1}));

TEST_F(OpenTest, CreateWritesInOrderAndStopsAtTheFirstFailure) {
    {
        RecordingSys sys;
        ASSERT_EQ(rux_create(dir_.path("order.rux").c_str(), "a", "s", 1), RUX_SUCCESS);
        const int fd = sys.records().front().fd;
        const std::vector<rux_test::CallRecord> expected = {{Call::ftruncate, fd, 0, 0},
                                                            {Call::pwrite, fd, 0, 256},
                                                            {Call::pwrite, fd, 256, 4096},
                                                            {Call::pwrite, fd, 4352, 1024},
                                                            {Call::fsync, fd, 0, 0}};
        std::vector<rux_test::CallRecord> on_file;
        for (const rux_test::CallRecord &record : sys.writes()) {
            if (record.fd == fd) {
                on_file.push_back(record);
            }
        }
        EXPECT_EQ(on_file, expected);
    }
    RecordingSys sys;
    sys.fail(Call::pwrite, 2, EIO);
    EXPECT_EQ(rux_create(dir_.path("order2.rux").c_str(), "a", "s", 1), RUX_ERROR_IO);
    EXPECT_EQ(sys.count(Call::pwrite), 2);
    EXPECT_EQ(sys.count(Call::fsync), 0);
}

}  // namespace
