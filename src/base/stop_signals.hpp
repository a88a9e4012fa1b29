#pragma once
// The operator's stop signals (SIGINT from Ctrl-C, SIGTERM, SIGHUP from a closed terminal,
// SIGQUIT) held back while a board's flash is written. A flash block cut short between its
// erase and its write leaves the board without a bootable image; waiting for the programming
// to end costs the operator seconds.

#include <signal.h>

#include <functional>

namespace tarnvel {

// Blocks the stop signals while it lives. Ending the hold puts back the signal mask found at
// the start: a stop signal that came meanwhile then takes its usual effect at once (the
// program ends by it), right after `before_stop` has had its say. Signals that were already
// blocked before the hold stay blocked, and do not count as waiting.
class StopSignalHold {
  public:
    explicit StopSignalHold(std::function<void()> before_stop = {});
    ~StopSignalHold() { end(); }
    StopSignalHold(const StopSignalHold&) = delete;
    StopSignalHold& operator=(const StopSignalHold&) = delete;

    // Whether a stop signal has come that will end the program when the hold ends.
    bool stop_waiting() const;
    // True the first time it is asked once a stop signal waits, false before and after: for a
    // notice that is given once.
    bool stop_newly_seen();

    // Ends the hold early; later calls do nothing.
    void end();

  private:
    std::function<void()> before_stop_;
    sigset_t saved_mask_;
    bool holding_ = false;
    bool stop_seen_ = false;
};

}  // namespace tarnvel
