#include "bin/tarnvel-fw/forget_command.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <vector>

#include "base/utf8.hpp"
#include "bin/tarnvel-fw/board_selection.hpp"
#include "bin/tarnvel-fw/console.hpp"
#include "bin/tarnvel-fw/exit_status.hpp"
#include "bin/tarnvel-fw/journal_access.hpp"
#include "bin/tarnvel-fw/reports.hpp"
#include "journal/host.hpp"
#include "update/inventory.hpp"

namespace tarnvel::fw {
namespace {

// Why the slot has nothing to forget: its board is found, or the journal knows none there.
std::string nothing_to_forget(std::span<const BoardDevice> boards, const std::string& pci,
                              std::span<const WriteRecord> missing) {
    const auto found = std::ranges::find(boards, pci, &BoardDevice::pci_address);
    if (found != boards.end()) {
        return fmt::format("the board in PCI slot {} is not missing: it is found at {}", pci,
                           found->devnode);
    }
    std::vector<std::string> slots;
    for (const WriteRecord& record : missing) slots.push_back(record.start.pci_address);
    return slots.empty() ? fmt::format(
                               "the journal knows no missing board in PCI slot {}; no board is "
                               "missing",
                               pci)
                         : fmt::format(
                               "the journal knows no missing board in PCI slot {}; the missing "
                               "boards are in {}",
                               pci, fmt::join(slots, ", "));
}

}  // namespace

int run_forget(std::span<const BoardDevice> boards, const ForgetCommand& command) {
    const std::optional<Journal> reader = read_journal();
    if (!reader) return kExitBoardFailed;
    auto missing = find_missing_boards(*reader, boards);
    if (!missing) {
        journal_unavailable(missing.error());
        return kExitBoardFailed;
    }
    std::vector<WriteRecord> gone;
    for (const WriteRecord& record : *missing) {
        if (record.start.pci_address == command.pci) gone.push_back(record);
    }
    if (gone.empty()) {
        notice(fmt::format("tarnvel-fw: {}\n",
                           printable(nothing_to_forget(boards, command.pci, *missing))));
        return kExitUsage;
    }

    for (const WriteRecord& last : gone) {
        notice(
            fmt::format("{}\tlast write #{} started {}: {}\n",
                        board_line(last_known_identity(last),
                                   fmt::format("missing in PCI slot {}", printable(command.pci))),
                        last.id, last.started, record_result(last)));
    }
    if (!command.yes &&
        !ask_operator("\tForget it? Its records stay for history, and the slot is no longer "
                      "reported missing")) {
        for (const WriteRecord& last : gone) {
            report(board_line(last_known_identity(last), "not forgotten, as answered"));
        }
        return kExitOk;
    }

    auto journal = Journal::open_for_writing(journal_file_from_environment());
    if (!journal) {
        journal_unavailable(journal.error());
        return kExitBoardFailed;
    }
    const std::string by = requested_by().value_or(user_name());
    for (const WriteRecord& last : gone) {
        auto retired = journal->retire(command.pci, last.start.kind, by);
        if (!retired) {
            journal_unavailable(retired.error());
            return kExitBoardFailed;
        }
        report(board_line(last_known_identity(last),
                          fmt::format("forgotten in PCI slot {}: {} record{} retired, kept for "
                                      "history",
                                      command.pci, *retired, *retired == 1 ? "" : "s")));
    }
    return kExitOk;
}

}  // namespace tarnvel::fw
