#include "bin/tarnvel-fw/update_command.hpp"

#include <fmt/format.h>

#include <optional>
#include <utility>
#include <vector>

#include "base/stop_signals.hpp"
#include "bin/tarnvel-fw/board_access.hpp"
#include "bin/tarnvel-fw/board_selection.hpp"
#include "bin/tarnvel-fw/console.hpp"
#include "bin/tarnvel-fw/exit_status.hpp"
#include "bin/tarnvel-fw/journal_access.hpp"
#include "bin/tarnvel-fw/progress_bar.hpp"
#include "bin/tarnvel-fw/reports.hpp"
#include "update/board_identity.hpp"
#include "update/decision.hpp"
#include "update/flashing.hpp"

namespace tarnvel::fw {
namespace {

constexpr const char* kUpdateQuestion = "\tUpdate firmware?";
constexpr const char* kRebootQuestion =
    "\tReboot device? This can crash systems that doesn't support PCIe hot-plug.";

class UpdateRun {
  public:
    UpdateRun(const UpdateCommand& command, std::optional<ImageFile> image_file)
        : command_(command),
          image_file_(std::move(image_file)),
          journal_(update_journal(command.no_journal)) {}

    // Why no further board is updated, once a board has ended the run: a failed programming
    // run or reboot leaves a board that needs the operator's attention before anything else is
    // touched, and a stop signal stops the run.
    std::optional<std::string> end_reason() const {
        if (held_stop_) return "a stop signal ended the run";
        if (ended_) return "the run ended at an earlier board's failure";
        return std::nullopt;
    }

    UpdateOutcome update(BoardDevice& board);

    // Gives up the stop signal held since a programming run: it ends the program now.
    void release_held_stop() { held_stop_.reset(); }

  private:
    UpdateOutcome failed(UpdateOutcome outcome, std::string error) {
        outcome.result = UpdateResult::Failed;
        outcome.error = std::move(error);
        return outcome;
    }
    // The operator is shown the board, the image and what the journal says, and asked.
    bool operator_wants_write(const BoardDevice& board, const ChosenImage& chosen,
                              const Decision& decision);
    bool reboot_wanted();
    void reboot(BoardDevice& board, UpdateOutcome& outcome, std::optional<std::int64_t> record);
    // The programming run and what its result says about the flash.
    UpdateOutcome write(BoardDevice& board, const ChosenImage& chosen, UpdateOutcome outcome);

