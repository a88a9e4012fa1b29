#pragma once
// A raw flash image in a file of its own (a copy read back from a board, for example), as
// opposed to one taken from a firmware archive.

#include <cstdint>
#include <string>
#include <vector>

#include "base/error.hpp"

namespace tarnvel {

// The whole file. Only a regular file is read (a FIFO or a device is refused without being
// opened for long), and no more than 4 GiB, past the reach of any board's flash addressing.
Result<std::vector<std::uint8_t>> read_image_file(const std::string& path);

}  // namespace tarnvel
