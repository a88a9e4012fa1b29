#pragma once
// Firmware archives under /lib/firmware/tarnvel: which archive belongs to a board, which
// image in it, and how its version compares with the board's.

#include <cstdint>
#include <string>

#include "bin/tarnvel-flash/error.hpp"
#include "device/board_device.hpp"
#include "firmware/firmware_image.hpp"

namespace tarnvel {

inline constexpr const char* kFirmwareDir = "/lib/firmware/tarnvel";

std::string firmware_archive_path(BoardKind kind, std::uint8_t hw_major, std::uint8_t hw_minor);

// Opens the board's archive, picks the image whose entry name fits the kind, reads it whole.
Result<FirmwareImage> find_firmware_image(const BoardDevice& board);

// Prints the image's version and whether it is newer than the board's firmware.
void report_firmware_image(const FirmwareImage& image, const BoardDevice& board);

}  // namespace tarnvel