    const UpdateCommand& command_;
    std::optional<ImageFile> image_file_;
    RunJournal journal_;
    bool ended_ = false;
    // A stop signal that came during programming, held until the results are out.
    std::optional<StopSignalHold> held_stop_;
};

bool UpdateRun::operator_wants_write(const BoardDevice& board, const ChosenImage& chosen,
                                     const Decision& decision) {
    std::string about = fmt::format("Device {}: {}\n\tCurrent firmware: {}, \n", board.devnode,
                                    board_title(board), board.fw_version);
    if (chosen.version) {
        about += fmt::format("\tFirmware available: {}, \n", *chosen.version);
        if (*chosen.version == std::int32_t{board.fw_version}) {
            about += "\tNo firmware upgrade required\n";
        } else if (*chosen.version < std::int32_t{board.fw_version}) {
            about += "\tNo firmware upgrade required - firmware is newer\n";
        }
    } else {
        about += fmt::format("\tImage file: {} bytes\n", chosen.image.data.size());
    }
    // What the journal knows of the flash weighs more than the versions.
    if (decision.status == BoardStatus::Interrupted ||
        decision.status == BoardStatus::WriteFailed ||
        decision.status == BoardStatus::PendingPowerCycle) {
        about +=
            fmt::format("\t{}: {}\n", status_word(decision.status), decision.reason.value_or(""));
    }
    notice(about);
    return ask_operator(kUpdateQuestion);
}

bool UpdateRun::reboot_wanted() {
    switch (command_.reboot) {
        case RebootChoice::Reboot: return true;
        case RebootChoice::NoReboot: return false;
        case RebootChoice::Ask: return !command_.yes && ask_operator(kRebootQuestion);
    }
    return false;
}

void UpdateRun::reboot(BoardDevice& board, UpdateOutcome& outcome,
                       std::optional<std::int64_t> record) {
    auto reported = reboot_and_identify(board);
    if (!reported) {
        note_reboot(journal_, record,
                    RebootNote{.requested = true, .error = error_text(reported.error())});
        // As in the updater: a board whose reboot failed needs a manual power cycle first.
        ended_ = true;
        outcome = failed(std::move(outcome),
                         fmt::format("the reboot failed: {}; power the machine off and on to "
                                     "load the new firmware",
                                     error_text(reported.error())));
        return;
    }
    note_reboot(journal_, record,
                RebootNote{.requested = true, .version_after = reported->version});
    outcome.rebooted = true;
    outcome.version_after = reported->version;
    outcome.firmware_after = reported->firmware;
    if (reported->hardware) {
        outcome.hardware_after =
            fmt::format("{}.{}", reported->hardware->first, reported->hardware->second);
    }
    // A board that comes back unreadable or as other hardware is in no known state: the run
    // stops there, as after a failed reboot.
    if (!reported->version || !reported->firmware) {
        ended_ = true;
        outcome = failed(std::move(outcome),
                         reported->version
                             ? fmt::format("the board came back with an unreadable identity: it "
                                           "reports version \"{}\"",
                                           *reported->version)
                             : "the board came back with an unreadable identity: it reports no "
                               "readable version");
        return;
    }
    const std::pair<std::uint8_t, std::uint8_t> before{board.hw_major, board.hw_minor};
    if (reported->hardware.value_or(std::pair<std::uint8_t, std::uint8_t>{0, 0}) != before) {
        ended_ = true;
        outcome = failed(std::move(outcome),
                         fmt::format("the board came back with an unexpected identity: it "
                                     "reports version \"{}\", hardware {} where it had {}.{}",
                                     *reported->version, outcome.hardware_after.value_or("unknown"),
                                     board.hw_major, board.hw_minor));
        return;
    }
    if (outcome.image_version && *outcome.image_version != std::int32_t{*reported->firmware}) {
        outcome = failed(std::move(outcome),
                         fmt::format("after the reboot the board reports firmware {}, not the "
                                     "image's {}",
                                     *reported->firmware, *outcome.image_version));
    }
}

UpdateOutcome UpdateRun::write(BoardDevice& board, const ChosenImage& chosen,
                               UpdateOutcome outcome) {
    // A stop signal waits until the programming has ended: a block cut short between erase
    // and write would leave the board unbootable.
    held_stop_.emplace([] { notice(kHeldStopNotice); });
    ImageWrite written;
    {
        ProgressBar progress("writing", board.devnode, &*held_stop_, ProgressBar::Blocks::Counted);
        // Each block is read first and only one that differs is erased and written, unless
        // --full asks for every block.
        written = write_image(board, chosen, progress, journal_, &*held_stop_,
                              command_.full ? ProgrammingMode::Full : ProgrammingMode::Differing);
        outcome.retries = progress.retries();
    }
    board.close();
    // A stop signal that came meanwhile ends the run once the results are out.
    const bool stopping = held_stop_->stop_waiting();
    if (!stopping) held_stop_.reset();
    if (!written.refused) {
        outcome.blocks_written = written.report.blocks_written;
        outcome.blocks_unchanged = written.report.blocks_unchanged;
    }
    if (!written.programmed) {
        ended_ = true;
        const std::string error = error_text(written.programmed.error());
        if (written.refused) {
            return failed(outcome, fmt::format("the journal can't record the write, so nothing "
                                               "was written: {}",
                                               error));
        }
        // Only an erase or program command that went out can have changed the flash.
        return failed(outcome, written.report.flash_changed
                                   ? fmt::format("{}; the flash holds a partial image: do not "
                                                 "power off, contact support",
                                                 error)
                                   : fmt::format("{}; the write did not start: the flash holds "
                                                 "what it held before",
                                                 error));
    }
    outcome.result = UpdateResult::Updated;
    if (stopping) return outcome;
    if (reboot_wanted()) {
        reboot(board, outcome, written.record);
    } else {
        note_reboot(journal_, written.record, RebootNote{.requested = false});
    }
    return outcome;
}

UpdateOutcome UpdateRun::update(BoardDevice& board) {
    UpdateOutcome outcome(board);
    auto chosen = choose_image(board, image_file_ ? &*image_file_ : nullptr);
    if (!chosen) {
        outcome.result = update_result(chosen.error());
        outcome.error = chosen.error().detail();
        return outcome;
    }
    outcome.image_version = chosen->version;
    outcome.image_sha256 = chosen->sha256;
    const BoardIdentity identity = identity_of(board);
    const auto last_write = last_write_of(journal_.journal(), identity, true);
    const Decision decision =
        decide(identity, offer_of(chosen), last_write ? &*last_write : nullptr);
    if (command_.yes && !decision.writes_unattended(command_.force)) {
        const bool pending = decision.status == BoardStatus::PendingPowerCycle;
        outcome.result = pending ? UpdateResult::PendingPowerCycle : UpdateResult::UpToDate;
        if (pending) outcome.note = decision.reason;
        return outcome;
    }
    if (journal_.required() && journal_.journal() == nullptr) {
        return failed(outcome,
                      fmt::format("not written: the journal is unavailable ({}); --no-journal "
                                  "writes without it",
                                  journal_.problem() ? error_text(*journal_.problem()) : ""));
    }
    // The board is locked from here until it is closed: also while the operator is asked.
    if (auto opened = open_for_flash(board); !opened) return failed(outcome, opened.error());
    if (!command_.yes && !operator_wants_write(board, *chosen, decision)) {
        board.close();
        outcome.result = UpdateResult::Declined;
        return outcome;
    }
    // The part is identified and checked before the first erase; asked before, the operator
    // who declines leaves the board untouched.
    if (auto prepared = prepare_flash(board, chosen->image.data.size(), FlashUse::Write);
        !prepared) {
        return failed(outcome, prepared.error());
    }
    return write(board, *chosen, std::move(outcome));
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

    UpdateRun run(command, std::move(targets->image_file));
    std::vector<UpdateOutcome> outcomes;
    bool ok = true;
    for (BoardDevice* board : targets->boards) {
        UpdateOutcome outcome(*board);
        if (auto reason = run.end_reason()) {
            outcome.error = std::move(reason);
        } else {
            outcome = run.update(*board);
        }
        ok = ok && ended_as_asked(outcome.result);
        outcomes.push_back(std::move(outcome));
    }
    // The results end with a line break, so they are out before a held stop signal, which
    // ends the program now, takes effect.
    report(command.json ? update_json(outcomes, ok) : update_text(outcomes));
    run.release_held_stop();
    return ok ? kExitOk : kExitBoardFailed;
}

}  // namespace tarnvel::fw
