#include "base/internal_fault.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tarnvel {
namespace {

// Writes to standard error directly: the diagnostic must not wait in, or depend on, the
// buffer of standard output.
void write_diagnostic(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

void internal_fault(std::string_view what) {
    // Named after the program that runs, which may be either of the two built on this library.
    write_diagnostic(fmt::format("{}: internal fault: {}\n", program_invocation_short_name, what));
    std::_Exit(101);
}

}  // namespace tarnvel
