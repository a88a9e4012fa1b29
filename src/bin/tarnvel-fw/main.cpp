// tarnvel-fw: the board updater's engine for scripts and fleets: inventory, unattended update,
// verification and read-back, with JSON results and exit statuses a script can trust.

#include <fmt/format.h>

#include <variant>

#include "base/dialogue.hpp"
#include "base/internal_fault.hpp"
#include "bin/tarnvel-fw/command_line.hpp"
#include "bin/tarnvel-fw/dump_command.hpp"
#include "bin/tarnvel-fw/forget_command.hpp"
#include "bin/tarnvel-fw/history_command.hpp"
#include "bin/tarnvel-fw/list_command.hpp"
#include "bin/tarnvel-fw/metrics_command.hpp"
#include "bin/tarnvel-fw/update_command.hpp"
#include "bin/tarnvel-fw/verify_command.hpp"
#include "device/discovery.hpp"

namespace {

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};

}  // namespace

int main(int argc, char** argv) {
    using namespace tarnvel;
    using namespace tarnvel::fw;
    setup_standard_streams();

    const ParsedCommandLine parsed = parse_command_line(argc, argv);
    if (!parsed.command) return parsed.exit_status;

    auto boards = discover_boards();
    if (!boards) {
        internal_fault(
            fmt::format("can't enumerate the boards through udev: {}", error_text(boards.error())));
    }
    const int status =
        std::visit(Overloaded{
                       [&](const ListCommand& command) { return run_list(*boards, command); },
                       [&](const VerifyCommand& command) { return run_verify(*boards, command); },
                       [&](const DumpCommand& command) { return run_dump(*boards, command); },
                       [&](const UpdateCommand& command) { return run_update(*boards, command); },
                       [&](const HistoryCommand& command) { return run_history(*boards, command); },
                       [&](const MetricsCommand& command) { return run_metrics(*boards, command); },
                       [&](const ForgetCommand& command) { return run_forget(*boards, command); },
                   },
                   *parsed.command);
    boards->clear();
    flush_output();
    return status;
}
