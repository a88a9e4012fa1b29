#pragma once
// A rollback of boards: each board's backup chosen and read from the journal's records, read
// once for the whole run, and the backups written back through a run of boards (UpdateRun),
// the reports coming back in the boards' order with the boards that had none passed over in
// their places.

#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "device/board_device.hpp"
#include "update/backup_store.hpp"
#include "update/board_update.hpp"
#include "update/image_policy.hpp"
#include "update/rollback.hpp"
#include "update/update_run.hpp"

namespace tarnvel {

// The backup a rollback writes back into a board, read and checked; or, when there is none it
// may write, the board's report saying why: passed over (no image), blocked or not approved.
using BackupToWrite = std::expected<ImageFile, BoardUpdateReport>;

// The backups of a run's boards, chosen from the records of the journal in the state directory
// as it was when this was made: the journal is read once, however many boards are asked about.
class RollbackBackups {
  public:
    RollbackBackups(const std::filesystem::path& state_dir, ImagePolicy images);

    // The board's backup as `request` asks for it (choose_rollback), read back and checked.
    BackupToWrite backup_for(const BoardDevice& board, const RollbackRequest& request) const;

  private:
    BackupStore store_;
    ImagePolicy images_;
    // Every record, newest first; or why the journal can't be read, in words.
    std::expected<std::vector<WriteRecord>, std::string> records_;
};

// Each board's backup as `request` asks for it, by the board's place.
std::vector<BackupToWrite> rollback_backups(std::span<BoardDevice* const> boards,
                                            const RollbackRequest& request,
                                            const ImagePolicy& images,
                                            const std::filesystem::path& state_dir);

// Writes back through `run` the backup each board has (`backups`, by the board's place). A
// board without one is not written: `passed_over`, when given, hears of it before anything is
// written, and its report takes its place. The reports come in the boards' order.
RunOutcome write_backups(UpdateRun& run, std::span<BoardDevice* const> boards,
                         std::vector<BackupToWrite> backups, UpdateDialogue* passed_over = nullptr);

// tarnvel-fw rollback: each board's own backup (rollback_backups, by `policy`'s images and
// state directory) written back through `run`, whose dialogue `dialogue` is; the reports in
// the boards' order.
RunOutcome run_rollback(UpdateRun& run, UpdateDialogue& dialogue,
                        std::span<BoardDevice* const> boards, const RollbackRequest& request,
                        const UpdatePolicy& policy);

}  // namespace tarnvel
