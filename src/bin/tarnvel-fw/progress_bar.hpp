#pragma once
// How tarnvel-fw shows its runs over boards' flash while they work. On a terminal, one line per
// run at the bottom of standard error: the board, what the run is doing, a bar with the
// percentage, the bytes done, for a write the blocks written and those that already held the
// image, and the time left, moving
// with every program page and redrawn in place, kept within the terminal's width and cleared
// when the run ends. Elsewhere nothing, so that logs stay clean. Several runs (boards written at
// once, each on a thread of its own) share one screen.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bin/tarnvel-fw/console.hpp"
#include "flash/progress.hpp"
#include "update/board_identity.hpp"

namespace tarnvel::fw {

// The progress lines at the bottom of standard error, when it is a terminal, and what is
// written above them meanwhile. For any thread.
class ProgressScreen {
  public:
    ProgressScreen();
    // Clears the lines still drawn.
    ~ProgressScreen();
    ProgressScreen(const ProgressScreen&) = delete;
    ProgressScreen& operator=(const ProgressScreen&) = delete;

    // Whether the lines are drawn: standard error is a terminal.
    bool drawing() const { return draw_; }
    // The room for a line: the terminal's width less its last column (some terminals wrap at
    // once when it is written), or none when it does not say.
    std::size_t room() const;

    // A line of its own, below the others, until it is removed; shown once it has a text.
    std::size_t add_line();
    void set_line(std::size_t line, std::string text);
    void remove_line(std::size_t line);

    // Whole lines written above the progress lines: a notice on standard error, a result on
    // standard output.
    void notice(std::string_view text);
    void report(std::string_view text);

  private:
    // Under the lock: the lines taken off the screen, the cursor where the first one was.
    void erase_locked();
    // Under the lock: every line drawn below the cursor, which stays under the last.
    void draw_locked();

    const bool draw_;
    std::mutex mutex_;
    struct Line {
        std::size_t id;
        std::string text;
    };
    std::vector<Line> lines_;
    std::size_t next_id_ = 0;
    std::size_t drawn_ = 0;  // lines on the screen, from the first of lines_
    // Every notice of the program, from any thread, written above the lines while they show.
    std::optional<NoticeRoute> notices_;
};

// One run's line: a ProgrammingObserver that draws the run's progress into its line of the
// screen and removes it when it goes.
class ProgressBar final : public ProgrammingObserver {
  public:
    enum class Blocks : std::uint8_t {
        Uncounted,
        Counted,  // a write: the blocks written and those left unchanged are shown
    };

    // `activity` names the run ("writing", "verifying", "reading") on `board`. A write that
    // first reads what the flash holds is named "reading" for that read, and counts its bar,
    // bytes and blocks again from nothing when its own erases and writes begin.
    ProgressBar(ProgressScreen& screen, std::string_view activity, const BoardIdentity& board,
                Blocks blocks = Blocks::Uncounted);
    ~ProgressBar() override;
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void pass_started(const BlockPass& pass) override;
    void retrying(const BlockPass& failed_pass) override;
    void compare_started(const BlockPass& pass) override;
    void block_unchanged(const BlockPass& pass) override;
    void block_progress(const BlockPass& pass, BlockStep step, std::uint32_t bytes) override;
    void held_read_started(const BlockPass& pass) override;

  private:
    // The read before the write has ended (when there was one): the line names the write and
    // starts over.
    void writing_begins();
    // The image bytes done are now at least `done`, and `completed` blocks are behind;
    // redrawn when a new block starts and otherwise at most ten times a second.
    void advance(const BlockPass& pass, std::uint64_t done, std::uint32_t completed);
    std::string line_text() const;

    ProgressScreen& screen_;
    std::string board_;  // the node and model
    std::string activity_;
    std::string label_;  // the board and the activity
    Blocks blocks_;
    bool reading_held_ = false;  // in the read of what the flash holds, before the write
    std::size_t line_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point drawn_at_{};
    std::uint64_t done_ = 0;       // image bytes
    std::uint64_t total_ = 0;      // image bytes
    std::uint32_t completed_ = 0;  // blocks done: written, or found holding the image
    std::uint32_t unchanged_ = 0;  // of them found holding the image
    std::uint32_t drawn_block_ = UINT32_MAX;
};

// "512 B", "64.0 KiB", "1.5 MiB".
std::string byte_size_text(std::uint64_t bytes);

}  // namespace tarnvel::fw
