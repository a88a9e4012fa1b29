#include "bin/tarnvel-fw/update_command.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "base/utf8.hpp"
#include "bin/tarnvel-fw/board_access.hpp"
#include "bin/tarnvel-fw/board_selection.hpp"
#include "bin/tarnvel-fw/configuration.hpp"
#include "bin/tarnvel-fw/console.hpp"
#include "bin/tarnvel-fw/exit_status.hpp"
#include "bin/tarnvel-fw/journal_access.hpp"
#include "bin/tarnvel-fw/progress_bar.hpp"
#include "bin/tarnvel-fw/reports.hpp"
#include "update/canary.hpp"
#include "update/inventory.hpp"
#include "update/rollback_run.hpp"
#include "update/update_run.hpp"

namespace tarnvel::fw {
namespace {

constexpr const char* kUpdateQuestion = "\tUpdate firmware?";
constexpr const char* kRebootQuestion =
    "\tReboot device? This can crash systems that don't support PCIe hot-plug.";

// What the operator sees at once when a stop signal comes while boards are written, and
// before it ends the program once every board has stopped and the results are out.
constexpr const char* kStopSeenNotice =
    "tarnvel-fw: stop signal received: stopping after the block each board is writing. DO NOT "
    "POWER OFF the system\n";
constexpr const char* kHeldStopNotice =
    "tarnvel-fw: every board has stopped at the end of a block; stopping now on the stop "
    "signal\n";
// A stop signal at a question: on a line of its own after the question that waited.
constexpr const char* kStopAtWriteQuestionNotice =
    "\ntarnvel-fw: stop signal received: no more questions, no board is written\n";
constexpr const char* kStopAtRebootQuestionNotice =
    "\ntarnvel-fw: stop signal received: no more questions; the boards answered y are "
    "rebooted, the others are not\n";
constexpr const char* kAskingStopNotice = "tarnvel-fw: stopping now on the stop signal\n";

// What the command line and the configuration file choose for the run.
FleetChoices choices_of(const UpdateCommand& command, const Configuration& configuration,
                        const std::optional<ImageFile>& image_file, std::size_t boards,
                        const std::filesystem::path& state_dir) {
    FleetChoices choices{
        .unattended = command.yes,
        .force = command.force,
        .full_write = command.full,
        .reboot = command.reboot == RebootChoice::Reboot     ? UpdatePolicy::Reboot::Always
                  : command.reboot == RebootChoice::NoReboot ? UpdatePolicy::Reboot::Never
                                                             : UpdatePolicy::Reboot::Ask,
        .image_file = image_file ? &*image_file : nullptr,
        .images = configuration.images,
        .keep_backup = !command.no_backup,
        .state_dir = state_dir,
        .keep_backups = command.keep_backups.value_or(configuration.keep_backups.value_or(2)),
        .jobs = boards_at_once(command, configuration, boards),
    };
    return choices;
}

// The console's side of boards updated at once: the questions, one board after another, on
// standard error; the boards' progress lines while they are written; and, with the readable
// text, each board's result line on standard output as soon as it is done with. Its calls come
// from the threads the boards are written on.
class ConsoleDialogue final : public UpdateDialogue {
  public:
    // `holds_canaries`: a board that does not come back running its image is written back
    // before its line is printed (update --rollback-on-failure).
    ConsoleDialogue(bool json, bool holds_canaries)
        : json_(json), holds_canaries_(holds_canaries) {}

    // While boards are written back after a failed reboot: their lines come afterwards, whole.
    void set_quiet(bool quiet) { quiet_ = quiet; }
    void print(std::span<const UpdateOutcome> outcomes) {
        if (!json_ && !outcomes.empty()) screen_.report(update_text(outcomes));
    }

