#include "sim/firmware/zip_patch.hpp"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>

namespace tarnvel::sim {
namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndOfDirectorySignature = 0x06054b50;
constexpr std::size_t kEndOfDirectorySize = 22;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kLocalHeaderSize = 30;

// Field offsets in a central directory header and in a local header.
struct Fields {
    std::size_t method, crc, uncompressed_size;
};
constexpr Fields kCentral{10, 16, 24};
constexpr Fields kLocal{8, 14, 22};

Error malformed(const char* what) {
    return Error::message(ErrorKind::InvalidData, std::string("not a patchable zip file: ") + what);
}

class Bytes {
  public:
    explicit Bytes(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    bool holds(std::size_t at, std::size_t length) const {
        return at <= bytes_.size() && length <= bytes_.size() - at;
    }
    std::uint32_t u16(std::size_t at) const { return bytes_[at] | (bytes_[at + 1] << 8); }
    std::uint32_t u32(std::size_t at) const {
        return u16(at) | (static_cast<std::uint32_t>(u16(at + 2)) << 16);
    }
    void put16(std::size_t at, std::uint32_t value) {
        bytes_[at] = static_cast<std::uint8_t>(value);
        bytes_[at + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    void put32(std::size_t at, std::uint32_t value) {
        put16(at, value & 0xFFFF);
        put16(at + 2, value >> 16);
    }
    std::string text(std::size_t at, std::size_t length) const {
        return std::string(bytes_.begin() + static_cast<std::ptrdiff_t>(at),
                           bytes_.begin() + static_cast<std::ptrdiff_t>(at + length));
    }
    std::size_t size() const { return bytes_.size(); }

  private:
    std::vector<std::uint8_t>& bytes_;
};

void apply(Bytes& bytes, std::size_t header, const Fields& fields, const ZipEntryPatch& patch) {
    if (patch.compression_method) bytes.put16(header + fields.method, *patch.compression_method);
    bytes.put32(header + fields.crc, bytes.u32(header + fields.crc) ^ patch.crc_xor);
    if (patch.uncompressed_size) {
        bytes.put32(header + fields.uncompressed_size, *patch.uncompressed_size);
    }
}

Result<std::vector<std::uint8_t>> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) return std::unexpected(Error::os(errno != 0 ? errno : EIO));
    return bytes;
}

Status write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) return std::unexpected(Error::os(errno != 0 ? errno : EIO));
    return {};
}

}  // namespace

Status patch_zip_entries(const std::string& path, const std::vector<ZipEntryPatch>& patches) {
    if (patches.empty()) return {};
    auto contents = read_file(path);
    if (!contents) return std::unexpected(std::move(contents.error()));
    Bytes bytes(*contents);

    // The end-of-directory record, searched backwards from the end (an archive comment may
    // follow it).
    if (bytes.size() < kEndOfDirectorySize) return std::unexpected(malformed("too short"));
    std::size_t end = bytes.size() - kEndOfDirectorySize;
    while (bytes.u32(end) != kEndOfDirectorySignature) {
        if (end == 0) return std::unexpected(malformed("no end of central directory"));
        --end;
    }
    const std::uint32_t entries = bytes.u16(end + 10);
    std::size_t at = bytes.u32(end + 16);

    std::vector<bool> applied(patches.size(), false);
    for (std::uint32_t k = 0; k < entries; ++k) {
        if (!bytes.holds(at, kCentralHeaderSize) || bytes.u32(at) != kCentralHeaderSignature) {
            return std::unexpected(malformed("bad central directory header"));
        }
        const std::size_t name_length = bytes.u16(at + 28);
        const std::size_t record_length =
            kCentralHeaderSize + name_length + bytes.u16(at + 30) + bytes.u16(at + 32);
        if (!bytes.holds(at, record_length)) return std::unexpected(malformed("short record"));
        const std::string name = bytes.text(at + kCentralHeaderSize, name_length);
        const std::size_t local = bytes.u32(at + 42);
        for (std::size_t p = 0; p < patches.size(); ++p) {
            if (patches[p].name != name) continue;
            if (!bytes.holds(local, kLocalHeaderSize) ||
                bytes.u32(local) != kLocalHeaderSignature) {
                return std::unexpected(malformed("bad local header"));
            }
            apply(bytes, at, kCentral, patches[p]);
            apply(bytes, local, kLocal, patches[p]);
            applied[p] = true;
        }
        at += record_length;
    }
    if (std::ranges::find(applied, false) != applied.end()) {
        return std::unexpected(malformed("entry to patch not found"));
    }
    return write_file(path, *contents);
}

}  // namespace tarnvel::sim
