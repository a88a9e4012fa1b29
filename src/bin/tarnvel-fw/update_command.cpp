#include "bin/tarnvel-fw/update_command.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "bin/tarnvel-fw/board_access.hpp"
#include "bin/tarnvel-fw/board_selection.hpp"
#include "bin/tarnvel-fw/console.hpp"
#include "bin/tarnvel-fw/exit_status.hpp"
#include "bin/tarnvel-fw/journal_access.hpp"
#include "bin/tarnvel-fw/progress_bar.hpp"
#include "bin/tarnvel-fw/reports.hpp"
#include "update/board_update.hpp"
#include "update/parallel_update.hpp"

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
        .image_file = image_file ? &*image_file : nullptr,
    };
    if (command.reboot == RebootChoice::Reboot) policy.reboot = UpdatePolicy::Reboot::Always;
    if (command.reboot == RebootChoice::NoReboot) policy.reboot = UpdatePolicy::Reboot::Never;
    return policy;
}

UpdateOutcome outcome_of(const BoardUpdateReport& report);

// The console's side of boards updated at once: the questions, one board after another, on
// standard error; the boards' progress lines while they are written; and, with the readable
// text, each board's result line on standard output as soon as it is done with. Its calls come
// from the threads the boards are written on.
class ConsoleDialogue final : public UpdateDialogue {
  public:
    explicit ConsoleDialogue(bool json) : json_(json) {}

    // The operator is shown the board, the image and what the journal says, and asked.
    bool confirm_write(const WriteOffer& offer) override {
        const BoardIdentity& board = offer.board;
        std::string about = fmt::format("Device {}: {}\n\tCurrent firmware: {}\n",
                                        board.devnode, board.title(), board.fw_version);
        if (offer.image.version) {
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
            about += fmt::format("\t{}: {}\n", status_word(status),
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
        if (json_) return;
        const UpdateOutcome outcome = outcome_of(report);
        screen_.report(update_text(std::span(&outcome, 1)));
    }

    void stop_seen() override { screen_.notice(kStopSeenNotice); }

    void stopping() override { notice(kHeldStopNotice); }

    // Asked once every board is written, so the board is named again.
    bool confirm_reboot(const BoardUpdateReport& report) override {
        notice(fmt::format("Device {}: {}, written and verified\n", report.board.devnode,
                           report.board.title()));
        return ask_operator(kRebootQuestion);
    }

  private:
    const bool json_;
    ProgressScreen screen_;
};

// Why the update failed, in words.
std::string failure_text(const BoardUpdateReport& report) {
    const std::string error = report.error ? error_text(*report.error) : "";
    if (report.result == UpdateResult::Stopped) {
        const std::uint32_t done = report.blocks_written + report.blocks_unchanged;
        return report.flash_changed
                   ? fmt::format("a stop signal ended the write after {} of {} blocks; the flash "
                                 "holds a partial image: do not power off, run the update again "
                                 "to write the rest",
                                 done, report.blocks)
                   : fmt::format("a stop signal ended the write before it changed the flash; it "
                                 "holds what it held before");
    }
    switch (report.failure) {
        case UpdateFailure::None: break;
        case UpdateFailure::Access: return access_failure_text(*report.access, *report.error);
        case UpdateFailure::Journal:
            return fmt::format("not written: the journal can't record the write ({}); "
                               "--no-journal writes without it",
                               error);
        case UpdateFailure::Undecided:
            return fmt::format("not written: the journal's record of the board can't be read "
                               "({}), so what its flash holds is not known",
                               error);
        case UpdateFailure::Programming:
            // Only an erase or program command that went out can have changed the flash.
            return report.flash_changed
                       ? fmt::format("{}; the flash holds a partial image: do not power off, "
                                     "contact support",
                                     error)
                       : fmt::format("{}; the write did not start: the flash holds what it held "
                                     "before",
                                     error);
        case UpdateFailure::Reboot:
            return fmt::format("the reboot failed: {}; power the machine off and on to load the "
                               "new firmware",
                               error);
        case UpdateFailure::Identity: {
            const ReportedIdentity& after = *report.after;
            switch (*report.verdict) {
                case RebootVerdict::Unreadable:
                    return after.version
                               ? fmt::format("the board came back with an unreadable identity: "
                                             "it reports version \"{}\"",
                                             *after.version)
                               : "the board came back with an unreadable identity: it reports "
                                 "no readable version";
                case RebootVerdict::OtherHardware:
                    return fmt::format(
                        "the board came back with an unexpected identity: it reports version "
                        "\"{}\", hardware {} where it had {}",
                        after.version.value_or(""),
                        after.hardware ? hardware_text(after.hardware->first,
                                                       after.hardware->second)
                                       : "unknown",
                        report.board.hardware());
                case RebootVerdict::OtherFirmware:
                    return fmt::format("after the reboot the board reports firmware {}, not the "
                                       "image's {}",
                                       after.firmware.value_or(0),
                                       report.image_version.value_or(0));
                case RebootVerdict::AsWritten: break;
            }
            break;
        }
    }
    return error;
}

UpdateOutcome outcome_of(const BoardUpdateReport& report) {
    UpdateOutcome outcome(report);
    if (report.result == UpdateResult::Failed || report.result == UpdateResult::Stopped) {
        outcome.error = failure_text(report);
    }
    if (report.passed_over) outcome.error = report.passed_over->detail();
    if (report.result == UpdateResult::NotAttempted) outcome.error = "a stop signal ended the run";
    if (report.result == UpdateResult::PendingPowerCycle) outcome.note = report.decision->reason;
    return outcome;
}

// How many boards are written at once: --jobs, or every board.
unsigned jobs_of(const UpdateCommand& command, std::size_t boards) {
    if (command.jobs) return *command.jobs;
    return static_cast<unsigned>(std::clamp<std::size_t>(boards, 1, UINT_MAX));
}

}  // namespace

int run_update(std::span<BoardDevice> boards, const UpdateCommand& command) {
    auto targets = resolve_targets(boards, command.boards, command.image);
    if (!targets) {
        notice(fmt::format("tarnvel-fw: {}\n", targets.error()));
        return kExitUsage;
    }
    // A machine whose driver is not loaded has not been updated.
    if (auto problem = no_boards_problem(boards, command.boards, *targets)) {
        notice(fmt::format("tarnvel-fw: {}\n", *problem));
        if (command.json) report(update_json({}, false));
        return kExitBoardFailed;
    }

    const std::optional<ImageFile> image_file = std::move(targets->image_file);
    RunJournal journal = update_journal(command.no_journal);
    ConsoleDialogue dialogue(command.json);
    BoardUpdate update(policy_of(command, image_file), journal, dialogue);
    ParallelUpdate updates(update, dialogue, jobs_of(command, targets->boards.size()));
    ParallelUpdateOutcome done = updates.run(targets->boards);

    bool ok = true;
    std::vector<UpdateOutcome> outcomes;
    for (const BoardUpdateReport& report : done.reports) {
        outcomes.push_back(outcome_of(report));
        ok = ok && ended_as_asked(report.result);
    }
    // The results end with a line break, so they are out before a held stop signal, which
    // ends the program now, takes effect. The readable text was printed board by board.
    if (command.json) report(update_json(outcomes, ok));
    done.held_stop.reset();
    return ok ? kExitOk : kExitBoardFailed;
}

}  // namespace tarnvel::fw