    // The operator is shown the board, the image and what the journal says, and asked.
    bool confirm_write(const WriteOffer& offer) override {
        const BoardIdentity& board = offer.board;
        std::string about = fmt::format("Device {}: {}\n\tCurrent firmware: {}\n",
                                        printable(board.devnode), board.title(), board.fw_version);
        if (offer.image.origin.backup_of) {
            // A rollback: what the board returns to, against what it runs now.
            about +=
                fmt::format("\tRoll back to: {}the backup of record #{}; it runs firmware {} now\n",
                            offer.image.version ? fmt::format("firmware {}, ", *offer.image.version)
                                                : std::string(),
                            *offer.image.origin.backup_of, board.fw_version);
        } else if (offer.image.version) {
            about += fmt::format("\tFirmware available: {}\n", *offer.image.version);
        } else {
            about += fmt::format("\tImage file: {} bytes\n", offer.image.image.data.size());
        }
        if (offer.decision.versions == VersionOrder::Same) {
            about += "\tNo firmware upgrade required\n";
        } else if (offer.decision.versions == VersionOrder::BoardNewer) {
            about += "\tNo firmware upgrade required - firmware is newer\n";
        }
        // What the journal knows of the flash weighs more than the versions.
        const BoardStatus status = offer.decision.status;
        if (status == BoardStatus::Interrupted || status == BoardStatus::WriteFailed ||
            status == BoardStatus::PendingPowerCycle) {
            about += fmt::format("\t{}: {}\n", status_text(offer.decision),
                                 printable(offer.decision.reason.value_or("")));
        }
        if (status == BoardStatus::BoardNewer) {
            about += fmt::format("\tWriting it is a downgrade: {}\n",
                                 offer.decision.reason.value_or(""));
        }
        notice(about);
        return ask_operator(kUpdateQuestion);
    }

    std::unique_ptr<ProgrammingObserver> progress(const BoardIdentity& board,
                                                  StopSignalHold*) override {
        return std::make_unique<ProgressBar>(screen_, "writing", board,
                                             ProgressBar::Blocks::Counted);
    }

    void finished(const BoardUpdateReport& report) override {
        if (json_ || quiet_ || (holds_canaries_ && canary_failed(report))) return;
        const UpdateOutcome outcome = outcome_of(report);
        screen_.report(update_text(std::span(&outcome, 1)));
    }

    void stop_seen() override { screen_.notice(kStopSeenNotice); }

    void stop_seen_asking() override {
        stopped_asking_ = true;
        screen_.notice(reboots_asked_ ? kStopAtRebootQuestionNotice : kStopAtWriteQuestionNotice);
        end_questions();
    }

    void stopping() override { notice(stopped_asking_ ? kAskingStopNotice : kHeldStopNotice); }

    // Asked once every board is written, so the board is named again.
    bool confirm_reboot(const BoardUpdateReport& report) override {
        reboots_asked_ = true;
        notice(fmt::format("Device {}: {}, written and verified\n", printable(report.board.devnode),
                           report.board.title()));
        return ask_operator(kRebootQuestion);
    }

