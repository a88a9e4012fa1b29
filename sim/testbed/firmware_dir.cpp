#include "sim/testbed/firmware_dir.hpp"

#include <cerrno>
#include <system_error>

#include "sim/support/file_text.hpp"

namespace tarnvel::sim {

Result<FirmwareDir> FirmwareDir::create() {
    auto root = TempDir::create("tarnvel-firmware.");
    if (!root) return std::unexpected(root.error());
    std::error_code ec;
    std::filesystem::create_directory(root->path() / "tarnvel", ec);
    if (ec) return std::unexpected(Error::os(ec.value()));
    return FirmwareDir(std::move(*root));
}

Result<FirmwareDir> FirmwareDir::link_to(const std::filesystem::path& archives) {
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::absolute(archives, ec);
    if (ec) return std::unexpected(Error::os(ec.value()));
    if (!std::filesystem::is_directory(target, ec)) return std::unexpected(Error::os(ENOTDIR));
    auto root = TempDir::create("tarnvel-firmware.");
    if (!root) return std::unexpected(root.error());
    std::filesystem::create_directory_symlink(target, root->path() / "tarnvel", ec);
    if (ec) return std::unexpected(Error::os(ec.value()));
    return FirmwareDir(std::move(*root));
}

Result<FirmwareDir> FirmwareDir::at(const std::filesystem::path& root) {
    std::error_code ec;
    std::filesystem::create_directories(root / "tarnvel", ec);
    if (ec) return std::unexpected(Error::os(ec.value()));
    return FirmwareDir(root);
}

Status FirmwareDir::add_archive(std::string_view file_name,
                                const std::vector<FirmwareEntry>& entries) {
    return write_zip((archive_dir() / file_name).string(), entries);
}

Status FirmwareDir::add_file(std::string_view file_name, std::span<const std::uint8_t> bytes) {
    return write_whole_file(
        archive_dir() / file_name,
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Result<std::string> FirmwareDir::add_board_image(BoardKind kind, std::uint8_t hw_major,
                                                 std::uint8_t hw_minor, std::int32_t version,
                                                 std::vector<std::uint8_t> image) {
    std::vector<FirmwareEntry> entries(1);
    entries[0].name = firmware_entry_name(kind, version);
    entries[0].data = std::move(image);
    return write_firmware_archive(archive_dir().string(), kind, hw_major, hw_minor, entries);
}

}  // namespace tarnvel::sim
