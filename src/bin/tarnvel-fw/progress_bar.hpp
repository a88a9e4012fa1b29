#pragma once
// How tarnvel-fw shows a programming or read-back run: on a terminal, a bar on standard error
// with the percentage, the bytes done and the time left (and for a write the blocks written and
// those that already held the image), redrawn at every block and kept within the terminal's
// width; elsewhere nothing, so that logs stay clean. Retries are counted for the results, and a
// held stop signal is announced at the next block, terminal or not.

#include <chrono>
#include <string>
#include <string_view>

#include "base/stop_signals.hpp"
#include "flash/progress.hpp"

namespace tarnvel::fw {

class ProgressBar final : public ProgrammingObserver {
  public:
    enum class Blocks : std::uint8_t {
        Uncounted,
        Counted,  // a write: the blocks written and those left unchanged are shown
    };

    // `activity` names the run ("writing", "verifying", "reading") for the board at `node`;
    // `hold` is the stop-signal hold the run is under, if any.
    ProgressBar(std::string_view activity, std::string_view node, StopSignalHold* hold = nullptr,
                Blocks blocks = Blocks::Uncounted);
    ~ProgressBar() override;
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void pass_started(const BlockPass& pass) override;
    void retrying(const BlockPass& failed_pass) override;
    void compare_started(const BlockPass& pass) override;
    void block_unchanged(const BlockPass& pass) override;

    unsigned retries() const { return retries_; }

  private:
    // Before the comparison or a pass over a block: the held stop signal, and the bar.
    void block_starts(const BlockPass& pass);
    void clear_line();

    std::string label_;
    StopSignalHold* hold_;
    Blocks blocks_;
    bool draw_;
    bool drawn_ = false;
    unsigned retries_ = 0;
    std::uint32_t unchanged_ = 0;  // blocks found holding the image so far
    std::chrono::steady_clock::time_point start_;
};

// What the operator sees once a stop signal is noticed during programming, and just before it
// ends the program.
inline constexpr const char* kStopSeenNotice =
    "tarnvel-fw: stop signal received: the flash write finishes first, then the program stops. "
    "DO NOT POWER OFF the system\n";
inline constexpr const char* kHeldStopNotice =
    "tarnvel-fw: the flash write has ended; stopping now on the held stop signal\n";

// "512 B", "64.0 KiB", "1.5 MiB".
std::string byte_size_text(std::uint64_t bytes);

}  // namespace tarnvel::fw
