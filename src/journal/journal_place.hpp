#pragma once
// Where the journal may be opened. The programs run as root, and the journal's directory may be
// one that others can reach (a TARNVEL_STATE_DIR, a careless mode): root opening whatever lies
// at a name writes SQLite's pages wherever a symbolic link, a hard link or a device leads. So
// the journal is opened only where no one but root and the user running the program can have
// put it or can swap it:
//
// - its path is absolute (a relative one would give every working directory a journal of its
//   own) and short enough for SQLite to open it and the rollback journal beside it;
// - its directory is a directory, not a symbolic link, owned by root or that user, and writable
//   by no one else, unless it is sticky (others can't then rename or remove what is not theirs);
// - the file, and SQLite's own files beside it when they are there, are regular files with one
//   name, not symbolic links, owned by root or that user, and writable by no one else.
//
// Anything else is refused naming what was found, before the file is opened or anything made.

#include <cstdint>
#include <filesystem>

#include "base/error.hpp"

namespace tarnvel {

enum class JournalUse : std::uint8_t {
    Reading,  // nothing is made: a missing directory or file is no journal yet
    Writing,  // the missing directories are made (mode 0755), and the file (0644)
};

enum class JournalPresence : std::uint8_t { Absent, Present };

// Checks the journal's place, for `use`; answers whether the file is there (always, once
// made for writing). The error's text names the file and what was found.
Result<JournalPresence> prepare_journal_place(const std::filesystem::path& file, JournalUse use);

}  // namespace tarnvel
