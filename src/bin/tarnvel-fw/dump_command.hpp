#pragma once
// `tarnvel-fw dump`: a copy of a board's image region in a file, in image byte order, so that
// `update --image` can write it back.

#include <span>

#include "bin/tarnvel-fw/command_line.hpp"
#include "device/board_device.hpp"

namespace tarnvel::fw {

int run_dump(std::span<BoardDevice> boards, const DumpCommand& command);

}  // namespace tarnvel::fw
