#include "sim/support/file_text.hpp"

#include <cerrno>
#include <fstream>
#include <iterator>

namespace tarnvel::sim {

Status write_whole_file(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) return std::unexpected(Error::os(EIO));
    return {};
}

std::optional<std::string> read_whole_file(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace tarnvel::sim
