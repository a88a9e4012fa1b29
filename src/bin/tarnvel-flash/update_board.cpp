#include "bin/tarnvel-flash/update_board.hpp"

#include <fmt/format.h>

#include "base/dialogue.hpp"
#include "base/stop_signals.hpp"
#include "bin/tarnvel-flash/firmware_report.hpp"
#include "bin/tarnvel-flash/progress_line.hpp"
#include "bin/tarnvel-flash/update_board_from.hpp"
#include "device/identity.hpp"
#include "device/register_channel.hpp"
#include "firmware/firmware_archive.hpp"
#include "flash/board_flash.hpp"
#include "flash/programming.hpp"

namespace tarnvel {
namespace {

void print_cannot_open(const Error& error) {
    print(fmt::format("\tCannot open device - {}\n", error_kind_text(error)));
}

// After a successful programming run: the board is closed, the new firmware is in its flash.
BoardOutcome offer_reboot(BoardDevice& board) {
    if (!ask("\tReboot device? This can crash systems that doesn't support PCIe hot-plug.")) {
        print("\r\tPlease power off and power on system manually to apply update\n");
        return BoardOutcome::Next;
    }
    print("\r\tRebooting device...\n");
    if (auto rebooted = reboot_board(board); !rebooted) {
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
    return update_board_from(board, kFirmwareDir);
}

BoardOutcome update_board_from(BoardDevice& board, std::string_view firmware_dir) {
    if (auto opened = open_board(board); !opened) {
        print_cannot_open(opened.error());
        return BoardOutcome::Next;
    }
    // A failed parallel-flash bus reset leaves the node open and the objects in the record:
    // they are released with every other record when the run ends.
    if (auto attached = attach_flash(board); !attached) {
        print_cannot_open(attached.error());
        return BoardOutcome::Next;
    }
    print(fmt::format("\tCurrent firmware: {}, \n", board.fw_version));

    if (board.kind == BoardKind::Qx1800) {
        board.close();
        print("\tQX1800 uses dynamic firmware loading - no flash update required!\n");
        return BoardOutcome::Next;
    }

    // The image lives until this board is left, whichever way that happens.
    auto image = find_firmware_image(board, firmware_dir);
    if (!image) {
        print(fmt::format("\tCannot find firmware archive: {}, \n", error_text(image.error())));
        board.close();
        return BoardOutcome::Next;
    }
    report_firmware_image(*image, board);

    // Asked even when the image is not newer: writing the same firmware again is the
    // operator's way to repair a damaged flash.
    if (!ask("\tUpdate firmware?")) {
        board.close();
        return BoardOutcome::Next;
    }
    {
        // A stop signal waits until the programming has ended and its closing line is out: a
        // block cut short between erase and write would leave the board unbootable.
        StopSignalHold hold([] { print(kHeldSignalNotice); });
        ProgressLine progress(hold);
        if (auto programmed = program_firmware(board, *image, progress); !programmed) {
            // The flash holds a partial image: the board must not be power-cycled or touched
            // by further updates before support has looked at it.
            print(
                fmt::format("\r\t!!! ERROR Updating firmware: {}, DO NOT POWER OFF system and "
                            "contact support ASAP !!!\n",
                            error_text(programmed.error())));
            board.close();
            return BoardOutcome::EndRun;
        }
        print("\r\tUpdating firmware done\n");
    }
    // The reboot goes through sysfs; the register channel is not needed again.
    board.close();
    return offer_reboot(board);
}

}  // namespace tarnvel
