#include "bin/tarnvel-fw/history_command.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <vector>

#include "bin/tarnvel-fw/console.hpp"
#include "bin/tarnvel-fw/exit_status.hpp"
#include "bin/tarnvel-fw/journal_access.hpp"
#include "bin/tarnvel-fw/reports.hpp"

namespace tarnvel::fw {

int run_history(std::span<const BoardDevice> boards, const HistoryCommand& command) {
    const std::optional<Journal> journal = read_journal();
    if (!journal) return kExitBoardFailed;
    auto records = journal->records();
    if (!records) {
        journal_unavailable(records.error());
        return kExitBoardFailed;
    }
    if (command.board) {
        // The board at that node now, and whatever was written through that node name: node
        // names may change between boots, slots don't.
        const auto board = std::ranges::find(boards, *command.board, &BoardDevice::devnode);
        std::erase_if(*records, [&](const WriteRecord& record) {
            const bool same_slot = board != boards.end() && !board->pci_address.empty() &&
                                   record.start.pci_address == board->pci_address &&
                                   record.start.board_kind() == board->kind;
            return !same_slot && record.start.devnode != *command.board;
        });
    }
    report(command.json ? history_json(*records) : history_text(*records));
    return kExitOk;
}

}  // namespace tarnvel::fw
