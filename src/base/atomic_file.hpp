#pragma once
// A file that appears whole or not at all: written under a temporary name in its directory,
// flushed to disk, then given its name. A reader never sees half a file, and a run cut short
// leaves the file as it was.

#include <cstdint>
#include <filesystem>
#include <span>

#include "base/error.hpp"

namespace tarnvel {

class AtomicFile {
  public:
    // Starts `path` in its directory. With `replace` false an existing file is never
    // overwritten, not even one that appears meanwhile.
    static Result<AtomicFile> create(const std::filesystem::path& path, bool replace);

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

    std::filesystem::path path_;
    std::filesystem::path temporary_;
    int fd_ = -1;
    bool replace_ = false;
    bool committed_ = false;
};

}  // namespace tarnvel
