#include "sim/firmware/firmware_archive_writer.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <zip.h>

#include <fmt/format.h>
#include <cerrno>

#include "firmware/firmware_archive.hpp"
#include "firmware/image_name.hpp"
#include "firmware/zip_archive.hpp"
#include "sim/firmware/zip_patch.hpp"

namespace tarnvel::sim {
namespace {

// The password of encrypted entries; the updater never has one.
constexpr const char* kPassword = "tarnvel-sim";
// A method number libzip does not decompress: implode, from the days of PKZIP 1.
constexpr std::uint16_t kImplode = 6;
// A fixed modification time, so that equal inputs give equal archives.
constexpr time_t kEntryTime = 1700000000;

Error zip_code_error(int zip_code) {
    zip_error_t error;
    zip_error_init_with_code(&error, zip_code);
    Error result = zip_failure(error);
    zip_error_fini(&error);
    return result;
}

// Adds one entry; on failure the archive holds the error.
bool add_entry(zip_t* archive, const FirmwareEntry& entry) {
    zip_source_t* source = zip_source_buffer(archive, entry.data.data(), entry.data.size(), 0);
    if (source == nullptr) return false;
    const zip_int64_t index = zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        return false;
    }
    const auto at = static_cast<zip_uint64_t>(index);
    const std::int32_t method =
        entry.compression == Compression::Stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
    if (zip_set_file_compression(archive, at, method, 0) != 0) return false;
    if (zip_file_set_mtime(archive, at, kEntryTime, 0) != 0) return false;
    if (entry.unix_mode != 0 && zip_file_set_external_attributes(archive, at, 0, ZIP_OPSYS_UNIX,
                                                                 entry.unix_mode << 16) != 0) {
        return false;
    }
    if (entry.damage == EntryDamage::Encrypted &&
        zip_file_set_encryption(archive, at, ZIP_EM_AES_256, kPassword) != 0) {
        return false;
    }
    return true;
}

std::vector<ZipEntryPatch> damage_patches(const std::vector<FirmwareEntry>& entries) {
    std::vector<ZipEntryPatch> patches;
    for (const auto& entry : entries) {
        ZipEntryPatch patch;
        patch.name = entry.name;
        if (entry.damage == EntryDamage::BadCrc) patch.crc_xor = 1;
        if (entry.damage == EntryDamage::UnsupportedCompression) {
            patch.compression_method = kImplode;
        }
        patch.uncompressed_size = entry.declared_size;
        if (patch.crc_xor != 0 || patch.compression_method || patch.uncompressed_size) {
            patches.push_back(std::move(patch));
        }
    }
    return patches;
}

}  // namespace

std::string firmware_entry_name(BoardKind kind, std::int32_t version, unsigned build) {
    return fmt::format("{}{}_{}.bin", image_name_pattern(kind).prefix(), build, version);
}

std::vector<std::uint8_t> firmware_bytes(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    // xorshift32; a zero state would stay zero.
    std::uint32_t state = seed * 2654435761u + 0x9E3779B9u;
    if (state == 0) state = 1;
    for (auto& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

Status write_zip(const std::string& path, const std::vector<FirmwareEntry>& entries) {
    int zip_code = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &zip_code);
    if (archive == nullptr) return std::unexpected(zip_code_error(zip_code));
    for (const auto& entry : entries) {
        if (!add_entry(archive, entry)) {
            Error failure = zip_failure(*zip_get_error(archive));
            zip_discard(archive);
            return std::unexpected(std::move(failure));
        }
    }
    if (zip_close(archive) != 0) {
        Error failure = zip_failure(*zip_get_error(archive));
        zip_discard(archive);
        return std::unexpected(std::move(failure));
    }
    return patch_zip_entries(path, damage_patches(entries));
}

Result<std::string> write_firmware_archive(const std::string& dir, BoardKind kind,
                                           std::uint8_t hw_major, std::uint8_t hw_minor,
                                           const std::vector<FirmwareEntry>& entries) {
    std::string path = fmt::format("{}/{}", dir, firmware_archive_name(kind, hw_major, hw_minor));
    if (auto written = write_zip(path, entries); !written) {
        return std::unexpected(std::move(written.error()));
    }
    return path;
}

Status write_not_a_zip(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return std::unexpected(Error::os(errno));
    constexpr std::string_view kText = "This is a firmware release note, not an archive.\n";
    const ssize_t put = ::write(fd, kText.data(), kText.size());
    const int errnum = errno;
    ::close(fd);
    if (put != static_cast<ssize_t>(kText.size())) {
        return std::unexpected(Error::os(put < 0 ? errnum : EIO));
    }
    return {};
}

Status truncate_file(const std::string& path, std::uint64_t size) {
    if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0) {
        return std::unexpected(Error::os(errno));
    }
    return {};
}

}  // namespace tarnvel::sim
