#include "device/identity.hpp"

#include <cerrno>

#include "device/sysfs_parse.hpp"
#include "device/udev_ptr.hpp"

namespace tarnvel {
namespace {

// errno as libudev left it, or the fallback when it left none.
int udev_errno_or(int fallback) {
    return errno != 0 ? errno : fallback;
}

}  // namespace

std::optional<std::pair<std::uint8_t, std::uint8_t>> read_hw_version(udev_device* device,
                                                                     BoardKind kind) {
    const char* version = udev_device_get_sysattr_value(device, "version");
    if (version == nullptr) return std::nullopt;
    return parse_hw_version(version, kind);
}

std::optional<std::uint16_t> read_fw_version(udev_device* device) {
    const char* version = udev_device_get_sysattr_value(device, "version");
    if (version == nullptr) return std::nullopt;
    return parse_fw_version(version);
}

Result<std::optional<std::string>> reboot_and_read_version(const std::string& syspath) {
    // Discovery kept no udev handle, so the board is found again by its sysfs path.
    errno = 0;
    const UdevPtr context(udev_new());
    if (!context) return std::unexpected(Error::sysfs_write(udev_errno_or(ENOMEM)));
    errno = 0;
    const UdevDevicePtr device(udev_device_new_from_syspath(context.get(), syspath.c_str()));
    if (!device) return std::unexpected(Error::sysfs_write(udev_errno_or(ENODEV)));

    // The kernel driver restarts the board before the write returns and reports the new
    // firmware in "version" from then on, so the identity is read at once, without waiting.
    if (const int result = udev_device_set_sysattr_value(device.get(), "reboot", "1"); result < 0) {
        return std::unexpected(Error::sysfs_write(-result));
    }
    const char* version = udev_device_get_sysattr_value(device.get(), "version");
    if (version == nullptr) return std::optional<std::string>();
    return std::optional<std::string>(version);
}

Status refresh_identity(BoardDevice& board, const std::optional<std::string>& version) {
    const auto hw = version ? parse_hw_version(*version, board.kind) : std::nullopt;
    if (!hw) return std::unexpected(Error::message(ErrorKind::InvalidInput, kWrongHwVersion));
    board.hw_major = hw->first;
    board.hw_minor = hw->second;
    const auto fw = parse_fw_version(*version);
    if (!fw) return std::unexpected(Error::message(ErrorKind::InvalidInput, kWrongFwVersion));
    board.fw_version = *fw;
    return {};
}

}  // namespace tarnvel
