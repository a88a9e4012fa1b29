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
#include "update/update_run.hpp"
#include "update/rollback.hpp"

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

UpdateOutcome outcome_of(const BoardUpdateReport& report);

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

// Why the update failed, in words.
std::string failure_text(const BoardUpdateReport& report) {
    const std::string error = report.error ? error_text(*report.error) : "";
    if (report.result == UpdateResult::Stopped) {
        const std::uint32_t done = report.blocks_written + report.blocks_unchanged;
        return report.flash_changed
                   ? fmt::format(
                         "a stop signal ended the write after {} of {} blocks; the flash "
                         "holds a partial image: do not power off, run the update again "
                         "to write the rest",
                         done, report.blocks)
                   : fmt::format(
                         "a stop signal ended the write before it changed the flash; it "
                         "holds what it held before");
    }
    switch (report.failure) {
        case UpdateFailure::None: break;
        case UpdateFailure::Access: return access_failure_text(*report.access, *report.error);
        case UpdateFailure::Journal:
            // A rollback needs the journal: it has no --no-journal.
            return fmt::format("not written: the journal can't record the write ({}){}", error,
                               report.image_backup_of ? "" : "; --no-journal writes without it");
        case UpdateFailure::Backup:
            return fmt::format(
                "not written: what the flash holds could not be kept first ({}); "
                "--no-backup writes without it",
                error);
        case UpdateFailure::Undecided:
            return fmt::format(
                "not written: the journal's record of the board can't be read "
                "({}), so what its flash holds is not known",
                error);
        case UpdateFailure::Programming:
            // Only an erase or program command that went out can have changed the flash.
            return report.flash_changed
                       ? fmt::format(
                             "{}; the flash holds a partial image: do not power off, "
                             "contact support",
                             error)
                       : fmt::format(
                             "{}; the write did not start: the flash holds what it held "
                             "before",
                             error);
        case UpdateFailure::Reboot:
            return fmt::format(
                "the reboot failed: {}; power the machine off and on to load the "
                "new firmware",
                error);
        case UpdateFailure::Identity: {
            const ReportedIdentity& after = *report.after;
            switch (*report.verdict) {
                case RebootVerdict::Unreadable:
                    return after.version
                               ? fmt::format(
                                     "the board came back with an unreadable identity: "
                                     "it reports version \"{}\"",
                                     *after.version)
                               : "the board came back with an unreadable identity: it reports "
                                 "no readable version";
                case RebootVerdict::OtherHardware:
                    return fmt::format(
                        "the board came back with an unexpected identity: it reports version "
                        "\"{}\", hardware {} where it had {}",
                        after.version.value_or(""),
                        after.hardware
                            ? hardware_text(after.hardware->first, after.hardware->second)
                            : "unknown",
                        report.board.hardware());
                case RebootVerdict::OtherFirmware:
                    return fmt::format(
                        "after the reboot the board reports firmware {}, not the "
                        "image's {}",
                        after.firmware.value_or(0), report.image_version.value_or(0));
                case RebootVerdict::AsWritten: break;
            }
            break;
        }
    }
    return error;
}

// What the journal could not record of a write that ended, said with what the flash got: the
// record left without its end says the write never ended.
std::optional<std::string> unrecorded_text(const BoardUpdateReport& r) {
    std::vector<std::string> parts;
    if (r.end_unrecorded) {
        parts.push_back(fmt::format(
            "{}, but the journal could not record the end of the write ({}): its record says the "
            "write never ended; run tarnvel-fw verify on the board",
            r.failure == UpdateFailure::Programming ? "the write failed"
                                                    : "the board was written and verified",
            error_text(*r.end_unrecorded)));
    }
    if (r.reboot_unrecorded) {
        parts.push_back(fmt::format("the journal could not record the reboot ({})",
                                    error_text(*r.reboot_unrecorded)));
    }
    if (parts.empty()) return std::nullopt;
    std::string text = parts.front();
    for (std::size_t i = 1; i < parts.size(); ++i) text += "; " + parts[i];
    return text;
}

