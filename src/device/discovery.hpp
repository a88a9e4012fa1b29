#pragma once

#include <vector>

#include "base/error.hpp"
#include "device/board_device.hpp"

namespace tarnvel {

// Every board of the udev subsystem "tarnvel", in libudev's order, each closed. Devices that
// don't fit (sub-devices of a board, unreadable identity, missing attributes) are left out
// without a word; a device that is not a known board is listed with kind Unsupported. Fails
// only when the enumeration can't be set up, which the caller treats as an internal fault.
Result<std::vector<BoardDevice>> discover_boards();

}  // namespace tarnvel
