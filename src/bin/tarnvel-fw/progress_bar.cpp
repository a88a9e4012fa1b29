#include "bin/tarnvel-fw/progress_bar.hpp"

#include <fmt/format.h>

#include "base/utf8.hpp"
#include "bin/tarnvel-fw/console.hpp"

namespace tarnvel::fw {
namespace {

constexpr std::size_t kBarWidth = 24;
// Carriage return and ECMA-48 "erase in line": the bar's line is drawn anew each time.
constexpr std::string_view kClearLine = "\r\x1b[K";

std::string time_left_text(std::chrono::steady_clock::duration elapsed, std::uint64_t done,
                           std::uint64_t total) {
    if (done == 0) return "";
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             elapsed * static_cast<long>(total - done) / static_cast<long>(done))
                             .count();
    return fmt::format("  {}:{:02} left", seconds / 60, seconds % 60);
}

}  // namespace

std::string byte_size_text(std::uint64_t bytes) {
    if (bytes < 1024) return fmt::format("{} B", bytes);
    if (bytes < 1024 * 1024) return fmt::format("{:.1f} KiB", static_cast<double>(bytes) / 1024);
    return fmt::format("{:.1f} MiB", static_cast<double>(bytes) / (1024 * 1024));
}

ProgressBar::ProgressBar(std::string_view activity, std::string_view node, StopSignalHold* hold,
                         Blocks blocks)
    : label_(fmt::format("{} {}", printable(node), activity)),
      hold_(hold),
      blocks_(blocks),
      draw_(stderr_is_terminal()),
      start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() {
    clear_line();
}

void ProgressBar::clear_line() {
    if (!drawn_) return;
    notice(kClearLine);
    drawn_ = false;
}

void ProgressBar::pass_started(const BlockPass& pass) {
    block_starts(pass);
}

void ProgressBar::compare_started(const BlockPass& pass) {
    block_starts(pass);
}

void ProgressBar::block_unchanged(const BlockPass&) {
    ++unchanged_;
}

void ProgressBar::block_starts(const BlockPass& pass) {
    if (hold_ != nullptr && hold_->stop_newly_seen()) {
        clear_line();
        notice(kStopSeenNotice);
    }
    if (!draw_) return;
    const std::uint64_t done = pass.offset;
    const std::uint64_t total = pass.image_length;
    // Every block before this one was either written or found holding the image (those are
    // shown once there are any: the line is long enough without a 0).
    std::string blocks;
    if (blocks_ == Blocks::Counted) {
        blocks = fmt::format("  {} written", pass.block - unchanged_);
        if (unchanged_ > 0) blocks += fmt::format(", {} unchanged", unchanged_);
    }
    const std::string tail = fmt::format(
        "] {:3}%  {} of {}{}{}", done * 100 / total, byte_size_text(done), byte_size_text(total),
        time_left_text(std::chrono::steady_clock::now() - start_, done, total), blocks);
    // A line longer than the terminal would wrap, and the next drawing would clear only its
    // last part: the bar gives up its width first, then the end of the line is cut. The last
    // column stays free, where some terminals wrap at once.
    const unsigned columns = stderr_columns();
    const std::size_t room = columns > 0 ? columns - 1 : SIZE_MAX;
    const std::size_t text = label_.size() + 2 + tail.size();
    const std::size_t width = text < room ? std::min(kBarWidth, room - text) : 0;
    const auto filled = static_cast<std::size_t>(done * width / total);
    std::string line =
        fmt::format("{} [{:#<{}}{:-<{}}{}", label_, "", filled, "", width - filled, tail);
    if (line.size() > room) line.resize(room);
    notice(std::string(kClearLine) + line);
    drawn_ = true;
}

void ProgressBar::retrying(const BlockPass& failed_pass) {
    ++retries_;
    if (!draw_) return;
    clear_line();
    notice(
        fmt::format("{}: block {} read back wrong, writing it again\n", label_, failed_pass.block));
}

}  // namespace tarnvel::fw
