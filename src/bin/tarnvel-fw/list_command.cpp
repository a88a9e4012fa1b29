#include "bin/tarnvel-fw/list_command.hpp"

#include "bin/tarnvel-fw/configuration.hpp"
#include "bin/tarnvel-fw/journal_access.hpp"
#include "bin/tarnvel-fw/console.hpp"
#include "bin/tarnvel-fw/exit_status.hpp"
#include "bin/tarnvel-fw/reports.hpp"

namespace tarnvel::fw {

int run_list(std::span<const BoardDevice> boards, const ListCommand& command) {
    const std::optional<Configuration> configuration = program_configuration();
    if (!configuration) return kExitUsage;
    const Inventory inventory = take_inventory(boards, journal_file_from_environment(),
                                               journal_unavailable, configuration->images);
    if (boards.empty()) notice("tarnvel-fw: no board was found\n");
    report(command.json ? list_json(inventory.boards) : list_table(inventory.boards));
    // A board the journal knows that is gone needs the operator: its slot may need recovery.
    return inventory.any_missing ? kExitBoardFailed : kExitOk;
}

}  // namespace tarnvel::fw
