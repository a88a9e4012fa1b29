#pragma once
// Strict UTF-8 decoding: shortest forms only, no surrogates, nothing above U+10FFFF.

#include <optional>
#include <string>
#include <string_view>

namespace tarnvel {

// The code points of the text, or nothing when the bytes are not valid UTF-8.
std::optional<std::u32string> decode_utf8(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

// The text with every byte that does not begin a valid sequence replaced by U+FFFD, for
// formats that must be UTF-8 whatever a board or a file held.
std::string replace_invalid_utf8(std::string_view bytes);

}  // namespace tarnvel
