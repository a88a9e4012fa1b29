#pragma once
// A private directory for a test, removed with everything in it.

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace tarnvel::testing {

class ScratchDir {
  public:
    // "<tmp>/<prefix>XXXXXX"; an empty path when it can't be made.
    explicit ScratchDir(std::string_view prefix = "tarnvel-test.") {
        std::string pattern =
            std::filesystem::temp_directory_path() / (std::string(prefix) + "XXXXXX");
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace tarnvel::testing
