#pragma once
// `tarnvel-fw history`: the journal's records of board writes, newest first.

#include <span>

#include "bin/tarnvel-fw/command_line.hpp"
#include "device/board_device.hpp"

namespace tarnvel::fw {

// Read-only: opens no device node and changes nothing. Exit status 1 when the journal can't be
// read.
int run_history(std::span<const BoardDevice> boards, const HistoryCommand& command);

}  // namespace tarnvel::fw
