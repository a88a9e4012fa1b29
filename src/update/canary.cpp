#include "update/canary.hpp"

#include <algorithm>
#include <utility>

#include "update/rollback_run.hpp"

namespace tarnvel {

bool canary_failed(const BoardUpdateReport& report) {
    return report.result == UpdateResult::Failed && report.failure == UpdateFailure::Identity &&
           report.verdict &&
           (*report.verdict == RebootVerdict::OtherFirmware ||
            *report.verdict == RebootVerdict::Unreadable) &&
           report.record && report.backup;
}

RollbackRequest undoing(const BoardUpdateReport& report) {
    return RollbackRequest{.to = report.record, .force = false};
}

UndoneCanaries undo_failed_canaries(std::span<BoardDevice* const> boards,
                                    std::span<const BoardUpdateReport> reports,
                                    const RunPolicy& update, RunJournal& journal,
                                    UpdateDialogue& dialogue, BoardRestart restart) {
    UndoneCanaries undone;
    std::vector<BoardDevice*> failed;
    std::vector<BackupToWrite> backups;
    // The journal as the run's writes left it, read once for every failed canary.
    std::optional<RollbackBackups> found;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        if (!canary_failed(reports[i])) continue;
        if (!found) found.emplace(update.update.state_dir, update.update.images);
        undone.boards.push_back(UndoneCanary{
            .at = i, .first = reports[i], .rollback = std::nullopt, .no_backup = std::nullopt});
        failed.push_back(boards[i]);
        BackupToWrite& backup =
            backups.emplace_back(found->backup_for(*boards[i], undoing(reports[i])));
        if (!backup)
            undone.boards.back().no_backup = backup.error().passed_over->detail().value_or("");
    }
    // Nothing to write back: no run at all.
    if (std::ranges::none_of(backups, [](const BackupToWrite& b) { return b.has_value(); })) {
        return undone;
    }
    UpdateRun run(undo_policy(update), journal, dialogue, std::move(restart));
    RunOutcome done = write_backups(run, failed, std::move(backups));
    undone.held_stop = std::move(done.held_stop);
    for (std::size_t k = 0; k < failed.size(); ++k) {
        UndoneCanary& canary = undone.boards[k];
        if (canary.no_backup) continue;
        const BoardUpdateReport& back = canary.rollback.emplace(std::move(done.reports[k]));
        if (written_and_verified(back.result) && back.rebooted) {
            canary.first.result = UpdateResult::RolledBack;
        }
    }
    return undone;
}

}  // namespace tarnvel
