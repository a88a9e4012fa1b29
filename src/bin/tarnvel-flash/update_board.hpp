#pragma once
// The update of one supported board, from opening its device node to the offered reboot.

#include <cstdint>

#include "device/board_device.hpp"

namespace tarnvel {

// Whether the run goes on with the next board. It ends after a failed programming run or a
// failed reboot: a board in that state needs the operator's attention before anything else.
enum class BoardOutcome : std::uint8_t { Next, EndRun };

// Opens the board, shows its firmware, offers the archive's image, writes it when the operator
// agrees, and offers a reboot. Prints every message of the update except the progress line,
// the retry notice and the image report. Leaves the board closed, except after a failed
// parallel-flash bus reset, where the record keeps what was built until the run ends.
BoardOutcome update_board(BoardDevice& board);

}  // namespace tarnvel
