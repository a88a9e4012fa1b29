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
    auto records = journal->records();
    if (!records) {
        journal_unavailable(records.error());
        return kExitBoardFailed;
    }
    note_backups_present(*records, BackupStore(file.parent_path()));
    if (command.board) {
        // The board at that node now, and whatever was written through that node name: node
        // names may change between boots, slots don't.
        const auto board = std::ranges::find(boards, *command.board, &BoardDevice::devnode);
        const bool named_in_records =
            std::ranges::any_of(*records, [&](const WriteRecord& record) {
                return record.start.devnode == *command.board;
            });
        if (board == boards.end() && !named_in_records) {
            notice(fmt::format("tarnvel-fw: no board at {}, and no record of one there\n",
                               *command.board));
            return kExitUsage;
        }
        std::erase_if(*records, [&](const WriteRecord& record) {
            const bool same_slot = board != boards.end() && !board->pci_address.empty() &&
                                   record.start.pci_address == board->pci_address &&
                                   record.start.board_kind() == board->kind;
            return !same_slot && record.start.devnode != *command.board;
        });
    }
    if (command.since) {
        std::erase_if(*records, [&](const WriteRecord& record) {
            const auto started = unix_seconds_of(record.started);
            return !started || *started < *command.since;
        });
    }
    if (command.limit && records->size() > *command.limit) records->resize(*command.limit);
    // An empty answer says why it is empty.
    if (records->empty()) {
        const bool selected = command.board || command.since;
        notice(!std::filesystem::exists(file)
                   ? fmt::format("tarnvel-fw: no write has been recorded on this machine: the "
                                 "journal {} does not exist yet\n",
                                 file.string())
               : selected ? std::string("tarnvel-fw: no record matches the selection\n")
                          : fmt::format("tarnvel-fw: the journal {} holds no record\n",
                                        file.string()));
    }
    report(command.json ? history_json(*records) : history_text(*records));
    return kExitOk;
}

}  // namespace tarnvel::fw
