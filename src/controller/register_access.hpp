#pragma once
// Register accesses as the flash layer uses them: one register_read or register_write, with a
// failed request turned into the operating-system Error it carries. Inline, so that a register
// access stays one ioctl and nothing more.

#include <cstdint>

#include "base/error.hpp"
#include "device/register_channel.hpp"

namespace tarnvel {

inline Status write_register(int fd, std::uint32_t reg, std::uint32_t value) {
    if (auto written = register_write(fd, reg, value); !written) {
        return std::unexpected(to_error(written.error()));
    }
    return {};
}

inline Result<std::uint32_t> read_register(int fd, std::uint32_t reg) {
    auto value = register_read(fd, reg);
    if (!value) return std::unexpected(to_error(value.error()));
    return *value;
}

}  // namespace tarnvel
