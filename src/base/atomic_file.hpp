#pragma once
// A file that appears whole or not at all: written as an unnamed file in its directory (or,
// where the file system has no unnamed files, under a short hidden name there), flushed to
// disk, then given its name. A reader never sees half a file, and a run cut short leaves the
// file as it was and, with an unnamed file, nothing else behind.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "base/error.hpp"

namespace tarnvel {

class AtomicFile {
  public:
    // Starts `path` in its directory. With `replace` false an existing file is never
    // overwritten, not even one that appears meanwhile (the commit fails with EEXIST). With
    // `replace` true only a regular file is replaced, and the new file keeps its permission
    // bits, owner and group (the commit fails when they can't be given to it, and the old file
    // stays); anything else of that name (a directory, a symbolic link, a device node, a FIFO)
    // is refused, here or at the commit, with an AlreadyExists error that says what it is.
    // A new file gets `mode` less the caller's umask, as open() gives it.
    static Result<AtomicFile> create(const std::filesystem::path& path, bool replace,
                                     mode_t mode = 0666);

    AtomicFile(AtomicFile&& other) noexcept;
    AtomicFile& operator=(AtomicFile&&) = delete;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    // Removes the temporary file unless committed.
    ~AtomicFile();

    Status write(std::span<const std::uint8_t> bytes);
    // Flushes the data to disk and gives the file its name, then flushes the directory.
    Status commit();

  private:
    AtomicFile(std::filesystem::path path, std::filesystem::path temporary, int fd, bool replace)
        : path_(std::move(path)), temporary_(std::move(temporary)), fd_(fd), replace_(replace) {}

    // Gives the file the permission bits, owner and group it is to have under its name.
    Status set_permissions() const;
    // Gives the file its name where no file of that name may be.
    Status link_as(const std::filesystem::path& name) const;

    std::filesystem::path path_;
    // The hidden name while the file is written; empty for an unnamed file.
    std::filesystem::path temporary_;
    int fd_ = -1;
    bool replace_ = false;
    bool committed_ = false;
};

// Writes the whole file `path` as an AtomicFile (create's `replace`) and commits it.
Status write_file_atomically(const std::filesystem::path& path, std::string_view bytes,
                             bool replace);

// What a file system object is, for a refusal: "a directory", "a symbolic link", "a FIFO"...
std::string_view file_type_text(std::filesystem::file_type type);

}  // namespace tarnvel