UpdateOutcome outcome_of(const BoardUpdateReport& report) {
    UpdateOutcome outcome(report);
    if (report.result == UpdateResult::Failed || report.result == UpdateResult::Stopped) {
        outcome.error = failure_text(report);
    }
    if (report.result == UpdateResult::Blocked) {
        outcome.error =
            fmt::format("its image {} is on the blocked list of {}",
                        report.image_sha256.value_or(""), configuration_file().string());
    }
    if (report.result == UpdateResult::NotApproved) {
        outcome.error =
            fmt::format("its image {} is not on the approved list of {}",
                        report.image_sha256.value_or(""), configuration_file().string());
    }
    if (report.signature) {
        const SignatureVerdict verdict =
            report.result == UpdateResult::Unsigned             ? SignatureVerdict::Unsigned
            : report.result == UpdateResult::UntrustedSignature ? SignatureVerdict::UntrustedKey
            : report.result == UpdateResult::BadSignature       ? SignatureVerdict::Bad
                                                                : SignatureVerdict::Allowed;
        if (verdict == SignatureVerdict::Bad) {
            outcome.error = signature_refusal(verdict, *report.signature);
        } else if (verdict != SignatureVerdict::Allowed) {
            outcome.error = fmt::format("{} ({})", signature_refusal(verdict, *report.signature),
                                        configuration_file().string());
        }
    }
    if (report.passed_over) outcome.error = report.passed_over->detail();
    if (report.result == UpdateResult::NotAttempted) outcome.error = "a stop signal ended the run";
    if (report.result == UpdateResult::PendingPowerCycle) outcome.note = report.decision->reason;
    if (auto unrecorded = unrecorded_text(report)) {
        outcome.error = outcome.error ? *outcome.error + "; " + *unrecorded : *unrecorded;
    }
    return outcome;
}

// The backup a rollback writes back into the board, chosen and read by the library; the
// board's report when there is none to write.
std::expected<ImageFile, BoardUpdateReport> backup_for(const BoardDevice& board,
                                                       const RollbackRequest& request,
                                                       const ImagePolicy& images,
                                                       const std::filesystem::path& state_dir) {
    BoardUpdateReport refused(board);
    const auto refuse = [&](UpdateResult result, std::string why) {
        refused.result = result;
        refused.passed_over = PassedOver{.why = PassedOver::Why::NoImage,
                                         .archive = std::nullopt,
                                         .error = std::move(why),
                                         .cause = std::nullopt};
        return std::unexpected(std::move(refused));
    };
    auto journal = Journal::open_for_reading(state_dir / kJournalFileName);
    if (!journal) {
        return refuse(UpdateResult::NoImage,
                      fmt::format("the journal that names the backups can't be read: {}",
                                  error_text(journal.error())));
    }
    auto records = journal->records();
    if (!records) return refuse(UpdateResult::NoImage, error_text(records.error()));
    const BackupStore store(state_dir);
    auto target = choose_rollback(identity_of(board), *records, request, store, images);
    if (!target) {
        switch (target.error().why) {
            case RollbackRefusal::Why::NoBackup: break;
            case RollbackRefusal::Why::Blocked:
                return refuse(UpdateResult::Blocked, std::move(target.error().reason));
            case RollbackRefusal::Why::NotApproved:
                return refuse(UpdateResult::NotApproved, std::move(target.error().reason));
        }
        return refuse(UpdateResult::NoImage, std::move(target.error().reason));
    }
    auto image = rollback_image(*target, store);
    if (!image) return refuse(UpdateResult::NoImage, error_text(image.error()));
    return std::move(*image);
}

// What a rollback writes back: each board's own backup, read before anything is written. A
// board without one is passed over with the reason, and not written.
struct Rollback {
    std::vector<BoardDevice*> boards;      // the boards with a backup, in their order
    std::vector<const ImageFile*> images;  // each one's backup, by its place in `boards`
    std::vector<std::optional<BoardUpdateReport>> passed_over;  // by the board's place
    std::vector<std::optional<ImageFile>> backups;              // by the board's place
};

Rollback rollback_of(std::span<BoardDevice* const> boards, const UpdateCommand& command,
                     const UpdatePolicy& policy) {
    Rollback rollback;
    rollback.passed_over.resize(boards.size());
    rollback.backups.resize(boards.size());
    for (std::size_t i = 0; i < boards.size(); ++i) {
        auto found = backup_for(*boards[i], {.to = command.rollback_to, .force = command.force},
                                policy.images, policy.state_dir);
        if (!found) {
            rollback.passed_over[i].emplace(std::move(found.error()));
            continue;
        }
        rollback.boards.push_back(boards[i]);
        rollback.images.push_back(&rollback.backups[i].emplace(std::move(*found)));
    }
    return rollback;
}

