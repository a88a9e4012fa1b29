// The board attribute "software_id" through parse_software_id: one optional "+" or "-", then
// ASCII digits only, within a signed 64-bit number. Held against two readings: digits summed
// up in 128 bits, and std::from_chars after the sign rules; a value read must print back as
// the text with its "+" and leading zeros taken away.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "device/sysfs_parse.hpp"
#include "fuzz_check.hpp"
#include "utf8_oracle.hpp"

namespace {

using tarnvel::fuzz::check;

std::optional<std::int64_t> summed_digits(std::string_view text) {
    if (!tarnvel::fuzz::is_well_formed_utf8(text)) return std::nullopt;
    bool negative = false;
    if (text.starts_with('+') || text.starts_with('-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // One past the largest magnitude, so that the sum stops before it can overflow 128 bits.
    constexpr __int128 kLimit = static_cast<__int128>(std::numeric_limits<std::int64_t>::max()) + 2;
    __int128 magnitude = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > kLimit) magnitude = kLimit;
    }
    const __int128 value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<std::int64_t>::min() ||
        value > std::numeric_limits<std::int64_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
}

std::optional<std::int64_t> from_chars_reading(std::string_view text) {
    if (!tarnvel::fuzz::is_well_formed_utf8(text)) return std::nullopt;
    // from_chars takes a "-" itself but no "+"; a digit must follow either sign.
    const bool plus = text.starts_with('+');
    const std::string_view number = plus ? text.substr(1) : text;
    const std::size_t first_digit = !plus && number.starts_with('-') ? 1 : 0;
    if (number.size() <= first_digit || number[first_digit] < '0' || number[first_digit] > '9') {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const char* last = number.data() + number.size();
    const auto [end, error] = std::from_chars(number.data(), last, value);
    if (error != std::errc{} || end != last) return std::nullopt;
    return value;
}

// The text as the number prints: no "+", no leading zeros, "0" for any zero.
std::string canonical(std::string_view text) {
    bool negative = false;
    if (text.starts_with('+') || text.starts_with('-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
    if (text == "0") return "0";
    return (negative ? "-" : "") + std::string(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto id = tarnvel::parse_software_id(text);
    check(id == summed_digits(text), "software_id differs from the digits summed up");
    check(id == from_chars_reading(text), "software_id differs from std::from_chars");
    if (id) check(std::to_string(*id) == canonical(text), "software_id does not print back");
    return 0;
}
