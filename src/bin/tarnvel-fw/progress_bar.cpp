#include "bin/tarnvel-fw/progress_bar.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "base/output.hpp"
#include "base/utf8.hpp"
#include "bin/tarnvel-fw/console.hpp"

namespace tarnvel::fw {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kBarWidth = 24;
// A line is redrawn at most this often within a block: often enough to see it move, seldom
// enough that a terminal over a slow link keeps up with eight boards.
constexpr auto kRedrawInterval = 100ms;

// ECMA-48: carriage return and "erase in line", "cursor up", "cursor down", "erase in display"
// from the cursor on.
constexpr std::string_view kClearLine = "\r\x1b[K";
std::string cursor_up(std::size_t lines) {
    return fmt::format("\x1b[{}A", lines);
}
std::string cursor_down(std::size_t lines) {
    return fmt::format("\x1b[{}B", lines);
}
constexpr std::string_view kEraseBelow = "\x1b[J";

std::string time_left_text(std::chrono::steady_clock::duration elapsed, std::uint64_t done,
                           std::uint64_t total) {
    if (done == 0) return "";
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             elapsed * static_cast<long>(total - done) / static_cast<long>(done))
                             .count();
    return fmt::format("  {}:{:02} left", seconds / 60, seconds % 60);
}

// Progress drawing on standard error, at once: a failed write is not worth stopping for.
// Straight there: notices come through the screen, which draws with this.
void write_to_terminal(std::string_view text) {
    write_to_stderr(text);
}

}  // namespace

std::string byte_size_text(std::uint64_t bytes) {
    if (bytes < 1024) return fmt::format("{} B", bytes);
    if (bytes < 1024 * 1024) return fmt::format("{:.1f} KiB", static_cast<double>(bytes) / 1024);
    return fmt::format("{:.1f} MiB", static_cast<double>(bytes) / (1024 * 1024));
}

ProgressScreen::ProgressScreen()
    : draw_(stderr_is_terminal()),
      notices_(std::in_place, [this](std::string_view text) { notice(text); }) {}

ProgressScreen::~ProgressScreen() {
    notices_.reset();
    const std::lock_guard lock(mutex_);
    erase_locked();
}

std::size_t ProgressScreen::room() const {
    const unsigned columns = stderr_columns();
    return columns > 0 ? columns - 1 : SIZE_MAX;
}

std::size_t ProgressScreen::add_line() {
    const std::lock_guard lock(mutex_);
    lines_.push_back({next_id_, ""});
    return next_id_++;
}

void ProgressScreen::set_line(std::size_t line, std::string text) {
    if (!draw_) return;
    const std::lock_guard lock(mutex_);
    const auto found = std::ranges::find(lines_, line, &Line::id);
    if (found == lines_.end()) return;
    found->text = std::move(text);
    const auto index = static_cast<std::size_t>(found - lines_.begin());
    if (index >= drawn_) {
        erase_locked();
        draw_locked();
        return;
    }
    // Only this line, in its place: up to it, write it, back down below the last.
    const std::size_t up = drawn_ - index;
    std::string out = cursor_up(up);
    out += kClearLine;
    out += found->text.substr(0, room());
    out += '\r';
    out += cursor_down(up);
    write_to_terminal(out);
}

void ProgressScreen::remove_line(std::size_t line) {
    const std::lock_guard lock(mutex_);
    const auto found = std::ranges::find(lines_, line, &Line::id);
    if (found == lines_.end()) return;
    const bool shown = static_cast<std::size_t>(found - lines_.begin()) < drawn_;
    if (shown) erase_locked();
    lines_.erase(found);
    if (shown) draw_locked();
}

void ProgressScreen::notice(std::string_view text) {
    const std::lock_guard lock(mutex_);
    erase_locked();
    write_to_terminal(text);
    draw_locked();
}

void ProgressScreen::report(std::string_view text) {
    const std::lock_guard lock(mutex_);
    erase_locked();
    fw::report(text);
    draw_locked();
}

void ProgressScreen::erase_locked() {
    if (drawn_ == 0) return;
    write_to_terminal(cursor_up(drawn_) + "\r" + std::string(kEraseBelow));
    drawn_ = 0;
}

void ProgressScreen::draw_locked() {
    if (!draw_) return;
    // A terminal scrolls what is drawn below its last line: as many lines as fit above it.
    const unsigned rows = stderr_rows();
    const std::size_t fit = rows > 1 ? rows - 1 : lines_.size();
    std::string out;
    std::size_t drawn = 0;
    for (const Line& line : lines_) {
        if (drawn == fit) break;
        out += kClearLine;
        out += line.text.substr(0, room());
        out += '\n';
        ++drawn;
    }
    write_to_terminal(out);
    drawn_ = drawn;
}

