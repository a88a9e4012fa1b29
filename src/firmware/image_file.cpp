#include "firmware/image_file.hpp"

#include <limits>

#include "base/trusted_file.hpp"

namespace tarnvel {

Result<std::vector<std::uint8_t>> read_image_file(const std::string& path) {
    return read_whole_file(path, std::numeric_limits<std::uint32_t>::max());
}

}  // namespace tarnvel
