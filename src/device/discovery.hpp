#pragma once

#include <vector>

#include "device/board_device.hpp"

namespace tarnvel {

// Every board of the udev subsystem "tarnvel", in libudev's order. A failure to set up the
// enumeration is an internal fault.
std::vector<BoardDevice> discover_boards();

}  // namespace tarnvel
