#include "device/sysfs_parse.hpp"

#include <charconv>
#include <type_traits>

#include "base/utf8.hpp"

namespace tarnvel {
namespace {

// ASCII digits only, whatever the locale says.
bool is_digit_of_base(char c, int base) {
    if (c >= '0' && c <= '9') return true;
    return base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
}

// The whole text as a number of type T: one optional "+" (or "-" when T is signed), then at
// least one digit and nothing else, within the range of T.
template <class T>
std::optional<T> parse_whole_number(std::string_view text, int base) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || (std::is_signed_v<T> && text.front() == '-'))) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    // A digit must follow the sign: this refuses "+-5" and a lone sign.
    if (text.empty() || !is_digit_of_base(text.front(), base)) return std::nullopt;
    // from_chars takes the minus sign itself, so the negative case parses the text with it.
    const char* first = negative ? text.data() - 1 : text.data();
    const char* last = text.data() + text.size();
    T value{};
    const auto [end, error] = std::from_chars(first, last, value, base);
    if (error != std::errc{} || end != last) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::uint16_t> parse_device_id(std::string_view text) {
    if (!is_valid_utf8(text)) return std::nullopt;
    while (text.starts_with("0x")) text.remove_prefix(2);
    return parse_whole_number<std::uint16_t>(text, 16);
}

std::string_view version_hw_part(std::string_view version) {
    return version.substr(0, version.find('r'));
}

std::optional<std::pair<std::uint8_t, std::uint8_t>> parse_hw_version(std::string_view version,
                                                                      BoardKind kind) {
    if (!is_valid_utf8(version)) return std::nullopt;
    return map_hw_version(kind, version_hw_part(version));
}

std::optional<std::uint16_t> parse_fw_version(std::string_view version) {
    if (!is_valid_utf8(version)) return std::nullopt;
    const auto first_r = version.find('r');
    if (first_r == std::string_view::npos) return std::nullopt;
    std::string_view fw_part = version.substr(first_r + 1);
    fw_part = fw_part.substr(0, fw_part.find('r'));
    return parse_whole_number<std::uint16_t>(fw_part, 10);
}

std::optional<std::int64_t> parse_software_id(std::string_view text) {
    if (!is_valid_utf8(text)) return std::nullopt;
    return parse_whole_number<std::int64_t>(text, 10);
}

}  // namespace tarnvel
