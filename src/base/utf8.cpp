#include "base/utf8.hpp"

#include <fmt/format.h>

#include <cstdint>

namespace tarnvel {
namespace {

struct Decoded {
    char32_t code_point;
    std::size_t length;
};

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Decodes the sequence that starts at bytes[at]; nothing if it is malformed, truncated, an
// overlong form, a surrogate or beyond U+10FFFF.
std::optional<Decoded> decode_one(std::string_view bytes, std::size_t at) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80) return Decoded{lead, 1};

    std::size_t length = 0;
    char32_t code_point = 0;
    char32_t smallest = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        code_point = lead & 0x1Fu;
        smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        code_point = lead & 0x0Fu;
        smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        code_point = lead & 0x07u;
        smallest = 0x10000;
    } else {
        return std::nullopt;
    }
    if (bytes.size() - at < length) return std::nullopt;
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[at + i]);
        if (!is_continuation(byte)) return std::nullopt;
        code_point = (code_point << 6) | (byte & 0x3Fu);
    }
    if (code_point < smallest || code_point > 0x10FFFF) return std::nullopt;
    if (code_point >= 0xD800 && code_point <= 0xDFFF) return std::nullopt;
    return Decoded{code_point, length};
}

}  // namespace

std::optional<std::u32string> decode_utf8(std::string_view bytes) {
    std::u32string code_points;
    code_points.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const auto decoded = decode_one(bytes, at);
        if (!decoded) return std::nullopt;
        code_points.push_back(decoded->code_point);
        at += decoded->length;
    }
    return code_points;
}

bool is_valid_utf8(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const auto decoded = decode_one(bytes, at);
        if (!decoded) return false;
        at += decoded->length;
    }
    return true;
}

std::string replace_invalid_utf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        if (const auto decoded = decode_one(bytes, at)) {
            text.append(bytes.substr(at, decoded->length));
            at += decoded->length;
        } else {
            text.append("\xEF\xBF\xBD");
            ++at;
        }
    }
    return text;
}

std::string printable(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const auto decoded = decode_one(bytes, at);
        if (!decoded) {
            text += fmt::format("\\x{:02x}", static_cast<unsigned char>(bytes[at]));
            ++at;
            continue;
        }
        const char32_t c = decoded->code_point;
        if (c < 0x20 || c == 0x7F) {
            text += fmt::format("\\x{:02x}", static_cast<unsigned>(c));
        } else if (c >= 0x80 && c <= 0x9F) {
            text += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
        } else {
            text.append(bytes.substr(at, decoded->length));
        }
        at += decoded->length;
    }
    return text;
}

}  // namespace tarnvel
