// tarnvel-flash: updates the configuration-flash firmware of every tarnvel board in the machine,
// one board after another, with the operator's confirmation for each write and each reboot.

#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "base/dialogue.hpp"
#include "base/internal_fault.hpp"
#include "base/output.hpp"
#include "bin/tarnvel-flash/board_loop.hpp"
#include "device/discovery.hpp"

namespace {

constexpr int kUsageError = 2;

constexpr const char* kHelp =
    "Usage: tarnvel-flash\n"
    "Updates the firmware in the configuration flash of every tarnvel board in this machine,\n"
    "one board after another: it shows each board and the image its archive in\n"
    "/lib/firmware/tarnvel holds for it, and asks before each write and each reboot.\n"
    "It takes no options. tarnvel-fw has them: a list of the boards, verification, a copy of\n"
    "a board's image, updates without questions and the journal of writes (tarnvel-fw --help,\n"
    "tarnvel-fw(8)).\n";

// The program takes no arguments: --help and --version are answered, anything else is refused
// before any board is looked at.
int answer_arguments(std::string_view argument, bool alone) {
    using namespace tarnvel;
    if (alone && argument == "--help") {
        print(kHelp);
    } else if (alone && argument == "--version") {
        print(fmt::format("tarnvel-flash {}\n", TARNVEL_VERSION));
    } else {
        write_to_stderr("Usage: tarnvel-flash (no arguments); for options, use tarnvel-fw: "
                        "tarnvel-fw --help\n");
        return kUsageError;
    }
    flush_output();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tarnvel;
    setup_standard_streams();
    if (argc > 1) return answer_arguments(argv[1], argc == 2);

    auto boards = discover_boards();
    if (!boards) {
        internal_fault(
            fmt::format("can't enumerate the boards through udev: {}", error_text(boards.error())));
    }
    run_board_loop(*boards);

    // Releasing the records closes any device node still open (a board whose bus reset failed).
    boards->clear();
    flush_output();
    return 0;
}
