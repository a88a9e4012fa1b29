#pragma once
// The journal as tarnvel-fw's commands reach it: where it is, what the commands that only read
// it get when it can't be read, and the notices that say so on standard error.

#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "update/board_identity.hpp"
#include "journal/journal.hpp"
#include "journal/run_journal.hpp"

namespace tarnvel::fw {

// The notice on standard error that the journal can't be read, naming the problem; given once
// per run.
void journal_unavailable(const Error& problem);

// The journal for a command that only reads it: none, after a notice naming the file and the
// problem, when it can't be read. A journal that does not exist yet reads as empty.
std::optional<Journal> read_journal();

// The journal for `update` and `rollback`, in the run's state directory `state_dir`: opened
// for writing now (the decisions read it), required unless --no-journal asks for none; a
// problem is told on standard error, with --no-journal as the way on only where the command
// has it (`rollback` has not).
RunJournal update_journal(const std::filesystem::path& state_dir, bool no_journal,
                          bool offer_no_journal = true);

// The board's newest record (with `flash_touching`, of a write that changed or may have
// changed its flash); none without a journal, and when it can't be read (with a notice, and
// `*unreadable` set when given).
std::optional<WriteRecord> last_write_of(const Journal* journal, const BoardIdentity& board,
                                         bool flash_touching, bool* unreadable = nullptr);

// The last records of the boards the journal knows that are not among `boards` (they are
// missing); none, after a notice, when the journal can't be read.
std::vector<WriteRecord> missing_boards_in(const Journal& journal,
                                           std::span<const BoardDevice> boards);

}  // namespace tarnvel::fw
