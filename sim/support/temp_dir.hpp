#pragma once
// A fresh directory under the system's temporary directory, removed with everything in it
// when the object goes away: the one scratch directory of the simulator, the tests and the
// benchmarks.

#include <filesystem>
#include <string_view>

#include "base/error.hpp"

namespace tarnvel::sim {

class TempDir {
  public:
    // Creates "<tmp>/<prefix>XXXXXX", readable only by its owner.
    static Result<TempDir> create(std::string_view prefix);
    // The same, with an empty path when it can't be made: for a test, which fails at its first
    // use of the directory.
    explicit TempDir(std::string_view prefix = "tarnvel-test.")
        : TempDir(create(prefix).value_or(TempDir(Made{}, {}))) {}

    TempDir(TempDir&& other) noexcept;
    TempDir& operator=(TempDir&& other) noexcept;
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::filesystem::path& path() const { return path_; }

  private:
    struct Made {};
    TempDir(Made, std::filesystem::path path) : path_(std::move(path)) {}
    void remove();

    std::filesystem::path path_;
};

}  // namespace tarnvel::sim
