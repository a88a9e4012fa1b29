#pragma once
// What an operator's terminal shows after it has received some bytes: the lines of the screen
// as a simple terminal draws them. Carriage return, line feed, tab stops every eight columns and
// the erase-to-end-of-line sequence are understood; any other control byte or escape sequence
// fails the test, since the program has no business sending it.

#include <string>
#include <string_view>
#include <vector>

namespace tarnvel::testing {

// The screen's lines, each without trailing blanks, the empty line under the cursor dropped.
std::vector<std::string> render_terminal(std::string_view bytes);

}  // namespace tarnvel::testing
