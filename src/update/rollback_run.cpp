#include "update/rollback_run.hpp"

#include <fmt/format.h>

#include <optional>
#include <utility>

#include "journal/journal.hpp"

namespace tarnvel {
namespace {

std::expected<std::vector<WriteRecord>, std::string> read_records(
    const std::filesystem::path& journal_file) {
    auto journal = Journal::open_for_reading(journal_file);
    if (!journal) {
        return std::unexpected(fmt::format("the journal that names the backups can't be read: {}",
                                           error_text(journal.error())));
    }
    auto records = journal->records();
    if (!records) return std::unexpected(error_text(records.error()));
    return std::move(*records);
}

UpdateResult result_of(RollbackRefusal::Why why) {
    switch (why) {
        case RollbackRefusal::Why::NoBackup: break;
        case RollbackRefusal::Why::Blocked: return UpdateResult::Blocked;
        case RollbackRefusal::Why::NotApproved: return UpdateResult::NotApproved;
    }
    return UpdateResult::NoImage;
}

}  // namespace

RollbackBackups::RollbackBackups(const std::filesystem::path& state_dir, ImagePolicy images)
    : store_(state_dir),
      images_(std::move(images)),
      records_(read_records(state_dir / kJournalFileName)) {}

BackupToWrite RollbackBackups::backup_for(const BoardDevice& board,
                                          const RollbackRequest& request) const {
    const auto refuse = [&](UpdateResult result, std::string why) {
        BoardUpdateReport refused(board);
        refused.result = result;
        refused.passed_over = PassedOver{.why = PassedOver::Why::NoImage,
                                         .archive = std::nullopt,
                                         .error = std::move(why),
                                         .cause = std::nullopt};
        return std::unexpected(std::move(refused));
    };
    if (!records_) return refuse(UpdateResult::NoImage, records_.error());
    auto target = choose_rollback(identity_of(board), *records_, request, store_, images_);
    if (!target) return refuse(result_of(target.error().why), std::move(target.error().reason));
    auto image = rollback_image(*target, store_);
    if (!image) return refuse(UpdateResult::NoImage, error_text(image.error()));
    return std::move(*image);
}

std::vector<BackupToWrite> rollback_backups(std::span<BoardDevice* const> boards,
                                            const RollbackRequest& request,
                                            const ImagePolicy& images,
                                            const std::filesystem::path& state_dir) {
    const RollbackBackups backups(state_dir, images);
    std::vector<BackupToWrite> found;
    found.reserve(boards.size());
    for (const BoardDevice* board : boards) found.push_back(backups.backup_for(*board, request));
    return found;
}

RunOutcome write_backups(UpdateRun& run, std::span<BoardDevice* const> boards,
                         std::vector<BackupToWrite> backups, UpdateDialogue* passed_over) {
    std::vector<BoardDevice*> written;
    std::vector<const ImageFile*> images;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        if (backups[i]) {
            written.push_back(boards[i]);
            images.push_back(&*backups[i]);
        } else if (passed_over != nullptr) {
            passed_over->finished(backups[i].error());
        }
    }
    RunOutcome done = written.empty() ? RunOutcome{} : run.run(written, images);
    // Back in the boards' order: a board passed over in its place, between those written.
    RunOutcome outcome{.reports = {}, .held_stop = std::move(done.held_stop)};
    outcome.reports.reserve(boards.size());
    auto report = done.reports.begin();
    for (BackupToWrite& backup : backups) {
        outcome.reports.push_back(backup ? std::move(*report++) : std::move(backup.error()));
    }
    return outcome;
}

RunOutcome run_rollback(UpdateRun& run, UpdateDialogue& dialogue,
                        std::span<BoardDevice* const> boards, const RollbackRequest& request,
                        const UpdatePolicy& policy) {
    return write_backups(
        run, boards, rollback_backups(boards, request, policy.images, policy.state_dir), &dialogue);
}

}  // namespace tarnvel
