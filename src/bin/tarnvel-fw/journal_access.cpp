#include "bin/tarnvel-fw/journal_access.hpp"

#include <fmt/format.h>

#include <utility>

#include "base/utf8.hpp"
#include "bin/tarnvel-fw/console.hpp"
#include "update/inventory.hpp"

namespace tarnvel::fw {
namespace {

constexpr const char* kProgram = "tarnvel-fw";

}  // namespace

void journal_unavailable(const Error& problem) {
    // Once per run: a journal that can't be read fails board after board alike.
    static bool told = false;
    if (std::exchange(told, true)) return;
    notice(fmt::format("tarnvel-fw: the journal is unavailable: {}\n",
                       printable(error_text(problem))));
}

std::optional<Journal> read_journal() {
    auto journal = Journal::open_for_reading(journal_file_from_environment());
    if (!journal) {
        journal_unavailable(journal.error());
        return std::nullopt;
    }
    return std::move(*journal);
}

RunJournal update_journal(const std::filesystem::path& state_dir, bool no_journal,
                          bool offer_no_journal) {
    if (no_journal) return RunJournal::without(kProgram);
    RunJournal journal(journal_file_in(state_dir), kProgram, RunJournal::Need::Required,
                       [offer_no_journal](const Error& problem) {
                           notice(fmt::format(
                               "tarnvel-fw: the journal is unavailable: {}; no board is "
                               "written without it{}\n",
                               printable(error_text(problem)),
                               offer_no_journal ? " (--no-journal writes anyway)" : ""));
                       });
    journal.journal();
    return journal;
}

std::optional<WriteRecord> last_write_of(const Journal* journal, const BoardIdentity& board,
                                         bool flash_touching, bool* unreadable) {
    if (journal == nullptr || board.pci_address.empty()) return std::nullopt;
    auto last = journal->last_write(board.pci_address, board.kind, flash_touching);
    if (!last) {
        journal_unavailable(last.error());
        if (unreadable != nullptr) *unreadable = true;
        return std::nullopt;
    }
    return std::move(*last);
}

std::vector<WriteRecord> missing_boards_in(const Journal& journal,
                                           std::span<const BoardDevice> boards) {
    auto missing = find_missing_boards(journal, boards);
    if (!missing) {
        journal_unavailable(missing.error());
        return {};
    }
    return std::move(*missing);
}

}  // namespace tarnvel::fw
