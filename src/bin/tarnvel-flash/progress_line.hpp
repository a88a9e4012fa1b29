#pragma once
// How tarnvel-flash shows a programming run: the progress line redrawn before every pass over
// a block, a retry notice before every repeated pass, and, once a held stop signal is noticed,
// a notice that the write goes on to its end.

#include "bin/tarnvel-flash/stop_signals.hpp"
#include "flash/programming.hpp"

namespace tarnvel {

class ProgressLine final : public ProgrammingObserver {
  public:
    // `hold` is the stop-signal hold the programming runs under.
    explicit ProgressLine(StopSignalHold& hold) : hold_(hold) {}

    void pass_started(const BlockPass& pass) override;
    void retrying(const BlockPass& failed_pass) override;

  private:
    StopSignalHold& hold_;
};

}  // namespace tarnvel
