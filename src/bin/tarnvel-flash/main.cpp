// tarnvel-flash: updates the configuration-flash firmware of every tarnvel board in the machine,
// one board after another, with the operator's confirmation for each write and each reboot.

#include <vector>

#include <fmt/format.h>

#include "base/dialogue.hpp"
#include "base/internal_fault.hpp"
#include "bin/tarnvel-flash/board_loop.hpp"
#include "device/discovery.hpp"

int main() {
    using namespace tarnvel;
    setup_standard_streams();

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
