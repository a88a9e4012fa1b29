#include "firmware/image_name.hpp"

#include <array>
#include <limits>

namespace tarnvel {
namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

std::size_t count_digits(std::string_view text, std::size_t from) {
    std::size_t end = from;
    while (end < text.size() && is_digit(text[end])) ++end;
    return end - from;
}

// Bytes taken by the one character at `at`: a well-formed UTF-8 sequence counts whole, any
// other byte alone. 0 at the end of the text and for a line feed, which "." never matches.
std::size_t any_character_length(std::string_view text, std::size_t at) {
    if (at >= text.size() || text[at] == '\n') return 0;
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    }
    if (at + length > text.size()) return 1;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if (next < 0x80 || next > 0xBF) return 1;
    }
    return length;
}

bool bin_follows(std::string_view text, std::size_t at) {
    return text.substr(at, 3) == "bin";
}

// Matches "\d+_(\d+).bin" at `at` and returns the digits of the group, or an empty view.
// The first run of digits is followed by '_', which no shorter run could be, so it is always
// the whole run. The group is greedy: it takes the whole second run if a character and "bin"
// follow; otherwise it gives back one digit for "." to take ("qx480_1_23bin" captures "2").
// Giving back more cannot help, as "bin" would then have to start with a digit.
std::string_view match_rest(std::string_view text, std::size_t at) {
    const std::size_t build_digits = count_digits(text, at);
    if (build_digits == 0) return {};
    const std::size_t underscore = at + build_digits;
    if (underscore >= text.size() || text[underscore] != '_') return {};
    const std::size_t group = underscore + 1;
    const std::size_t group_digits = count_digits(text, group);
    if (group_digits == 0) return {};

    const std::size_t after_group = group + group_digits;
    if (const std::size_t any = any_character_length(text, after_group);
        any != 0 && bin_follows(text, after_group + any)) {
        return text.substr(group, group_digits);
    }
    if (group_digits >= 2 && bin_follows(text, after_group)) {
        return text.substr(group, group_digits - 1);
    }
    return {};
}

// Decimal digits to a signed 32-bit number; leading zeros are fine, overflow gives nothing.
std::optional<std::int32_t> parse_version(std::string_view digits) {
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    std::int32_t value = 0;
    for (char c : digits) {
        const std::int32_t digit = c - '0';
        if (value > (kMax - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

constexpr std::array<std::string_view, kBoardKindCount> kPrefixByKind = {
    "",          // 0: unsupported
    "qx410ml_",  // 1: QX410
    "qx410ml_",  // 2: QX410M2 has an archive of its own, but its images share the QX410 names
    "qx410ml_",  // 3: QX410BP
    "qx480_",    // 4: QX480 with BPI flash
    "qx480_",    // 5: QX480 with SPI flash
    "qx400_",    // 6: QX400
    "qx610_",    // 7: QX610 with BPI flash
    "qx630_",    // 8: QX630
    "qx610_",    // 9: QX610 with SPI flash
    "",          // 10: QX1800 loads its firmware dynamically
};

}  // namespace

std::optional<std::int32_t> ImageNamePattern::find_version(std::string_view name) const {
    if (prefix_.empty()) return std::nullopt;
    for (std::size_t start = name.find(prefix_); start != std::string_view::npos;
         start = name.find(prefix_, start + 1)) {
        const std::string_view digits = match_rest(name, start + prefix_.size());
        // The leftmost match decides, as in a regular-expression search; a version that
        // overflows rejects the name rather than sending us looking further along it.
        if (!digits.empty()) return parse_version(digits);
    }
    return std::nullopt;
}

ImageNamePattern image_name_pattern(BoardKind kind) {
    const auto index = static_cast<unsigned>(kind);
    return ImageNamePattern(index < kBoardKindCount ? kPrefixByKind[index] : std::string_view{});
}

}  // namespace tarnvel
