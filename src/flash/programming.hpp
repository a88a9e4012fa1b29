#pragma once

#include "bin/tarnvel-flash/error.hpp"
#include "device/board_device.hpp"
#include "firmware/firmware_image.hpp"

namespace tarnvel {

// Writes the image at the kind's base address, one erase block at a time: erase, write, read
// back and compare, up to five retries per block, with the progress line.
Status program_firmware(BoardDevice& board, const FirmwareImage& image);

}  // namespace tarnvel
