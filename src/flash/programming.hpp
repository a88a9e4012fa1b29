#pragma once

#include "bin/tarnvel-flash/error.hpp"
#include "device/board_device.hpp"
#include "firmware/firmware_image.hpp"

namespace tarnvel {

// Writes the image at the kind's base address, one erase block at a time: erase, write, read
// back and compare, up to five retries per block, with the progress line and a retry notice
// before each retry. An image that could not be written safely (empty, past the end of the
// flash addresses the board reaches, odd length on a 16-bit flash) is refused before anything
// is erased. Returns the first error of a flash operation unchanged, or "can't write to flash"
// when a block still differs after its fifth retry.
Status program_firmware(BoardDevice& board, const FirmwareImage& image);

}  // namespace tarnvel
