#include "file_crafter.h"

#include <algorithm>
#include <cstring>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "temp_dir.h"

namespace rux_test {

namespace {

constexpr uint64_t kHeaderSize = 256;
constexpr uint64_t kEntrySize = 32;
constexpr uint64_t kUnit = 64;

void put_text(Bytes &bytes, uint64_t offset, const std::string &text) {
    if (text.size() > 64) {
        throw std::invalid_argument("header text longer than 64 bytes");
    }
    std::memset(bytes.data() + offset, 0, 64);
    std::memcpy(bytes.data() + offset, text.data(), text.size());
}

std::string get_text(const Bytes &bytes, uint64_t offset) {
    const char *start = reinterpret_cast<const char *>(bytes.data() + offset);
    return std::string(start, strnlen(start, 64));
}

// location + N x M x size within size_of_file, without wrapping.
bool data_fits(const RawEntry &e, uint64_t size_of_file) {
    uint64_t rows_by_columns, byte_count, end;
    return !__builtin_mul_overflow(e.N, static_cast<uint64_t>(e.M), &rows_by_columns) &&
           !__builtin_mul_overflow(rows_by_columns, type_size(e.type), &byte_count) &&
           !__builtin_add_overflow(static_cast<uint64_t>(e.location), byte_count, &end) &&
           end <= size_of_file;
}

}  // namespace

uint64_t type_size(uint8_t type) {
    static const uint64_t sizes[12] = {0, 1, 2, 4, 8, 1, 2, 4, 8, 4, 8, 1};
    return type < 12 ? sizes[type] : 0;
}

void put_le(Bytes &bytes, uint64_t offset, uint64_t value, int width) {
    if (offset + static_cast<uint64_t>(width) > bytes.size()) {
        throw std::out_of_range("put_le past the image");
    }
    for (int i = 0; i < width; ++i) {
        bytes[offset + static_cast<uint64_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint64_t get_le(const Bytes &bytes, uint64_t offset, int width) {
    if (offset + static_cast<uint64_t>(width) > bytes.size()) {
        throw std::out_of_range("get_le past the image");
    }
    uint64_t value = 0;
    for (int i = 0; i < width; ++i) {
        value |= static_cast<uint64_t>(bytes[offset + static_cast<uint64_t>(i)]) << (8 * i);
    }
    return value;
}

void PrintTo(const RawEntry &e, std::ostream *out) {
    *out << "{frame " << e.frame << ", id " << e.id << ", type " << int(e.type) << ", N " << e.N
         << ", M " << e.M << ", location " << e.location << ", flags " << int(e.flags) << "}";
}

Bytes encode_header(const RawHeader &h) {
    Bytes bytes(kHeaderSize, 0);
    put_le(bytes, 0, h.magic, 8);
    put_le(bytes, 8, h.index_location, 8);
    put_le(bytes, 16, h.index_entries, 8);
    put_le(bytes, 24, h.namelist_location, 8);
    put_le(bytes, 32, h.namelist_units, 8);
    put_le(bytes, 40, h.schema_version, 4);
    put_le(bytes, 44, h.version, 4);
    put_text(bytes, 48, h.application);
    put_text(bytes, 112, h.schema);
    return bytes;
}

RawHeader decode_header(const Bytes &file) {
    RawHeader h;
    h.magic = get_le(file, 0, 8);
    h.index_location = get_le(file, 8, 8);
    h.index_entries = get_le(file, 16, 8);
    h.namelist_location = get_le(file, 24, 8);
    h.namelist_units = get_le(file, 32, 8);
    h.schema_version = static_cast<uint32_t>(get_le(file, 40, 4));
    h.version = static_cast<uint32_t>(get_le(file, 44, 4));
    h.application = get_text(file, 48);
    h.schema = get_text(file, 112);
    return h;
}

Bytes encode_entry(const RawEntry &e) {
    Bytes bytes(kEntrySize, 0);
    put_le(bytes, 0, e.frame, 8);
    put_le(bytes, 8, e.N, 8);
    put_le(bytes, 16, static_cast<uint64_t>(e.location), 8);
    put_le(bytes, 24, e.M, 4);
    put_le(bytes, 28, e.id, 2);
    put_le(bytes, 30, e.type, 1);
    put_le(bytes, 31, e.flags, 1);
    return bytes;
}

RawEntry decode_entry(const Bytes &file, uint64_t offset) {
    RawEntry e;
    e.frame = get_le(file, offset, 8);
    e.N = get_le(file, offset + 8, 8);
    e.location = static_cast<int64_t>(get_le(file, offset + 16, 8));
    e.M = static_cast<uint32_t>(get_le(file, offset + 24, 4));
    e.id = static_cast<uint16_t>(get_le(file, offset + 28, 2));
    e.type = static_cast<uint8_t>(get_le(file, offset + 30, 1));
    e.flags = static_cast<uint8_t>(get_le(file, offset + 31, 1));
    return e;
}

Bytes encode_namelist(uint32_t version, const std::vector<std::string> &names, uint64_t units) {
    Bytes block(units * kUnit, 0);
    uint64_t position = 0;
    for (const std::string &name : names) {
        uint64_t room = is_v2_layout(version) ? name.size() + 1 : kUnit;
        if ((!is_v2_layout(version) && name.size() > 63) || position + room > block.size()) {
            throw std::invalid_argument("names do not fit the namelist block");
        }
        std::memcpy(block.data() + position, name.data(), name.size());
        position += room;
    }
    return block;
}

std::vector<std::string> decode_namelist(uint32_t version, const uint8_t *block, uint64_t size) {
    std::vector<std::string> names;
    uint64_t position = 0;
    while (position < size && block[position] != 0) {
        const char *start = reinterpret_cast<const char *>(block + position);
        uint64_t limit = size - position;
        uint64_t length = strnlen(start, is_v2_layout(version) ? limit : std::min(limit, kUnit));
        names.emplace_back(start, length);
        position += is_v2_layout(version) ? length + 1 : kUnit;
    }
    return names;
}

FileImage::FileImage(uint32_t version) : bytes(kNewFileSize, 0) {
    header.version = version;
}

void FileImage::set_names(const std::vector<std::string> &names) {
    Bytes block = encode_namelist(header.version, names, header.namelist_units);
    if (header.namelist_location + block.size() > bytes.size()) {
        throw std::invalid_argument("namelist block lies past the image");
    }
    std::copy(block.begin(), block.end(), bytes.begin() + header.namelist_location);
}

uint64_t FileImage::append(const void *data, uint64_t size) {
    uint64_t location = bytes.size();
    const uint8_t *source = static_cast<const uint8_t *>(data);
    bytes.insert(bytes.end(), source, source + size);
    return location;
}

void FileImage::set_entry(uint64_t position, const RawEntry &entry) {
    Bytes raw = encode_entry(entry);
    uint64_t offset = header.index_location + position * kEntrySize;
    if (offset + kEntrySize > bytes.size()) {
        throw std::invalid_argument("index entry lies past the image");
    }
    std::copy(raw.begin(), raw.end(), bytes.begin() + offset);
}

RawEntry FileImage::add_chunk(uint64_t frame, uint16_t id, uint8_t type, uint64_t N, uint32_t M,
                              const void *data) {
    RawEntry entry;
    entry.frame = frame;
    entry.id = id;
    entry.type = type;
    entry.N = N;
    entry.M = M;
    entry.location = static_cast<int64_t>(append(data, N * M * type_size(type)));
    set_entry(next_entry_++, entry);
    return entry;
}

Bytes FileImage::image() const {
    Bytes file = bytes;
    Bytes raw = encode_header(header);
    std::copy(raw.begin(), raw.end(), file.begin());
    return file;
}

void FileImage::save(const std::string &path) const {
    write_file(path, image());
}

void put_commit_record(Bytes &file, const RawCommitRecord &record) {
    std::fill(file.begin() + kCommitAt, file.begin() + kHeaderSize, 0);
    put_le(file, kCommitAt, record.tag, 8);
    put_le(file, kCommitAt + 8, record.entries, 8);
    put_le(file, kCommitAt + 16, record.names, 4);
    put_le(file, kCommitAt + 20, record.flags, 4);
    seal_commit_record(file);
}

void seal_commit_record(Bytes &file) {
    constexpr uint64_t kChecksumAt = kCommitAt + 24;
    put_le(file, kChecksumAt, 0, 8);
    uint64_t hash = 0xCBF29CE484222325ull;
    for (uint64_t i = 0; i < kHeaderSize; ++i) {
        hash = (hash ^ file[i]) * 0x100000001B3ull;
    }
    put_le(file, kChecksumAt, hash, 8);
}

ParsedFile parse_file(const Bytes &file) {
    ParsedFile parsed;
    parsed.header = decode_header(file);
    const RawHeader &h = parsed.header;
    if (h.namelist_location + h.namelist_units * kUnit <= file.size()) {
        parsed.names =
            decode_namelist(h.version, file.data() + h.namelist_location, h.namelist_units * kUnit);
    }
    for (uint64_t i = 0; i < h.index_entries; ++i) {
        uint64_t offset = h.index_location + i * kEntrySize;
        if (offset + kEntrySize > file.size()) {
            break;
        }
        RawEntry entry = decode_entry(file, offset);
        if (entry.location == 0) {
            break;
        }
        parsed.entries.push_back(entry);
    }
    return parsed;
}

std::string check_well_formed(const Bytes &file) {
    std::ostringstream fault;
    if (file.size() < kHeaderSize) {
        return "shorter than a header";
    }
    ParsedFile parsed = parse_file(file);
    const RawHeader &h = parsed.header;
    if (h.magic != kMagic) {
        return "wrong magic";
    }
    if (!(h.version == kVersion03 || (h.version >= kVersion10 && h.version <= 0x2FFFF))) {
        return "version not accepted";
    }
    uint64_t namelist_end = h.namelist_location + h.namelist_units * kUnit;
    if (h.namelist_units == 0 || namelist_end > file.size() || file[namelist_end - 1] != 0) {
        return "namelist block outside the file or not terminated";
    }
    if (h.index_location + h.index_entries * kEntrySize > file.size()) {
        return "index block outside the file";
    }
    for (uint64_t i = parsed.entries.size(); i < h.index_entries; ++i) {
        uint64_t offset = h.index_location + i * kEntrySize;
        if (!std::all_of(file.begin() + offset, file.begin() + offset + kEntrySize,
                         [](uint8_t b) { return b == 0; })) {
            fault << "index entry " << i << " after the used part is not zero";
            return fault.str();
        }
    }
    for (size_t i = 0; i < parsed.entries.size(); ++i) {
        const RawEntry &e = parsed.entries[i];
        bool valid = e.type >= 1 && e.type <= 11 && e.flags == 0 && e.frame < h.index_entries &&
                     e.id < parsed.names.size() && data_fits(e, file.size());
        const RawEntry *before = i > 0 ? &parsed.entries[i - 1] : nullptr;
        bool ordered =
            before == nullptr || before->frame < e.frame ||
            (before->frame == e.frame && (!is_v2_layout(h.version) || before->id <= e.id));
        if (!valid || !ordered) {
            fault << "index entry " << i << (valid ? " out of order" : " invalid") << ": ";
            PrintTo(e, &fault);
            return fault.str();
        }
    }
    return "";
}

}  // namespace rux_test
