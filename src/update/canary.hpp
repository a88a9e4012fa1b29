#pragma once
// A canary that undoes itself: a board written and rebooted that does not come back running
// the image it was given gets the backup its write kept written back, and is rebooted again.

#include "update/board_update.hpp"
#include "update/rollback.hpp"

namespace tarnvel {

// Whether the board came back from its reboot other than running the image (another firmware,
// such as its factory image, or no readable identity) after a write that kept a backup under
// its record: the write to undo. A board that came back as other hardware is in no known state
// and is never written again unasked.
bool canary_failed(const BoardUpdateReport& report);

// The rollback that undoes the report's write: its own backup.
RollbackRequest undoing(const BoardUpdateReport& report);

}  // namespace tarnvel
