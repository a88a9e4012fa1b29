#pragma once
// A second, table-driven reading of UTF-8 for the fuzz targets to hold the program's decoder
// against: the well-formed byte sequences exactly as the Unicode standard lists them, with the
// allowed range of each continuation byte written out instead of computed.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnvel::fuzz {

namespace utf8_detail {

struct SequenceForm {
    unsigned char lead_low, lead_high;
    unsigned char second_low, second_high;  // the byte after the lead byte
    std::size_t length;
};

// Every well-formed sequence of two or more bytes: the lead byte's range fixes the length and
// the allowed range of the second byte (which shuts out overlong forms, surrogates and code
// points above U+10FFFF); every later byte is 0x80 to 0xBF.
inline constexpr SequenceForm kForms[] = {
    {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3}, {0xE1, 0xEC, 0x80, 0xBF, 3},
    {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3}, {0xF0, 0xF0, 0x90, 0xBF, 4},
    {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
};

inline unsigned char byte_at(std::string_view text, std::size_t at) {
    return static_cast<unsigned char>(text[at]);
}

// The length of the well-formed sequence at `at`, or 0.
inline std::size_t sequence_length(std::string_view text, std::size_t at) {
    const unsigned char lead = byte_at(text, at);
    if (lead < 0x80) return 1;
    for (const auto& form : kForms) {
        if (lead < form.lead_low || lead > form.lead_high) continue;
        if (text.size() - at < form.length) return 0;
        const unsigned char second = byte_at(text, at + 1);
        if (second < form.second_low || second > form.second_high) return 0;
        for (std::size_t i = 2; i < form.length; ++i) {
            const unsigned char next = byte_at(text, at + i);
            if (next < 0x80 || next > 0xBF) return 0;
        }
        return form.length;
    }
    return 0;
}

}  // namespace utf8_detail

// The code points of `text`, or nothing when it is not well-formed UTF-8.
inline std::optional<std::u32string> code_points(std::string_view text) {
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::u32string points;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8_detail::sequence_length(text, at);
        if (length == 0) return std::nullopt;
        char32_t point = utf8_detail::byte_at(text, at) & kLeadBits[length];
        for (std::size_t i = 1; i < length; ++i) {
            point = (point << 6) | (utf8_detail::byte_at(text, at + i) & 0x3Fu);
        }
        points.push_back(point);
        at += length;
    }
    return points;
}

inline bool is_well_formed_utf8(std::string_view text) {
    return code_points(text).has_value();
}

}  // namespace tarnvel::fuzz
