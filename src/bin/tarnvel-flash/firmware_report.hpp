#pragma once
// What tarnvel-flash tells the operator about the image it found for a board.

#include <cstdint>
#include <optional>

#include "update/decision.hpp"

namespace tarnvel {

// Prints the image's version and, when it is not newer than the board's firmware, says so.
void report_firmware_image(std::int32_t image_version, std::optional<VersionOrder> versions);

}  // namespace tarnvel