ProgressBar::ProgressBar(ProgressScreen& screen, std::string_view activity,
                         const BoardIdentity& board, Blocks blocks)
    : screen_(screen),
      board_(board.model() ? fmt::format("{} {}", printable(board.devnode), *board.model())
                           : printable(board.devnode)),
      activity_(activity),
      label_(fmt::format("{} {}", board_, activity_)),
      blocks_(blocks),
      start_(std::chrono::steady_clock::now()) {
    if (screen_.drawing()) line_ = screen_.add_line();
}

ProgressBar::~ProgressBar() {
    if (screen_.drawing()) screen_.remove_line(line_);
}

void ProgressBar::held_read_started(const BlockPass& pass) {
    if (!reading_held_) {
        reading_held_ = true;
        label_ = fmt::format("{} reading", board_);
    }
    // The block index only redraws the line as each block starts: no block is shown.
    advance(pass, pass.offset, pass.block);
}

void ProgressBar::writing_begins() {
    if (!reading_held_) return;
    reading_held_ = false;
    label_ = fmt::format("{} {}", board_, activity_);
    start_ = std::chrono::steady_clock::now();
    done_ = 0;
    completed_ = 0;
    unchanged_ = 0;
    drawn_block_ = UINT32_MAX;
}

// A block is counted once the run has gone past it: every block before the one a pass or a
// comparison starts on was written or found holding the image.
void ProgressBar::pass_started(const BlockPass& pass) {
    writing_begins();
    advance(pass, pass.offset, pass.block);
}

void ProgressBar::compare_started(const BlockPass& pass) {
    writing_begins();
    advance(pass, pass.offset, pass.block);
}

void ProgressBar::block_unchanged(const BlockPass& pass) {
    writing_begins();
    ++unchanged_;
    advance(pass, std::uint64_t{pass.offset} + pass.length, pass.block + 1);
}

void ProgressBar::block_progress(const BlockPass& pass, BlockStep step, std::uint32_t bytes) {
    // Within a write, the read that tells whether a block differs is quick beside its erase:
    // the bar moves with what is written and read back.
    if (step == BlockStep::Read && blocks_ == Blocks::Counted && !reading_held_) return;
    // A pass writes the block and reads it back: each counts for half of it.
    std::uint64_t within = bytes;
    if (step == BlockStep::Write) within = bytes / 2;
    if (step == BlockStep::ReadBack) within = (std::uint64_t{pass.length} + bytes) / 2;
    advance(pass, pass.offset + std::min<std::uint64_t>(within, pass.length), pass.block);
}

void ProgressBar::advance(const BlockPass& pass, std::uint64_t done, std::uint32_t completed) {
    if (!screen_.drawing()) return;
    total_ = pass.image_length;
    done_ = std::max(done_, done);
    completed_ = std::max(completed_, completed);
    const auto now = std::chrono::steady_clock::now();
    if (completed_ == drawn_block_ && now - drawn_at_ < kRedrawInterval) return;
    drawn_block_ = completed_;
    drawn_at_ = now;
    screen_.set_line(line_, line_text());
}

std::string ProgressBar::line_text() const {
    // Every block before the current one was either written or found holding the image (those
    // are shown once there are any: the line is long enough without a 0).
    std::string blocks;
    if (blocks_ == Blocks::Counted && !reading_held_) {
        const std::uint32_t written = completed_ - unchanged_;
        blocks = fmt::format("  {} block{} written", written, written == 1 ? "" : "s");
        if (unchanged_ > 0) blocks += fmt::format(", {} unchanged", unchanged_);
    }
    const std::string tail =
        fmt::format("] {:3}%  {} of {}{}{}", done_ * 100 / total_, byte_size_text(done_),
                    byte_size_text(total_), blocks,
                    time_left_text(std::chrono::steady_clock::now() - start_, done_, total_));
    // A line longer than the terminal would wrap, and the next drawing would clear only its
    // last part: the bar gives up its width first, then the end of the line is cut.
    const std::size_t room = screen_.room();
    const std::size_t text = label_.size() + 2 + tail.size();
    const std::size_t width = text < room ? std::min(kBarWidth, room - text) : 0;
    const auto filled = static_cast<std::size_t>(done_ * width / total_);
    return fmt::format("{} [{:#<{}}{:-<{}}{}", label_, "", filled, "", width - filled, tail);
}

void ProgressBar::retrying(const BlockPass& failed_pass) {
    if (!screen_.drawing()) return;
    screen_.notice(
        fmt::format("{}: block {} read back wrong, writing it again\n", label_, failed_pass.block));
}

}  // namespace tarnvel::fw
