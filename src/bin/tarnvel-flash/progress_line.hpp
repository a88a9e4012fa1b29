#pragma once
// How tarnvel-flash shows a programming run: the progress line redrawn before every pass over
// a block, a retry notice before every repeated pass, and, once a held stop signal is noticed,
// a notice that the write goes on to its end.

#include <cstdint>

#include "base/stop_signals.hpp"
#include "flash/progress.hpp"

namespace tarnvel {

class Output;

class ProgressLine final : public ProgrammingObserver {
  public:
    // `hold` is the stop-signal hold the programming runs under.
    explicit ProgressLine(StopSignalHold& hold) : hold_(hold) {}

    void pass_started(const BlockPass& pass) override;
    void retrying(const BlockPass& failed_pass) override;

  private:
    StopSignalHold& hold_;
};

// "\r\tUpdating firmware: {:3}%", flushed: on standard output, or on `out`.
void print_progress(std::uint32_t percent);
void print_progress(Output& out, std::uint32_t percent);

// What the operator sees as soon as the programming notices a held stop signal: the signal
// was seen, and the flash write goes on to its end first.
inline constexpr const char* kStopSeenNotice =
    "\r\tStop signal received: the flash write finishes first, then the program stops. DO NOT "
    "POWER OFF system\n";

// What the operator sees before a held stop signal ends the program.
inline constexpr const char* kHeldSignalNotice =
    "\tStop signal received during the flash write: the write was allowed to end, stopping now\n";

}  // namespace tarnvel
