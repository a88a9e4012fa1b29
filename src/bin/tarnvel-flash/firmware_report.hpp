#pragma once
// What tarnvel-flash tells the operator about the image it found for a board.

#include "device/board_device.hpp"
#include "firmware/firmware_image.hpp"

namespace tarnvel {

// Prints the image's version and whether it is newer than the board's firmware.
void report_firmware_image(const FirmwareImage& image, const BoardDevice& board);

}  // namespace tarnvel
