#pragma once
// Opening a board for its flash as the commands need it: closed again on failure, and the
// reason in words.

#include <expected>
#include <string>

#include "device/board_device.hpp"

namespace tarnvel::fw {

// Opens the board for flashing (node, board lock, flash objects, parallel-flash bus reset). On
// failure the board is closed again and the reason, in words, comes back: a board another
// process holds says so.
std::expected<void, std::string> open_for_flash(BoardDevice& board);

}  // namespace tarnvel::fw
