#pragma once
// Conditions the programs do not handle: a diagnostic on standard error and exit status 101.

#include <string_view>

namespace tarnvel {

// Ends the program at once: "{program}: internal fault: {what}" on standard error, named after
// the running program, and exit status 101.
[[noreturn]] void internal_fault(std::string_view what);

}  // namespace tarnvel
