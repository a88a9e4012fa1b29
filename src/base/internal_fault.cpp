#include "base/internal_fault.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>

#include "base/output.hpp"

namespace tarnvel {
void internal_fault(std::string_view what) {
    // Named after the program that runs, which may be either of the two built on this library.
    write_to_stderr(fmt::format("{}: internal fault: {}\n", program_invocation_short_name, what));
    std::_Exit(101);
}

}  // namespace tarnvel
