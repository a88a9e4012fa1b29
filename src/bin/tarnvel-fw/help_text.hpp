#pragma once
// Help text that fits the terminal it is read on.

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnvel::fw {

// The width help is wrapped at: the terminal's on standard output, else COLUMNS, else 80; never
// below 40.
std::size_t help_width();

// `text` with every line longer than `width` broken at blanks; a line's continuations are
// indented as far as the line itself, plus `hanging`, or, for a row of two columns (a run of
// blanks after its first words), as far as its second column. Words longer than a line stay
// whole.
std::string wrap_text(std::string_view text, std::size_t width, std::size_t hanging = 0);

}  // namespace tarnvel::fw
