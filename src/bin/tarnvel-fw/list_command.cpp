#include "bin/tarnvel-fw/list_command.hpp"

#include <vector>

#include "bin/tarnvel-fw/console.hpp"
#include "bin/tarnvel-fw/exit_status.hpp"
#include "bin/tarnvel-fw/reports.hpp"

namespace tarnvel::fw {

int run_list(std::span<const BoardDevice> boards, const ListCommand& command) {
    std::vector<ListedBoard> listed;
    listed.reserve(boards.size());
    for (const BoardDevice& board : boards) listed.push_back({&board, take_inventory(board)});
    report(command.json ? list_json(listed) : list_table(listed));
    return kExitOk;
}

}  // namespace tarnvel::fw
