#pragma once
// Opening a board for its flash as the commands need it: closed again on failure, and the
// reason in words.

#include <cstdint>
#include <expected>
#include <string>

#include "device/board_device.hpp"
#include "programming/flash_fit.hpp"

namespace tarnvel::fw {

// Opens the board's node with the board lock and builds its flash objects, without a word to
// the flash yet. On failure the board is closed again and the reason, in words, comes back: a
// board another process holds says so.
std::expected<void, std::string> open_for_flash(BoardDevice& board);

// Before the first erase or read of an opened board: waits (bounded) for a flash that a
// killed run left busy, resets a parallel flash to read mode, identifies the part and checks
// that it takes what `use` sends to `length` bytes from the kind's base address. On failure
// the board is closed and the reason comes back, naming what the part said.
std::expected<void, std::string> prepare_flash(BoardDevice& board, std::uint64_t length,
                                               FlashUse use);

}  // namespace tarnvel::fw