  private:
    const bool json_;
    const bool holds_canaries_;
    bool quiet_ = false;
    ProgressScreen screen_;
    // Set on the asking thread and read on the stop signal's: which questions a stop ends.
    std::atomic<bool> reboots_asked_{false};
    std::atomic<bool> stopped_asking_{false};
};

// update --reboot --rollback-on-failure: each board that did not come back running its image
// gets the backup its write kept written back, and is rebooted again, unattended (the library's
// undo_failed_canaries); its outcome then tells both (rolled-back), and the lines of those boards
// come together once every one is done with. Answers the stop signal that came meanwhile, if one
// did.
std::unique_ptr<StopSignalWatch> undo_canaries(std::span<BoardDevice* const> boards,
                                               std::span<const BoardUpdateReport> reports,
                                               std::vector<UpdateOutcome>& outcomes,
                                               const RunPolicy& update, RunJournal& journal,
                                               ConsoleDialogue& dialogue) {
    dialogue.set_quiet(true);
    UndoneCanaries undone = undo_failed_canaries(boards, reports, update, journal, dialogue);
    dialogue.set_quiet(false);
    std::vector<UpdateOutcome> held;
    for (UndoneCanary& canary : undone.boards) {
        UpdateOutcome& outcome = outcomes[canary.at];
        const std::string first = outcome.error.value_or("");
        if (canary.no_backup) {
            outcome.error =
                fmt::format("{}; its backup was not written back: {}", first, *canary.no_backup);
            held.push_back(outcome);
            continue;
        }
        outcome.report = std::move(canary.first);
        const BoardUpdateReport& back = outcome.rollback.emplace(std::move(*canary.rollback));
        if (outcome.report.result == UpdateResult::RolledBack) {
            outcome.error = fmt::format(
                "{}; its backup (record #{}) was written back, and after its reboot it "
                "reports firmware {}",
                first, *outcome.report.record,
                back.after && back.after->firmware ? fmt::format("{}", *back.after->firmware)
                                                   : std::string("-"));
        } else {
            outcome.error =
                fmt::format("{}; writing its backup back failed: {}", first,
                            outcome_of(back).error.value_or(std::string(result_word(back.result))));
        }
        held.push_back(outcome);
    }
    // The boards without a backup to write back come first.
    std::ranges::stable_partition(held, [](const UpdateOutcome& o) { return !o.rollback; });
    dialogue.print(held);
    return std::move(undone.held_stop);
}

// The rows of the boards the journal knows that are gone, when every board was asked for: a
// script that only runs `update --yes --json` learns that a slot is dead. The journal is not
// read with --no-journal; one that can't be read has its notice from the update's journal.
std::vector<UpdateOutcome> missing_rows(std::span<const BoardDevice> boards,
                                        const UpdateCommand& command,
                                        const std::filesystem::path& state_dir) {
    std::vector<UpdateOutcome> rows;
    if (!command.boards.empty() || command.no_journal) return rows;
    auto missing = missing_board_reports(boards, journal_file_in(state_dir));
    if (!missing) return rows;
    for (BoardUpdateReport& report : *missing) {
        UpdateOutcome& row = rows.emplace_back(std::move(report));
        row.error = row.report.decision->reason;
    }
    return rows;
}

}  // namespace

unsigned boards_at_once(const UpdateCommand& command, const Configuration& configuration,
                        std::size_t boards) {
    if (command.jobs) return *command.jobs;
    if (configuration.jobs) return *configuration.jobs;
    return static_cast<unsigned>(std::clamp<std::size_t>(boards, 1, UINT_MAX));
}

int run_update(std::span<BoardDevice> boards, const UpdateCommand& command) {
    auto targets = resolve_targets(boards, command.boards, command.image);
    if (!targets) {
        notice(fmt::format("tarnvel-fw: {}\n", targets.error()));
        return kExitUsage;
    }
    // The run's journal and its backups all live in the one state directory.
    const std::filesystem::path state_dir = state_dir_from_environment();
    std::vector<UpdateOutcome> missing = missing_rows(boards, command, state_dir);
    // A machine whose driver is not loaded has not been updated.
    if (auto problem = no_boards_problem(boards, command.boards, *targets)) {
        notice(fmt::format("tarnvel-fw: {}\n", *problem));
        report(command.json ? update_json(missing, false) : update_text(missing));
        return kExitBoardFailed;
    }

    // A configuration that can't be read leaves every board as it is.
    const std::optional<Configuration> configuration = program_configuration();
    if (!configuration) return kExitUsage;
    const std::optional<ImageFile> image_file = std::move(targets->image_file);
    RunJournal journal = update_journal(state_dir, command.no_journal, !command.rollback);
    const bool canary = command.reboot == RebootChoice::Reboot &&
                        (command.rollback_on_failure || configuration->rollback_on_failure) &&
                        !command.rollback;
    ConsoleDialogue dialogue(command.json, canary);
    const FleetChoices choices =
        choices_of(command, *configuration, image_file, targets->boards.size(), state_dir);
    const RunPolicy policy =
        command.rollback ? rollback_policy(choices) : fleet_update_policy(choices);
    UpdateRun updates(policy, journal, dialogue);
    RunOutcome done =
        command.rollback
            ? run_rollback(updates, dialogue, targets->boards,
                           {.to = command.rollback_to, .force = command.force}, policy.update)
            : updates.run(targets->boards);
    const std::vector<BoardUpdateReport>& reports = done.reports;

    bool ok = missing.empty();
    std::vector<UpdateOutcome> outcomes;
    for (const BoardUpdateReport& report : reports) outcomes.push_back(outcome_of(report));
    std::unique_ptr<StopSignalWatch> stop_while_undoing;
    if (canary && !done.held_stop) {
        stop_while_undoing =
            undo_canaries(targets->boards, reports, outcomes, policy, journal, dialogue);
    }
    for (const UpdateOutcome& outcome : outcomes) {
        const BoardUpdateReport& report = outcome.report;
        // A write the journal could not record in full did not end as asked, whatever the flash
        // got: the journal is wrong about the board until the operator has looked.
        ok = ok && ended_as_asked(report.result) && !report.end_unrecorded &&
             !report.reboot_unrecorded;
    }
    // The results end with a line break, so they are out before a held stop signal, which
    // ends the program now, takes effect. The readable text was printed board by board; the
    // boards that are gone come last.
    if (command.json) {
        outcomes.insert(outcomes.end(), missing.begin(), missing.end());
        report(update_json(outcomes, ok));
    } else if (!missing.empty()) {
        report(update_text(missing));
    }
    done.held_stop.reset();
    stop_while_undoing.reset();
    return ok ? kExitOk : kExitBoardFailed;
}

}  // namespace tarnvel::fw
