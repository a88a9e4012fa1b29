#pragma once

#include "base/error.hpp"
#include "device/board_device.hpp"
#include "flash/flash_geometry.hpp"

namespace tarnvel {

// Builds the board's controller and flash driver over its open device node, as its kind
// requires, and stores both in the record. A parallel-flash board's bus is then reset to read
// mode; that reset's failure is returned (the objects stay in the record).
Status attach_flash(BoardDevice& board);

// Builds the board's controller and flash driver as attach_flash does, without touching a
// register: the flash is left as it is, also a parallel flash in the middle of a command.
Status build_flash(BoardDevice& board);

// For a board whose flash objects are built: waits (bounded) until a program or erase that an
// earlier, killed run left going has ended, resets a parallel flash to read mode, and reads
// what the part says about itself.
Result<FlashGeometry> identify_flash(BoardDevice& board);

// build_flash, then identify_flash. The objects stay in the record on every failure.
Result<FlashGeometry> attach_identified_flash(BoardDevice& board);

}  // namespace tarnvel
