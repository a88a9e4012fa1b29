#pragma once
// `tarnvel-fw verify`: does each selected board's flash hold the image? Reads only.

#include <span>

#include "bin/tarnvel-fw/command_line.hpp"
#include "device/board_device.hpp"

namespace tarnvel::fw {

int run_verify(std::span<BoardDevice> boards, const VerifyCommand& command);

}  // namespace tarnvel::fw
