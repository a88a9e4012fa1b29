#pragma once
// `tarnvel-fw update`: the updater's sequence for each selected board, unattended with --yes.

#include <span>

#include "bin/tarnvel-fw/command_line.hpp"
#include "device/board_device.hpp"

namespace tarnvel::fw {

// Runs the command on the discovered boards and answers the exit status.
int run_update(std::span<BoardDevice> boards, const UpdateCommand& command);

}  // namespace tarnvel::fw