// update --reboot --rollback-on-failure: each board that did not come back running its image
// gets the backup its write kept written back, and is rebooted again, unattended; its outcome
// then tells both (rolled-back). Answers the stop signal that came meanwhile, if one did.
std::unique_ptr<StopSignalWatch> undo_failed_canaries(std::span<BoardDevice* const> boards,
                                                      std::vector<UpdateOutcome>& outcomes,
                                                      const RunPolicy& update, RunJournal& journal,
                                                      ConsoleDialogue& dialogue) {
    std::vector<std::size_t> at;
    std::vector<BoardDevice*> undone;
    std::vector<std::optional<ImageFile>> backups(outcomes.size());
    std::vector<const ImageFile*> images;
    std::vector<UpdateOutcome> held;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        UpdateOutcome& outcome = outcomes[i];
        if (!canary_failed(outcome.report)) continue;
        auto backup = backup_for(*boards[i], undoing(outcome.report), update.update.images,
                                 update.update.state_dir);
        if (!backup) {
            outcome.error =
                fmt::format("{}; its backup was not written back: {}", outcome.error.value_or(""),
                            backup.error().passed_over->detail().value_or(""));
            held.push_back(outcome);
            continue;
        }
        at.push_back(i);
        undone.push_back(boards[i]);
        images.push_back(&backups[i].emplace(std::move(*backup)));
    }
    std::unique_ptr<StopSignalWatch> stop;
    if (!undone.empty()) {
        UpdateRun run(undo_policy(update), journal, dialogue);
        dialogue.set_quiet(true);
        RunOutcome done = run.run(undone, images);
        dialogue.set_quiet(false);
        stop = std::move(done.held_stop);
        for (std::size_t k = 0; k < at.size(); ++k) {
            UpdateOutcome& outcome = outcomes[at[k]];
            const BoardUpdateReport& back = outcome.rollback.emplace(std::move(done.reports[k]));
            const bool restored = written_and_verified(back.result) && back.rebooted;
            if (restored) {
                outcome.report.result = UpdateResult::RolledBack;
                outcome.error = fmt::format(
                    "{}; its backup (record #{}) was written back, and after its reboot it "
                    "reports firmware {}",
                    outcome.error.value_or(""), *outcome.report.record,
                    back.after && back.after->firmware ? fmt::format("{}", *back.after->firmware)
                                                       : std::string("-"));
            } else {
                outcome.error = fmt::format(
                    "{}; writing its backup back failed: {}", outcome.error.value_or(""),
                    outcome_of(back).error.value_or(std::string(result_word(back.result))));
            }
            held.push_back(outcome);
        }
    }
    dialogue.print(held);
    return stop;
}

// The rows of the boards the journal knows that are gone, when every board was asked for: a
// script that only runs `update --yes --json` learns that a slot is dead. The journal is not
// read with --no-journal; one that can't be read has its notice from the update's journal.
std::vector<UpdateOutcome> missing_rows(std::span<const BoardDevice> boards,
                                        const UpdateCommand& command) {
    std::vector<UpdateOutcome> rows;
    if (!command.boards.empty() || command.no_journal) return rows;
    auto journal = Journal::open_for_reading(journal_file_from_environment());
    if (!journal) return rows;
    auto missing = find_missing_boards(*journal, boards);
    if (!missing) return rows;
    for (const WriteRecord& record : *missing) {
        UpdateOutcome& row = rows.emplace_back(BoardUpdateReport(last_known_identity(record)));
        row.report.result = UpdateResult::Missing;
        row.error = missing_reason(record);
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
    std::vector<UpdateOutcome> missing = missing_rows(boards, command);
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
    // The run's journal and its backups both live in the one state directory.
    const std::filesystem::path state_dir = state_dir_from_environment();
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
    std::vector<BoardUpdateReport> reports;
    RunOutcome done;
    if (command.rollback) {
        Rollback rollback = rollback_of(targets->boards, command, policy.update);
        for (const auto& passed : rollback.passed_over) {
            if (passed) dialogue.finished(*passed);
        }
        done = updates.run(rollback.boards, rollback.images);
        // Back in the boards' order.
        auto written = done.reports.begin();
        for (auto& passed : rollback.passed_over) {
            reports.push_back(passed ? std::move(*passed) : std::move(*written++));
        }
    } else {
        done = updates.run(targets->boards);
        reports = std::move(done.reports);
    }

    bool ok = missing.empty();
    std::vector<UpdateOutcome> outcomes;
    for (const BoardUpdateReport& report : reports) outcomes.push_back(outcome_of(report));
    std::unique_ptr<StopSignalWatch> stop_while_undoing;
    if (canary && !done.held_stop) {
        stop_while_undoing =
            undo_failed_canaries(targets->boards, outcomes, policy, journal, dialogue);
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
