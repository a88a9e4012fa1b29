#pragma once
// A canary that undoes itself: a board written and rebooted that does not come back running
// the image it was given gets the backup its write kept written back, and is rebooted again.

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/stop_signals.hpp"
#include "device/board_device.hpp"
#include "journal/run_journal.hpp"
#include "update/board_update.hpp"
#include "update/rollback.hpp"
#include "update/update_run.hpp"

namespace tarnvel {

// Whether the board came back from its reboot other than running the image (another firmware,
// such as its factory image, or no readable identity) after a write that kept a backup under
// its record: the write to undo. A board that came back as other hardware is in no known state
// and is never written again unasked.
bool canary_failed(const BoardUpdateReport& report);

// The rollback that undoes the report's write: its own backup.
RollbackRequest undoing(const BoardUpdateReport& report);

// A failed canary and how its undoing went.
struct UndoneCanary {
    std::size_t at;  // the board's place among the run's boards and reports
    // Its first report; RolledBack once its backup was written back, verified, and the board
    // rebooted again.
    BoardUpdateReport first;
    // The write of its backup back and the reboot after it; none when it had no backup it may
    // write back, `no_backup` saying why.
    std::optional<BoardUpdateReport> rollback;
    std::optional<std::string> no_backup;
};

struct UndoneCanaries {
    std::vector<UndoneCanary> boards;  // every failed canary, in the boards' order
    // A stop signal that came while they were written back, held as RunOutcome::held_stop.
    std::unique_ptr<StopSignalWatch> held_stop;
};

// update --reboot --rollback-on-failure: each board whose report (`reports`, by the boards'
// places) says its canary failed gets the backup its write kept written back through a run of
// `undo_policy(update)` (unattended, rebooted again); the journal is read once for all of them.
// The reboots go through the boards' sysfs attributes unless `restart` stands in.
UndoneCanaries undo_failed_canaries(std::span<BoardDevice* const> boards,
                                    std::span<const BoardUpdateReport> reports,
                                    const RunPolicy& update, RunJournal& journal,
                                    UpdateDialogue& dialogue, BoardRestart restart = {});

}  // namespace tarnvel
