#pragma once
// A board's firmware identity in sysfs ("version") and its reboot through "reboot".

#include <cstdint>
#include <optional>
#include <string>
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

// Writes "1" to the "reboot" of the board at `syspath` and reads its "version" again at once:
// the text as the kernel driver now reports it, none when the attribute is absent. Fails only
// when the board can't be found again or the write fails.
Result<std::optional<std::string>> reboot_and_read_version(const std::string& syspath);

// Takes a "version" text read after a reboot into the record: the hardware version as the
// kind maps it ((0, 0) when unknown), then the firmware version. Fails with "wrong hw version"
// when there is no text or it is not UTF-8, and with "wrong fw version" when its firmware part
// can't be read; the hardware version taken before that stays.
Status refresh_identity(BoardDevice& board, const std::optional<std::string>& version);

}  // namespace tarnvel
