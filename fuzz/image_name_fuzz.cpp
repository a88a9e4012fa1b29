// Archive entry names through the kind's ImageNamePattern, held against std::regex searching
// the same pattern, "{prefix}\d+_(\d+).bin", anywhere in the name.
//
// Input layout: byte 0 picks the board kind (modulo the kind count), the rest is the name.
//
// The regular expression spells out what the matcher means by its parts, since std::regex
// works on bytes: "\d" is [0-9] (ASCII digits only, whatever the locale), and "." is one
// character that is not a line feed, where a lead byte with its continuation bytes counts as
// one character. A captured version above 2147483647 rejects the name.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

#include "firmware/image_name.hpp"
#include "fuzz_check.hpp"

namespace {

using tarnvel::BoardKind;
using tarnvel::fuzz::check;

// Longer names only make std::regex's backtracking recurse deeper; the matcher's paths are all
// reached well within this.
constexpr std::size_t kLongestName = 256;

// The prefix of each kind's images; kinds 0 and 10 have no images.
constexpr std::array<std::string_view, tarnvel::kBoardKindCount> kPrefixes = {
    "",       "qx410ml_", "qx410ml_", "qx410ml_", "qx480_", "qx480_",
    "qx400_", "qx610_",   "qx630_",   "qx610_",   ""};

const std::regex& pattern_for(std::string_view prefix) {
    // "." as a whole UTF-8 sequence (lead byte, then 1 to 3 bytes 0x80-0xBF) or any single
    // byte but a line feed.
    static const std::string any_character =
        "(?:[\xC2-\xDF][\x80-\xBF]|[\xE0-\xEF][\x80-\xBF]{2}|[\xF0-\xF4][\x80-\xBF]{3}|[^\n])";
    static std::map<std::string, std::regex, std::less<>> patterns;
    auto known = patterns.find(prefix);
    if (known == patterns.end()) {
        const std::string text = std::string(prefix) + "[0-9]+_([0-9]+)" + any_character + "bin";
        known = patterns.emplace(prefix, std::regex(text, std::regex::ECMAScript)).first;
    }
    return known->second;
}

std::optional<std::int32_t> expected_version(std::string_view prefix, std::string_view name) {
    if (prefix.empty()) return std::nullopt;
    std::match_results<std::string_view::const_iterator> match;
    if (!std::regex_search(name.begin(), name.end(), match, pattern_for(prefix))) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (const char c : match.str(1)) {
        value = value * 10 + (c - '0');
        if (value > INT32_MAX) return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size - 1 > kLongestName) return -1;
    const unsigned kind = data[0] % tarnvel::kBoardKindCount;
    const std::string_view name(reinterpret_cast<const char*>(data + 1), size - 1);

    const auto pattern = tarnvel::image_name_pattern(static_cast<BoardKind>(kind));
    check(pattern.prefix() == kPrefixes[kind], "kind has the wrong image-name prefix");
    check(pattern.find_version(name) == expected_version(kPrefixes[kind], name),
          "image-name match differs from the regular expression");
    return 0;
}
