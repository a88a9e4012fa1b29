#pragma once
// What an operator's terminal shows after it has received some bytes: the lines of the screen
// as a simple terminal draws them. Carriage return, line feed, tab stops every eight columns,
// cursor up and down and the erasures to the end of the line and of the screen are understood;
// any other control byte or escape sequence fails the test, since the program has no business
// sending it. A sequence cut off at the end is left out, as not yet arrived.

#include <string>
#include <string_view>
#include <vector>

namespace tarnvel::testing {

// The screen's lines, each without trailing blanks, the empty lines at the bottom dropped.
std::vector<std::string> render_terminal(std::string_view bytes);

}  // namespace tarnvel::testing
