#pragma once
// The per-board update with the firmware archives looked up in a directory the caller names
// instead of /lib/firmware/tarnvel: the very same sequence, for runs on simulated boards that
// keep their archives in a directory of their own.

#include <string_view>

#include "bin/tarnvel-flash/update_board.hpp"
#include "journal/run_journal.hpp"

namespace tarnvel {

// update_board, with the board's archive taken from `firmware_dir`, and its writes recorded in
// `journal` (none: not recorded).
BoardOutcome update_board_from(BoardDevice& board, std::string_view firmware_dir,
                               RunJournal* journal = nullptr);

}  // namespace tarnvel
