#pragma once

#include "base/error.hpp"
#include "device/board_device.hpp"

namespace tarnvel {

// Builds the board's controller and flash driver over its open device node, as its kind
// requires, and stores both in the record. A parallel-flash board's bus is then reset to read
// mode; that reset's failure is returned (the objects stay in the record).
Status attach_flash(BoardDevice& board);

}  // namespace tarnvel
