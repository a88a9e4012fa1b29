#pragma once
// How tarnvel-fw shows a programming or read-back run: on a terminal, a bar on standard error
// with the percentage, the bytes done and the time left, redrawn at every block; elsewhere
// nothing, so that logs stay clean. Retries are counted for the results, and a held stop
// signal is announced at the next block, terminal or not.

#include <chrono>
#include <string>
#include <string_view>

#include "base/stop_signals.hpp"
#include "flash/programming.hpp"

namespace tarnvel::fw {

class ProgressBar final : public ProgrammingObserver {
  public:
    // `activity` names the run ("writing", "verifying", "reading") for the board at `node`;
    // `hold` is the stop-signal hold the run is under, if any.
    ProgressBar(std::string_view activity, std::string_view node, StopSignalHold* hold = nullptr);
    ~ProgressBar() override;
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void pass_started(const BlockPass& pass) override;
    void retrying(const BlockPass& failed_pass) override;

    unsigned retries() const { return retries_; }

  private:
    void clear_line();

    std::string label_;
    StopSignalHold* hold_;
    bool draw_;
    bool drawn_ = false;
    unsigned retries_ = 0;
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
