#pragma once
// A board's firmware identity in sysfs ("version") and its reboot through "reboot".

#include <cstdint>
#include <optional>
#include <utility>

#include <libudev.h>

#include "base/error.hpp"
#include "device/board_device.hpp"

namespace tarnvel {

// The hardware version pair from the device's "version"; fails when the attribute is absent or
// its text is not UTF-8. A hardware text the kind does not know gives (0, 0).
std::optional<std::pair<std::uint8_t, std::uint8_t>> read_hw_version(udev_device* device,
                                                                     BoardKind kind);
// The firmware version after the first "r" of "version", or none.
std::optional<std::uint16_t> read_fw_version(udev_device* device);

// Writes "1" to the board's "reboot" and reads its identity again. The board must be closed.
// On a failed write the identity stays as it was; if only the firmware part can't be read
// afterwards, the new hardware version is kept.
Status reboot_board(BoardDevice& board);

}  // namespace tarnvel
