#include "sim/support/temp_dir.hpp"

#include <stdlib.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

namespace tarnvel::sim {

Result<TempDir> TempDir::create(std::string_view prefix) {
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) base = "/tmp";
    std::string pattern = (base / prefix).string() + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return std::unexpected(Error::os(errno));
    return TempDir(Made{}, std::filesystem::path(pattern));
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}

TempDir& TempDir::operator=(TempDir&& other) noexcept {
    if (this != &other) {
        remove();
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

TempDir::~TempDir() {
    remove();
}

void TempDir::remove() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    path_.clear();
}

}  // namespace tarnvel::sim
