// Raw files, byte by byte: headers, index entries and namelists of both
// layouts, and whole file images, written with explicit little-endian stores
// at the format's offsets (independent of the library's structs). Also the
// reverse: parsing a file image and checking every rule a file must keep.
#ifndef RUX_TEST_FILE_CRAFTER_H
#define RUX_TEST_FILE_CRAFTER_H

#include <cstdint>
#include <string>
#include <vector>

namespace rux_test {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kMagic = 0x65DF65DF65DF65DFull;
constexpr uint32_t kVersion03 = 0x3;
constexpr uint32_t kVersion10 = 0x10000;
constexpr uint32_t kVersion20 = 0x20000;
constexpr uint32_t kVersion21 = 0x20001;
constexpr uint64_t kNewFileSize = 5376;

inline bool is_v2_layout(uint32_t version) {
    return version >= kVersion20;
}
// Element size of a type code; 0 for codes that are not types.
uint64_t type_size(uint8_t type);

void put_le(Bytes &bytes, uint64_t offset, uint64_t value, int width);
uint64_t get_le(const Bytes &bytes, uint64_t offset, int width);

struct RawHeader {
    uint64_t magic = kMagic;
    uint64_t index_location = 256;
    uint64_t index_entries = 128;
    uint64_t namelist_location = 4352;
    uint64_t namelist_units = 16;
    uint32_t schema_version = 0x10000;
    uint32_t version = kVersion21;
    // Copied as raw bytes, at most 64; shorter strings are zero-padded.
    std::string application = "crafter";
    std::string schema = "schema";
};

struct RawEntry {
    uint64_t frame = 0;
    uint64_t N = 0;
    int64_t location = 0;
    uint32_t M = 0;
    uint16_t id = 0;
    uint8_t type = 0;
    uint8_t flags = 0;

    bool operator==(const RawEntry &o) const {
        return frame == o.frame && N == o.N && location == o.location && M == o.M && id == o.id &&
               type == o.type && flags == o.flags;
    }
};
void PrintTo(const RawEntry &entry, std::ostream *out);

Bytes encode_header(const RawHeader &header);
RawHeader decode_header(const Bytes &file);
Bytes encode_entry(const RawEntry &entry);
RawEntry decode_entry(const Bytes &file, uint64_t offset);

// A namelist block of units x 64 bytes in the layout of the version. In the
// version 1 layout each name takes one slot and "" leaves a slot empty.
Bytes encode_namelist(uint32_t version, const std::vector<std::string> &names, uint64_t units);
// The names up to the list's end, as a reader of the layout sees them.
std::vector<std::string> decode_namelist(uint32_t version, const uint8_t *block, uint64_t size);

// A whole file, starting from the layout of a new file (header, 128 zero
// index entries at 256, 16 zero namelist units at 4352), version as given.
class FileImage {
  public:
    explicit FileImage(uint32_t version = kVersion21);

    RawHeader header;
    Bytes bytes;  // header bytes are encoded by image()

    // Encodes the names into the namelist block where the header puts it.
    void set_names(const std::vector<std::string> &names);
    uint64_t append(const void *data, uint64_t size);
    void set_entry(uint64_t position, const RawEntry &entry);
    // Appends the data and puts the entry at the next position.
    RawEntry add_chunk(uint64_t frame, uint16_t id, uint8_t type, uint64_t N, uint32_t M,
                       const void *data);
    Bytes image() const;
    void save(const std::string &path) const;

  private:
    uint64_t next_entry_ = 0;
};

// The commit record in the header's reserved bytes (offset 176), sealed with
// its FNV-1a checksum as computed here, independently of the library.
constexpr uint64_t kCommitTag = 0x54494D4F43585552ull;  // "RUXCOMIT"
constexpr uint64_t kCommitAt = 176;
struct RawCommitRecord {
    uint64_t tag = kCommitTag;
    uint64_t entries = 0;
    uint32_t names = 0;
    uint32_t flags = 1;  // the writer bit
};
void put_commit_record(Bytes &file, const RawCommitRecord &record);
// Recomputes the record's checksum over the header as it now is.
void seal_commit_record(Bytes &file);

struct ParsedFile {
    RawHeader header;
    std::vector<std::string> names;
    std::vector<RawEntry> entries;  // the used prefix of the index block
};
ParsedFile parse_file(const Bytes &file);

// Every rule of a well-formed file, every used entry checked (not only those
// a reader probes). Empty when the file keeps them all, else the first break.
std::string check_well_formed(const Bytes &file);

}  // namespace rux_test

#endif
