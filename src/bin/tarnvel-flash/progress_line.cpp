#include "bin/tarnvel-flash/progress_line.hpp"

#include <fmt/format.h>

#include "base/dialogue.hpp"
#include "base/output.hpp"

namespace tarnvel {

void print_progress(Output& out, std::uint32_t percent) {
    print(out, fmt::format("\r\tUpdating firmware: {:3}%", percent));
    // The operator sees the line at once, though it has no line break yet.
    (void)out.flush();
}

void print_progress(std::uint32_t percent) {
    print(fmt::format("\r\tUpdating firmware: {:3}%", percent));
    flush_output();
}

void ProgressLine::pass_started(const BlockPass& pass) {
    // The block boundary is where the run looks up from the flash: an operator who pressed
    // Ctrl-C hears at once that it was seen, and why nothing seems to happen.
    if (hold_.stop_newly_seen()) print(kStopSeenNotice);
    // Shown before each pass; never reaches 100, the caller's "done" line follows.
    print_progress((pass.block * 100) / pass.block_count);
}

void ProgressLine::retrying(const BlockPass&) {
    print("\r\tWrite error, retrying...\n");
}

}  // namespace tarnvel
