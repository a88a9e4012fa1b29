#pragma once

#include <cstdint>
#include <vector>

namespace tarnvel {

// The image chosen for a board: the version its archive entry's name carries, and its bytes.
struct FirmwareImage {
    std::int32_t version = 0;
    std::vector<std::uint8_t> data;
};

}  // namespace tarnvel
