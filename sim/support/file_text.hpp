#pragma once
// Whole small files, byte for byte: sysfs attribute texts, saved machine records.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace tarnvel::sim {

// Replaces the file's content with `bytes`, making it when missing.
Status write_whole_file(const std::filesystem::path& path, std::string_view bytes);
// The file's content; none when it can't be opened.
std::optional<std::string> read_whole_file(const std::filesystem::path& path);

}  // namespace tarnvel::sim
