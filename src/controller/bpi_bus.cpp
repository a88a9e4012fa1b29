#include "controller/bpi_bus.hpp"

#include "controller/register_access.hpp"

namespace tarnvel {
namespace {

constexpr std::uint32_t kAddressMask = 0xFFFFFF;  // CMD bits 0-23: the 16-bit-word address
constexpr std::uint32_t kSequentialShift = 24;    // the address advances with each DATA access
constexpr std::uint32_t kAccessShift = 26;        // set for every word access
constexpr std::uint32_t kBusy = 1U << 27;         // CMD as read: the flash is busy
constexpr std::uint32_t kWordAccess = 1U << kAccessShift;
constexpr std::uint32_t kSequentialAccess = kWordAccess | 1U << kSequentialShift;

struct Cycle {
    std::uint32_t address;
    std::uint16_t value;
};

// Back to read mode: reset commands before and after an unlock sequence, so that the flash
// reads its array whatever command state an earlier run left it in.
constexpr Cycle kResetCycles[] = {{0x555, 0xF0}, {0x555, 0xF0}, {0x555, 0xAA},
                                  {0x2AA, 0x55}, {0x555, 0xF0}, {0x555, 0xF0}};

}  // namespace

Status RegisterBpiBus::write_command(std::uint32_t value) {
    return write_register(fd_, registers_.command, value);
}

Status RegisterBpiBus::write_data_register(std::uint32_t value) {
    return write_register(fd_, registers_.data, value);
}

Status RegisterBpiBus::set_control(std::uint32_t address, std::uint32_t sequential,
                                   std::uint32_t access) {
    return write_command((address & kAddressMask) | sequential << kSequentialShift |
                         access << kAccessShift);
}

Status RegisterBpiBus::write_data(std::uint16_t value) {
    return write_data_register(value);
}

Result<std::uint16_t> RegisterBpiBus::read_data() {
    auto value = read_register(fd_, registers_.data);
    if (!value) return std::unexpected(value.error());
    return static_cast<std::uint16_t>(*value);
}

Result<bool> RegisterBpiBus::is_busy() {
    auto value = read_register(fd_, registers_.command);
    if (!value) return std::unexpected(value.error());
    return (*value & kBusy) != 0;
}

Status RegisterBpiBus::write_word(std::uint32_t address, std::uint16_t value) {
    if (auto set = write_command(kWordAccess | (address & kAddressMask)); !set) return set;
    return write_data_register(value);
}

Status RegisterBpiBus::write_words(std::uint32_t address, std::span<const std::uint16_t> words) {
    if (auto set = write_command(kSequentialAccess | (address & kAddressMask)); !set) return set;
    for (const std::uint16_t word : words) {
        if (auto written = write_data_register(word); !written) return written;
    }
    return {};
}

Result<std::uint16_t> RegisterBpiBus::read_word(std::uint32_t address) {
    if (auto set = write_command(kWordAccess | (address & kAddressMask)); !set) {
        return std::unexpected(set.error());
    }
    return RegisterBpiBus::read_data();
}

Status RegisterBpiBus::read_words(std::uint32_t address, std::span<std::uint16_t> words) {
    if (auto set = write_command(kSequentialAccess | (address & kAddressMask)); !set) return set;
    for (std::uint16_t& word : words) {
        auto value = read_register(fd_, registers_.data);
        if (!value) return std::unexpected(value.error());
        word = static_cast<std::uint16_t>(*value);
    }
    return {};
}

Status RegisterBpiBus::reset() {
    for (const Cycle& cycle : kResetCycles) {
        if (auto written = RegisterBpiBus::write_word(cycle.address, cycle.value); !written) {
            return written;
        }
    }
    return write_command(0);
}

}  // namespace tarnvel
