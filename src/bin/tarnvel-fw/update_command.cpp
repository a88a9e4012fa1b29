#include "bin/tarnvel-fw/update_command.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>
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
#include "update/board_update.hpp"
#include "update/inventory.hpp"

namespace tarnvel::fw {
namespace {

constexpr const char* kUpdateQuestion = "\tUpdate firmware?";
constexpr const char* kRebootQuestion =
    "\tReboot device? This can crash systems that doesn't support PCIe hot-plug.";

UpdatePolicy policy_of(const UpdateCommand& command, const std::optional<ImageFile>& image_file) {
    UpdatePolicy policy{
        .opening = UpdatePolicy::Opening::WhenWritingIdentified,
        .unattended = command.yes,
        .force = command.force,
        .decide_from_journal = true,
        // Each block is read first and only one that differs is erased and written, unless
        // --full asks for every block.
        .full_write = command.full,
        .reboot = UpdatePolicy::Reboot::Ask,
        .hand_back_held_stop = true,
        .image_file = image_file ? &*image_file : nullptr,
    };
    if (command.reboot == RebootChoice::Reboot) policy.reboot = UpdatePolicy::Reboot::Always;
    if (command.reboot == RebootChoice::NoReboot) policy.reboot = UpdatePolicy::Reboot::Never;
    return policy;
}

class ConsoleDialogue final : public UpdateDialogue {
  public:
    // The operator is shown the board, the image and what the journal says, and asked.
    bool confirm_write(const WriteOffer& offer) override {
        const BoardIdentity& board = offer.board;
        std::string about = fmt::format("Device {}: {}\n\tCurrent firmware: {}, \n",
                                        printable(board.devnode), board.title(), board.fw_version);
        if (offer.image.version) {
            about += fmt::format("\tFirmware available: {}, \n", *offer.image.version);
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
            about += fmt::format("\t{}: {}\n", status_word(status),
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
                                                  StopSignalHold& hold) override {
        return std::make_unique<ProgressBar>("writing", board.devnode, &hold,
                                             ProgressBar::Blocks::Counted);
    }

    void stopping() override { notice(kHeldStopNotice); }

    bool confirm_reboot() override { return ask_operator(kRebootQuestion); }
};

// Why the update failed, in words.
std::string failure_text(const BoardUpdateReport& report) {
    const std::string error = report.error ? error_text(*report.error) : "";
    switch (report.failure) {
        case UpdateFailure::None: break;
        case UpdateFailure::Access: return access_failure_text(*report.access, *report.error);
        case UpdateFailure::Journal:
            return fmt::format(
                "not written: the journal can't record the write ({}); "
                "--no-journal writes without it",
                error);
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

UpdateOutcome outcome_of(BoardUpdateReport report) {
    UpdateOutcome outcome(std::move(report));
    const BoardUpdateReport& r = outcome.report;
    if (r.result == UpdateResult::Failed) outcome.error = failure_text(r);
    if (r.result == UpdateResult::Blocked) {
        outcome.error = fmt::format("its image {} is on the blocked list of {}",
                                    r.image_sha256.value_or(""), configuration_file().string());
    }
    if (r.result == UpdateResult::NotApproved) {
        outcome.error = fmt::format("its image {} is not on the approved list of {}",
                                    r.image_sha256.value_or(""), configuration_file().string());
    }
    if (r.passed_over) outcome.error = r.passed_over->detail();
    if (r.result == UpdateResult::PendingPowerCycle) outcome.note = r.decision->reason;
    if (auto unrecorded = unrecorded_text(r)) {
        outcome.error = outcome.error ? *outcome.error + "; " + *unrecorded : *unrecorded;
    }
    return outcome;
}

// The backup a rollback writes back into the board: its newest, or the one of record `to`;
// why there is none otherwise.
std::expected<ImageFile, std::string> backup_for(const BoardDevice& board,
                                                 std::optional<std::int64_t> to,
                                                 const std::filesystem::path& state_dir) {
    auto journal = Journal::open_for_reading(state_dir / kJournalFileName);
    if (!journal) {
        return std::unexpected(fmt::format("the journal that names the backups can't be read: {}",
                                           error_text(journal.error())));
    }
    auto record = to ? journal->record(*to) : journal->last_backup(board.pci_address, board.kind);
    if (!record) return std::unexpected(error_text(record.error()));
    if (!*record || !(*record)->start.backup_file || !(*record)->start.backup_sha256) {
        return std::unexpected(to ? fmt::format("record {} kept no backup", *to)
                                  : std::string("no backup to return to"));
    }
    const WriteRecord& kept = **record;
    // A backup is written back only into the board it was taken from.
    if (kept.start.pci_address != board.pci_address || kept.start.board_kind() != board.kind) {
        return std::unexpected(
            fmt::format("record {} is of the board in slot {} (kind {}), not "
                        "this one",
                        kept.id, kept.start.pci_address, kept.start.kind));
    }
    const BackupStore store(state_dir);
    auto bytes =
        store.read({*kept.start.backup_file, *kept.start.backup_sha256}, kept.start.image_size);
    if (!bytes) return std::unexpected(error_text(bytes.error()));
    return ImageFile{.path = (store.directory() / *kept.start.backup_file).string(),
                     .bytes = std::move(*bytes),
                     .backup_of = kept.id};
}

class UpdateRun {
  public:
    UpdateRun(const UpdateCommand& command, const Configuration& configuration,
              std::optional<ImageFile> image_file)
        : command_(command),
          image_file_(std::move(image_file)),
          journal_(update_journal(command.no_journal)),
          policy_(policy_of(command, image_file_)) {
        policy_.images = configuration.images;
        policy_.backup =
            command.no_backup ? UpdatePolicy::Backup::Skipped : UpdatePolicy::Backup::Kept;
        policy_.state_dir = journal_file_from_environment().parent_path();
        policy_.keep_backups =
            command.keep_backups.value_or(configuration.keep_backups.value_or(2));
    }

    // Why no further board is updated, once a board has ended the run: a failed programming
    // run or reboot leaves a board that needs the operator's attention before anything else is
    // touched, and a stop signal stops the run.
    std::optional<std::string> end_reason() const {
        if (held_stop_) return "a stop signal ended the run";
        if (ended_) return "the run ended at an earlier board's failure";
        return std::nullopt;
    }

    UpdateOutcome update(BoardDevice& board) {
        UpdatePolicy policy = policy_;
        std::optional<ImageFile> backup;
        if (command_.rollback) {
            auto found = backup_for(board, command_.rollback_to, policy_.state_dir);
            if (!found) {
                UpdateOutcome outcome{BoardUpdateReport(board)};
                outcome.report.result = UpdateResult::NoImage;
                outcome.error = std::move(found.error());
                return outcome;
            }
            backup = std::move(*found);
            policy.image_file = &*backup;
        }
        BoardUpdate update(std::move(policy), journal_, dialogue_);
        BoardUpdateReport report = update.run(board);
        ended_ = ended_ || report.ends_run;
        // A stop signal that came during the write ends the run once the results are out.
        if (report.held_stop) held_stop_ = std::move(report.held_stop);
        return outcome_of(std::move(report));
    }

    // Gives up the stop signal held since a programming run: it ends the program now.
    void release_held_stop() { held_stop_.reset(); }

  private:
    const UpdateCommand& command_;
    std::optional<ImageFile> image_file_;
    RunJournal journal_;
    ConsoleDialogue dialogue_;
    UpdatePolicy policy_;
    bool ended_ = false;
    std::unique_ptr<StopSignalHold> held_stop_;
};

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
        row.error = kMissingReason;
    }
    return rows;
}

}  // namespace

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
    UpdateRun run(command, *configuration, std::move(targets->image_file));
    std::vector<UpdateOutcome> outcomes;
    bool ok = missing.empty();
    for (BoardDevice* board : targets->boards) {
        if (auto reason = run.end_reason()) {
            outcomes.emplace_back(BoardUpdateReport(*board)).error = std::move(reason);
        } else {
            outcomes.push_back(run.update(*board));
        }
        // A write the journal could not record in full did not end as asked, whatever the flash
        // got: the journal is wrong about the board until the operator has looked.
        const BoardUpdateReport& last = outcomes.back().report;
        ok = ok && ended_as_asked(last.result) && !last.end_unrecorded && !last.reboot_unrecorded;
    }
    std::ranges::move(missing, std::back_inserter(outcomes));
    // The results end with a line break, so they are out before a held stop signal, which
    // ends the program now, takes effect.
    report(command.json ? update_json(outcomes, ok) : update_text(outcomes));
    run.release_held_stop();
    return ok ? kExitOk : kExitBoardFailed;
}

}  // namespace tarnvel::fw
