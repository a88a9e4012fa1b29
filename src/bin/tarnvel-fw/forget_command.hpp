#pragma once
// `tarnvel-fw forget`: a board that is gone for good retired from the journal. Its records stay
// for history; its slot is no longer reported missing, so that a fleet's runs go on with the
// host's other boards.

#include <span>

#include "bin/tarnvel-fw/command_line.hpp"
#include "device/board_device.hpp"

namespace tarnvel::fw {

// Opens no device node. Exit status 2 when the slot holds no missing board.
int run_forget(std::span<const BoardDevice> boards, const ForgetCommand& command);

}  // namespace tarnvel::fw
