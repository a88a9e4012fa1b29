#include "bin/tarnvel-fw/list_command.hpp"

#include <algorithm>

#include "bin/tarnvel-fw/configuration.hpp"
#include "bin/tarnvel-fw/console.hpp"
#include "bin/tarnvel-fw/exit_status.hpp"
#include "bin/tarnvel-fw/journal_access.hpp"
#include "bin/tarnvel-fw/reports.hpp"
#include "update/outcome.hpp"

namespace tarnvel::fw {

int run_list(std::span<const BoardDevice> boards, const ListCommand& command) {
    const std::optional<Configuration> configuration = program_configuration();
    if (!configuration) return kExitUsage;
    const Inventory inventory = take_inventory(boards, journal_file_from_environment(),
                                               journal_unavailable, configuration->images);
    if (boards.empty()) notice("tarnvel-fw: no board was found\n");
    report(command.json ? list_json(inventory.boards) : list_table(inventory.boards));
    // A listing fails only on a board gone from a slot the journal knows: it needs the
    // operator, its slot may need recovery. What the others need is what the list says.
    const bool lost = std::ranges::any_of(inventory.boards, [](const BoardListing& row) {
        return outcome_row(outcome_of(row.decision)).exit == ExitClass::Lost;
    });
    return lost ? kExitBoardFailed : kExitOk;
}

}  // namespace tarnvel::fw
