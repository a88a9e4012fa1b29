#include "bin/tarnvel-fw/update_command.hpp"

#include <fmt/format.h>

#include <optional>
#include <vector>

#include "base/stop_signals.hpp"
#include "bin/tarnvel-fw/board_access.hpp"
#include "bin/tarnvel-fw/board_selection.hpp"
#include "bin/tarnvel-fw/console.hpp"
#include "bin/tarnvel-fw/exit_status.hpp"
#include "bin/tarnvel-fw/progress_bar.hpp"
#include "bin/tarnvel-fw/reports.hpp"
#include "device/identity.hpp"
#include "flash/programming.hpp"

namespace tarnvel::fw {
namespace {

constexpr const char* kUpdateQuestion = "\tUpdate firmware?";
constexpr const char* kRebootQuestion =
    "\tReboot device? This can crash systems that doesn't support PCIe hot-plug.";

class UpdateRun {
  public:
    UpdateRun(const UpdateCommand& command, std::optional<std::vector<std::uint8_t>> image_file)
        : command_(command), image_file_(std::move(image_file)) {}

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
    // Unattended, an image is written when it is newer, or when forced.
    bool unattended_write_wanted(const BoardDevice& board, const ChosenImage& chosen) const;
    // Otherwise the operator is shown the board and the image and asked.
    bool operator_wants_write(const BoardDevice& board, const ChosenImage& chosen);
    bool reboot_wanted();
    void reboot(BoardDevice& board, UpdateOutcome& outcome);

    const UpdateCommand& command_;
    std::optional<std::vector<std::uint8_t>> image_file_;
    bool ended_ = false;
    // A stop signal that came during programming, held until the results are out.
    std::optional<StopSignalHold> held_stop_;
};

bool UpdateRun::unattended_write_wanted(const BoardDevice& board, const ChosenImage& chosen) const {
    // Compared in 32 bits: an image version above 65535 is newer than any board firmware.
    const bool newer = chosen.version && *chosen.version > std::int32_t{board.fw_version};
    return newer || command_.force;
}

bool UpdateRun::operator_wants_write(const BoardDevice& board, const ChosenImage& chosen) {
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

void UpdateRun::reboot(BoardDevice& board, UpdateOutcome& outcome) {
    if (auto rebooted = reboot_board(board); !rebooted) {
        // As in the updater: a board whose reboot failed needs a manual power cycle first.
        ended_ = true;
        outcome = failed(std::move(outcome),
                         fmt::format("the reboot failed: {}; power the machine off and on to "
                                     "load the new firmware",
                                     error_text(rebooted.error())));
        return;
    }
    outcome.rebooted = true;
    outcome.firmware_after = board.fw_version;
    if (outcome.image_version && *outcome.image_version != std::int32_t{board.fw_version}) {
        outcome = failed(std::move(outcome),
                         fmt::format("after the reboot the board reports firmware {}, not the "
                                     "image's {}",
                                     board.fw_version, *outcome.image_version));
    }
}

UpdateOutcome UpdateRun::update(BoardDevice& board) {
    UpdateOutcome outcome(board);
    auto chosen = choose_image(board, image_file_);
    if (!chosen) {
        outcome.result = update_result(chosen.error());
        outcome.error = std::move(chosen.error().error);
        return outcome;
    }
    outcome.image_version = chosen->version;
    if (command_.yes && !unattended_write_wanted(board, *chosen)) {
        outcome.result = UpdateResult::UpToDate;
        return outcome;
    }
    // The board is locked from here until it is closed: also while the operator is asked.
    if (auto opened = open_for_flash(board); !opened) return failed(outcome, opened.error());
    if (!command_.yes && !operator_wants_write(board, *chosen)) {
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

    // A stop signal waits until the programming has ended: a block cut short between erase
    // and write would leave the board unbootable.
    held_stop_.emplace([] { notice(kHeldStopNotice); });
    Status programmed;
    {
        ProgressBar progress("writing", board.devnode, &*held_stop_);
        programmed = program_firmware(board, chosen->image, progress);
        outcome.retries = progress.retries();
    }
    board.close();
    // A stop signal that came meanwhile ends the run once the results are out.
    const bool stopping = held_stop_->stop_waiting();
    if (!stopping) held_stop_.reset();
    if (!programmed) {
        ended_ = true;
        return failed(outcome, fmt::format("{}; the flash holds a partial image: do not power "
                                           "off, contact support",
                                           error_text(programmed.error())));
    }
    outcome.result = UpdateResult::Updated;
    if (!stopping && reboot_wanted()) reboot(board, outcome);
    return outcome;
}

}  // namespace

int run_update(std::span<BoardDevice> boards, const UpdateCommand& command) {
    auto targets = resolve_targets(boards, command.boards, command.image);
    if (!targets) {
        notice(fmt::format("tarnvel-fw: {}\n", targets.error()));
        return kExitUsage;
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
