#pragma once
// The run over the discovered boards: each is announced, each supported one updated.

#include <span>

#include "device/board_device.hpp"

namespace tarnvel {

// Prints "Device {devnode}: " and the model with its hardware version, or "Unsupported".
// Tells whether the board is supported.
bool announce_board(const BoardDevice& board);

// Walks the boards in order until the last one or until an update ends the run.
void run_board_loop(std::span<BoardDevice> boards);

}  // namespace tarnvel
