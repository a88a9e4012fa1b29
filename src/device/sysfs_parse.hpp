#pragma once
// Parsers for the sysfs texts that identify a board. Pure functions over the attribute values
// as libudev hands them out (trailing newline already removed), so that every odd value the
// kernel driver or a broken board could report can be tried without hardware.

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "device/board_table.hpp"

namespace tarnvel {

// The PCI parent's "device": any number of leading "0x" (lower-case only) are dropped, then one
// optional "+" and hexadecimal digits up to 0xFFFF.
std::optional<std::uint16_t> parse_device_id(std::string_view text);

// The hardware part of "version": everything before the first "r".
std::string_view version_hw_part(std::string_view version);

// The hardware version pair of "version" for the kind; (0, 0) for a hardware part the kind does
// not know. Nothing only when the text is not valid UTF-8.
std::optional<std::pair<std::uint8_t, std::uint8_t>> parse_hw_version(std::string_view version,
                                                                      BoardKind kind);

// The firmware version of "version": the decimal number between the first and the second "r"
// (or the end), with one optional "+", up to 65535.
std::optional<std::uint16_t> parse_fw_version(std::string_view version);

// The board's "software_id": a signed 64-bit decimal number with one optional "+" or "-".
std::optional<std::int64_t> parse_software_id(std::string_view text);

}  // namespace tarnvel
