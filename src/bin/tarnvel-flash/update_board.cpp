#include "bin/tarnvel-flash/update_board.hpp"

#include <fmt/format.h>

#include <string_view>

#include "base/dialogue.hpp"
#include "base/output.hpp"
#include "base/stop_signals.hpp"
#include "bin/tarnvel-flash/firmware_report.hpp"
#include "bin/tarnvel-flash/progress_line.hpp"
#include "bin/tarnvel-flash/update_board_from.hpp"
#include "firmware/firmware_archive.hpp"
#include "programming/programming.hpp"
#include "update/image_choice.hpp"

namespace tarnvel {
namespace {

void print_cannot_open(const Error& error) {
    print(fmt::format("\tCannot open device - {}\n", error_kind_text(error)));
}

// The one line on standard error a journal that can't be used gets; standard output stays
// the operator's dialogue, byte for byte.
void tell_journal_problem(const Error& problem) {
    write_to_stderr(
        fmt::format("tarnvel-flash: the journal is unavailable, writes are not recorded: {}\n",
                    error_text(problem)));
}

// The program's journal: opened at the first write of the run.
RunJournal& program_journal() {
    static RunJournal journal(journal_file_from_environment(), "tarnvel-flash",
                              RunJournal::Need::BestEffort, tell_journal_problem);
    return journal;
}

// After a successful programming run: the board is closed, the new firmware is in its flash.
BoardOutcome offer_reboot(BoardDevice& board, RunJournal& journal,
                          const std::optional<std::int64_t>& record) {
    if (!ask("\tReboot device? This can crash systems that doesn't support PCIe hot-plug.")) {
        note_reboot(journal, record, RebootNote{.requested = false});
        print("\r\tPlease power off and power on system manually to apply update\n");
        return BoardOutcome::Next;
    }
    print("\r\tRebooting device...\n");
    if (auto rebooted = reboot_board(board, journal, record); !rebooted) {
        print(
            fmt::format("\r\tError rebooting board: {}. Please power off and power on system "
                        "manually to apply update\n",
                        error_text(rebooted.error())));
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
    RunJournal& records = journal != nullptr ? *journal : unrecorded;
    // A failed parallel-flash bus reset leaves the node open and the objects in the record:
    // they are released with every other record when the run ends.
    if (auto opened = open_for_flashing(board, FlashOpening::ResetBus); !opened) {
        print_cannot_open(opened.error().error);
        return BoardOutcome::Next;
    }
    print(fmt::format("\tCurrent firmware: {}, \n", board.fw_version));

    if (board.kind == BoardKind::Qx1800) {
        board.close();
        print("\tQX1800 uses dynamic firmware loading - no flash update required!\n");
        return BoardOutcome::Next;
    }

    // The image lives until this board is left, whichever way that happens.
    auto image = read_archive_image(board, firmware_dir);
    if (!image) {
        print(fmt::format("\tCannot find firmware archive: {}, \n", error_text(image.error())));
        board.close();
        return BoardOutcome::Next;
    }
    report_firmware_image(image->image, board);

    // Asked even when the image is not newer: writing the same firmware again is the
    // operator's way to repair a damaged flash.
    if (!ask("\tUpdate firmware?")) {
        board.close();
        return BoardOutcome::Next;
    }
    std::optional<std::int64_t> record;
    {
        // A stop signal waits until the programming has ended, its closing line is out and the
        // journal has its end: a block cut short between erase and write would leave the board
        // unbootable.
        StopSignalHold hold([] { print(kHeldSignalNotice); });
        ProgressLine progress(hold);
        ImageWrite written = write_image(board, *image, progress, records, &hold);
        record = written.record;
        if (!written.programmed) {
            // The flash holds a partial image: the board must not be power-cycled or touched
            // by further updates before support has looked at it.
            print(
                fmt::format("\r\t!!! ERROR Updating firmware: {}, DO NOT POWER OFF system and "
                            "contact support ASAP !!!\n",
                            error_text(written.programmed.error())));
            board.close();
            return BoardOutcome::EndRun;
        }
        print("\r\tUpdating firmware done\n");
    }
    // The reboot goes through sysfs; the register channel is not needed again.
    board.close();
    return offer_reboot(board, records, record);
}

}  // namespace tarnvel
