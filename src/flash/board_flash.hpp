#pragma once

#include "base/error.hpp"
#include "device/board_device.hpp"
#include "flash/flash_geometry.hpp"

namespace tarnvel {

// Builds the board's controller and flash driver over its open device node, as its kind
// requires, and stores both in the record. A parallel-flash board's bus is then reset to read
// mode; that reset's failure is returned (the objects stay in the record).
Status attach_flash(BoardDevice& board);

// As attach_flash, but before its first command to the flash it waits (bounded) until a
// program or erase that an earlier, killed run left going has ended, and after the reset it
// reads what the part says about itself. The objects stay in the record on every failure.
Result<FlashGeometry> attach_identified_flash(BoardDevice& board);

}  // namespace tarnvel
