#include "bin/tarnvel-fw/history_command.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "bin/tarnvel-fw/console.hpp"
#include "bin/tarnvel-fw/exit_status.hpp"
#include "bin/tarnvel-fw/journal_access.hpp"
#include "bin/tarnvel-fw/reports.hpp"
#include "update/rollback.hpp"

namespace tarnvel::fw {

int run_history(std::span<const BoardDevice> boards, const HistoryCommand& command) {
    const std::filesystem::path file = journal_file_from_environment();
    const std::optional<Journal> journal = read_journal();
    if (!journal) return kExitBoardFailed;
    HistorySelection selection{.since = command.since, .limit = command.limit};
    if (command.board) {
        // The board at that node now, and whatever was written through that node name: node
        // names may change between boots, slots don't.
        const auto board = std::ranges::find(boards, *command.board, &BoardDevice::devnode);
        if (board != boards.end() && !board->pci_address.empty()) {
            selection.slot = {board->pci_address, board->kind};
        }
        selection.devnode = *command.board;
        if (board == boards.end()) {
            auto named = journal->history({.devnode = *command.board, .limit = 1});
            if (!named) {
                journal_unavailable(named.error());
                return kExitBoardFailed;
            }
            if (named->empty()) {
                notice(fmt::format("tarnvel-fw: no board at {}, and no record of one there\n",
                                   *command.board));
                return kExitUsage;
            }
        }
    }
    auto records = journal->history(selection);
    if (!records) {
        journal_unavailable(records.error());
        return kExitBoardFailed;
    }
    note_backups_present(*records, BackupStore(file.parent_path()));
    // An empty answer says why it is empty.
    if (records->empty()) {
        const bool selected = command.board || command.since;
        notice(!std::filesystem::exists(file)
                   ? fmt::format("tarnvel-fw: no write has been recorded on this machine: the "
                                 "journal {} does not exist yet\n",
                                 file.string())
               : selected
                   ? std::string("tarnvel-fw: no record matches the selection\n")
                   : fmt::format("tarnvel-fw: the journal {} holds no record\n", file.string()));
    }
    report(command.json ? history_json(*records) : history_text(*records));
    return kExitOk;
}

}  // namespace tarnvel::fw
