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

// The text as it can go to a terminal whatever a board, an archive or a file held: every C0
// and C1 control character and DEL written as \xNN (\u0080-\u009f for C1), every byte that
// does not begin a valid sequence as \xNN, the rest as it is. No escape sequence reaches the
// terminal, and no line break or carriage return a line that was not printed.
std::string printable(std::string_view bytes);

}  // namespace tarnvel
