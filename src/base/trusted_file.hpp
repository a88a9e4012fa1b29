#pragma once
// Files that a program running as root acts on only where no one but root and the user running
// it can have put them or changed them: the journal, the configuration that decides which
// images may be written, the backups written back to a board, the keys images are checked with.
//
// - a file is a regular file, not a symbolic link, owned by root or that user, and writable by
//   no one else (neither its group nor anyone);
// - its directory is a directory, not a symbolic link, owned by root or that user, and writable
//   by no one else, unless it is sticky (others can't then rename or remove what is not
//   theirs).
//
// The checks answer what is wrong in words that name what was found, or nothing.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"

namespace tarnvel {

// Root, or the user running this (real or effective).
bool trusted_owner(uid_t owner);

// "a symbolic link", "a FIFO", "a regular file"...: what `mode`'s type is, for a refusal.
std::string_view mode_type_text(mode_t mode);

// What is wrong with the directory `dir`, whose lstat is `info`, if anything.
std::optional<std::string> directory_problem(const std::filesystem::path& dir,
                                             const struct stat& info);

// Whether a file may have more than one name: one that is written must have one (a second
// name elsewhere is a way to have it written there); one that is only read may have several.
enum class FileNames : std::uint8_t { One, Any };

// What is wrong with the file at `path`, whose lstat (or fstat) is `info`, if anything; `name`
// is what the file is called in the answer ("it", or its path).
std::optional<std::string> file_problem(const std::filesystem::path& path, std::string_view name,
                                        const struct stat& info, FileNames names = FileNames::One);

// Refuses a directory whose files can't be trusted: `dir` must be an absolute path to a
// directory that passes directory_problem, every symbolic link above it followed. Absent is
// an error too. The text names the directory and what was found.
Status check_trusted_directory(const std::filesystem::path& dir);

// The whole of a file that only root and the caller can have written, read through a
// descriptor opened without following a last symbolic link and without waiting on a FIFO, its
// checks made on what was opened. `file` must be absolute. A symbolic link at its name is
// followed only to a file that passes the same checks in a directory that does, and a link to
// nothing is refused. Nothing at the name (nor a directory to hold it): none. A file larger
// than `largest` is refused. Every refusal says what was found, control characters in it
// escaped.
Result<std::optional<std::string>> read_trusted_file(const std::filesystem::path& file,
                                                     std::size_t largest);

// Refuses what is not a regular file: a directory as the system would (EISDIR), anything else
// saying what it is ("not a regular file but a FIFO").
Status check_regular_file(mode_t mode);

// The whole of a regular file of at most `largest` bytes, of any owner: an archive, an image,
// a signature. Looked at before it is opened and again once open, and opened without blocking,
// so that neither a FIFO nor a device at the name holds the run or is opened for long. A
// directory is refused as the system refuses it (EISDIR), anything else that is not a regular
// file as "not a regular file but a FIFO" and the like, and a file larger than `largest`, also
// one that grew past it while it was read, with EFBIG.
Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path, std::uint64_t largest);

}  // namespace tarnvel
