#pragma once
// A directory of the fuzz process's own, as the journal's and the backups' must be: made by
// mkdtemp (mode 0700, so writable by no one else), and removed with all it holds when the
// process ends.

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"

namespace tarnvel::fuzz {

class ScratchDirectory {
  public:
    explicit ScratchDirectory(std::string_view prefix) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
        check(::mkdtemp(pattern.data()) != nullptr, "a scratch directory is made");
        path_ = pattern;
    }
    ~ScratchDirectory() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace tarnvel::fuzz
