#pragma once
// Firmware archives under /lib/firmware/tarnvel: which archive belongs to a board, which
// image in it, and how its version compares with the board's.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "device/board_table.hpp"
#include "firmware/firmware_image.hpp"

namespace tarnvel {

inline constexpr const char* kFirmwareDir = "/lib/firmware/tarnvel";

// "qx400v1_1.zip", or "qx410v5_0_bp.zip" for a kind whose archive has the bypass form.
std::string firmware_archive_name(BoardKind kind, std::uint8_t hw_major, std::uint8_t hw_minor);
// The archive's path: its name under `firmware_dir` (the program's is kFirmwareDir).
std::string firmware_archive_path(BoardKind kind, std::uint8_t hw_major, std::uint8_t hw_minor,
                                  std::string_view firmware_dir = kFirmwareDir);

// Opens the archive at `path` (a board's is firmware_archive_path), picks the image whose entry
// name fits the kind, reads it whole: the last entry, in directory order, whose name matches
// the kind's image-name pattern wins. Refuses, before reading its bytes, an image that could
// not be written safely (see check_image_fits), so that the board is passed over before
// anything is asked or erased.
Result<FirmwareImage> find_firmware_image_at(const std::string& path, BoardKind kind);

// The image entry of an archive as its directory describes it: chosen, named and sized without
// a byte of its data read.
struct ImageEntry {
    std::string name;
    std::int32_t version = 0;
    std::uint64_t size = 0;  // the uncompressed size the directory declares
};

// The entry find_firmware_image_at would read, from the archive's directory alone; a declared
// size that could not be written is refused as it would be there.
Result<ImageEntry> find_image_entry_at(const std::string& path, BoardKind kind);

// find_firmware_image_at, also telling which entry the image came from.
struct ArchiveImage {
    FirmwareImage image;
    std::string entry;
};
Result<ArchiveImage> read_archive_image_at(const std::string& path, BoardKind kind);
// read_archive_image_at over an archive already read whole (ZipArchive::read_file): the image
// comes from those very bytes, which a signature has been checked over.
Result<ArchiveImage> read_archive_image_in(std::span<const std::uint8_t> archive, BoardKind kind);

}  // namespace tarnvel
