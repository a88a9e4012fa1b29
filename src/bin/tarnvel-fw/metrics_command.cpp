#include "bin/tarnvel-fw/metrics_command.hpp"

#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "base/atomic_file.hpp"
#include "bin/tarnvel-fw/configuration.hpp"
#include "bin/tarnvel-fw/journal_access.hpp"
#include "bin/tarnvel-fw/console.hpp"
#include "bin/tarnvel-fw/exit_status.hpp"
#include "bin/tarnvel-fw/metrics_report.hpp"

namespace tarnvel::fw {
namespace {

std::int64_t unix_seconds_now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int run_metrics(std::span<const BoardDevice> boards, const MetricsCommand& command) {
    const std::int64_t scraped_at = unix_seconds_now();
    const std::optional<Configuration> configuration = program_configuration();
    if (!configuration) return kExitUsage;
    const Inventory inventory = take_inventory(boards, journal_file_from_environment(),
                                               journal_unavailable, configuration->images);
    if (boards.empty()) notice("tarnvel-fw: no board was found\n");
    const std::string text = metrics_text(inventory.boards, inventory.journal_read, scraped_at);
    if (!command.output) {
        report(text);
        return kExitOk;
    }
    // The file appears whole or not at all: the collector reads the old metrics or the new
    // ones, under the same owner, group and mode.
    if (auto replaced = write_file_atomically(*command.output, text, true); !replaced) {
        notice(fmt::format("tarnvel-fw: can't write the metrics to {}: {}\n", *command.output,
                           error_text(replaced.error())));
        return kExitBoardFailed;
    }
    return kExitOk;
}

}  // namespace tarnvel::fw
