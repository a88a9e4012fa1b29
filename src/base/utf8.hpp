#pragma once
// Strict UTF-8 decoding: shortest forms only, no surrogates, nothing above U+10FFFF.

#include <optional>
#include <string>
#include <string_view>

namespace tarnvel {

// The code points of the text, or nothing when the bytes are not valid UTF-8.
std::optional<std::u32string> decode_utf8(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

}  // namespace tarnvel
