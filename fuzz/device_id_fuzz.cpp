// The PCI parent's attribute "device" through parse_device_id and the kind lookup, held against
// a reading of the format written out here: leading lower-case "0x" dropped as often as it
// occurs, one optional "+", hexadecimal digits, at most 0xFFFF.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "device/board_table.hpp"
#include "device/sysfs_parse.hpp"
#include "fuzz_check.hpp"
#include "utf8_oracle.hpp"

namespace {

using tarnvel::fuzz::check;

std::optional<std::uint32_t> hex_digit(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<std::uint32_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<std::uint32_t>(c - 'A' + 10);
    return std::nullopt;
}

std::optional<std::uint16_t> expected_device_id(std::string_view text) {
    if (!tarnvel::fuzz::is_well_formed_utf8(text)) return std::nullopt;
    while (text.starts_with("0x")) text.remove_prefix(2);
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        const auto digit = hex_digit(c);
        if (!digit) return std::nullopt;
        value = value * 16 + *digit;
        if (value > 0xFFFF) return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// Device IDs 0x19 to 0x28 in order; every other ID is an unsupported device (kind 0).
constexpr std::uint8_t kKindFrom0x19[] = {1, 4, 6, 7, 0, 0, 8, 10, 1, 5, 2, 3, 9, 5, 8, 1};

unsigned expected_kind(std::uint16_t id) {
    return id >= 0x19 && id <= 0x28 ? kKindFrom0x19[id - 0x19] : 0;
}

void check_kind(std::uint16_t id) {
    const auto kind = static_cast<unsigned>(tarnvel::board_kind_for_device_id(id));
    check(kind == expected_kind(id), "device ID gives the wrong board kind");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto id = tarnvel::parse_device_id(text);
    check(id == expected_device_id(text), "device ID differs from the hexadecimal reading");
    if (id) check_kind(*id);
    // The lookup must hold for any ID, not only for those the parser lets through.
    if (size >= 2) check_kind(static_cast<std::uint16_t>(data[0] << 8 | data[1]));
    return 0;
}
