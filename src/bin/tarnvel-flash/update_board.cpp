#include "bin/tarnvel-flash/update_board.hpp"

#include <fmt/format.h>

#include <memory>
#include <string_view>

#include "base/dialogue.hpp"
#include "base/output.hpp"
#include "base/utf8.hpp"
#include "bin/tarnvel-flash/firmware_report.hpp"
#include "bin/tarnvel-flash/progress_line.hpp"
#include "bin/tarnvel-flash/update_board_from.hpp"
#include "update/update_run.hpp"

namespace tarnvel {
namespace {

// The one line on standard error a journal that can't be used gets; standard output stays
// the operator's dialogue, byte for byte.
void tell_journal_problem(const Error& problem) {
    write_to_stderr(
        fmt::format("tarnvel-flash: the journal is unavailable, writes are not recorded: {}\n",
                    printable(error_text(problem))));
}

// What the journal could not record of a board's write, on standard error as well: said with
// what the flash got, as the record left without its end says the write never ended.
void tell_end_unrecorded(const BoardUpdateReport& report) {
    write_to_stderr(fmt::format(
        "tarnvel-flash: the journal could not record the end of the write to {} ({}): {}, yet "
        "its record says the write never ended; run tarnvel-fw verify on the board\n",
        printable(report.board.devnode), printable(error_text(*report.end_unrecorded)),
        report.failure == UpdateFailure::Programming ? "the write failed"
                                                      : "the board was written and verified"));
}

// The program's journal: opened at the first write of the run.
RunJournal& program_journal() {
    static RunJournal journal(journal_file_from_environment(), "tarnvel-flash",
                              RunJournal::Need::BestEffort, tell_journal_problem);
    return journal;
}

class UpdaterDialogue final : public UpdateDialogue {
  public:
    void opened(const BoardIdentity& board) override {
        print(fmt::format("\tCurrent firmware: {}, \n", board.fw_version));
    }

    bool confirm_write(const WriteOffer& offer) override {
        report_firmware_image(offer.image.image.version, offer.decision.versions);
        return ask("\tUpdate firmware?");
    }

    std::unique_ptr<ProgrammingObserver> progress(const BoardIdentity&,
                                                  StopSignalHold* hold) override {
        // The updater writes one board at a time, always under a hold of its own.
        return std::make_unique<ProgressLine>(*hold);
    }

    void write_ended(const BoardUpdateReport& report) override {
        if (report.end_unrecorded) tell_end_unrecorded(report);
        if (report.failure == UpdateFailure::Programming) {
            // The flash holds a partial image: the board must not be power-cycled or touched
            // by further updates before support has looked at it.
            print(fmt::format("\r\t!!! ERROR Updating firmware: {}, DO NOT POWER OFF system and "
                              "contact support ASAP !!!\n",
                              printable(error_text(*report.error))));
            return;
        }
        print("\r\tUpdating firmware done\n");
    }

    void stopping() override { print(kHeldSignalNotice); }

    bool confirm_reboot(const BoardUpdateReport&) override {
        return ask("\tReboot device? This can crash systems that doesn't support PCIe hot-plug.");
    }

    void rebooting() override { print("\r\tRebooting device...\n"); }
};

void print_reboot_error(const Error& error) {
    print(fmt::format("\r\tError rebooting board: {}. Please power off and power on system "
                      "manually to apply update\n",
                      printable(error_text(error))));
}

// What the update left to say once it is over, and whether the run goes on.
BoardOutcome conclude(const BoardUpdateReport& report, const BoardDevice& board) {
    switch (report.result) {
        case UpdateResult::DynamicFirmware:
            print("\tQX1800 uses dynamic firmware loading - no flash update required!\n");
            return BoardOutcome::Next;
        case UpdateResult::NoArchive:
        case UpdateResult::NoImage:
            print(fmt::format("\tCannot find firmware archive: {}, \n",
                              report.error ? printable(error_text(*report.error)) : ""));
            return BoardOutcome::Next;
        case UpdateResult::Unsupported: return BoardOutcome::Next;  // never announced for one
        default: break;
    }
    switch (report.failure) {
        case UpdateFailure::Access:
            print(fmt::format("\tCannot open device - {}\n", error_kind_text(*report.error)));
            return BoardOutcome::Next;
        case UpdateFailure::Programming: return BoardOutcome::EndRun;  // said as the write ended
        case UpdateFailure::Reboot:
            print_reboot_error(*report.error);
            return BoardOutcome::EndRun;
        default: break;
    }
    if (report.result == UpdateResult::Declined) return BoardOutcome::Next;
    if (!report.rebooted) {
        print("\r\tPlease power off and power on system manually to apply update\n");
        return BoardOutcome::Next;
    }
    // A board that reports no readable identity after its reboot is in no known state; one
    // that reports another version than the image's is shown as it is.
    if (report.verdict == RebootVerdict::Unreadable) {
        print_reboot_error(*report.error);
        return BoardOutcome::EndRun;
    }
    print(fmt::format("\tFirmware after reboot: {}, \n", board.fw_version));
    return BoardOutcome::Next;
}

}  // namespace

BoardOutcome update_board(BoardDevice& board) {
    return update_board_from(board, kFirmwareDir, &program_journal());
}

BoardOutcome update_board_from(BoardDevice& board, std::string_view firmware_dir,
                               RunJournal* journal) {
    RunJournal unrecorded = RunJournal::without("tarnvel-flash");
    UpdaterDialogue dialogue;
    UpdateRun run(updater_policy(firmware_dir), journal != nullptr ? *journal : unrecorded,
                  dialogue);
    BoardDevice* const boards[] = {&board};
    const BoardUpdateReport report = std::move(run.run(boards).reports.front());
    if (report.reboot_unrecorded) {
        write_to_stderr(fmt::format("tarnvel-flash: the journal could not record the reboot of {} "
                                    "({})\n",
                                    printable(report.board.devnode),
                                    printable(error_text(*report.reboot_unrecorded))));
    }
    return conclude(report, board);
}

}  // namespace tarnvel
