#pragma once
// `tarnvel-fw list`: every board with its firmware and what its archive holds for it.

#include <span>

#include "bin/tarnvel-fw/command_line.hpp"
#include "device/board_device.hpp"

namespace tarnvel::fw {

// Read-only: opens no device node and makes no register access.
int run_list(std::span<const BoardDevice> boards, const ListCommand& command);

}  // namespace tarnvel::fw
