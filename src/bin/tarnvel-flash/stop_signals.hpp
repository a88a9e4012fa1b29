#pragma once
// The operator's stop signals (SIGINT from Ctrl-C, SIGTERM, SIGHUP from a closed terminal,
// SIGQUIT) held back while a board's flash is written. A flash block cut short between its
// erase and its write leaves the board without a bootable image; waiting for the programming
// to end costs the operator seconds.

#include <signal.h>

namespace tarnvel {

// Blocks the stop signals while it lives. Ending the hold puts back the signal mask found at
// the start: a stop signal that came meanwhile then takes its usual effect at once (the
// program ends by it), after a one-line notice that it was held back. Nothing is printed when
// none came. Signals that were already blocked before the hold stay blocked.
class StopSignalHold {
  public:
    StopSignalHold();
    ~StopSignalHold() { end(); }
    StopSignalHold(const StopSignalHold&) = delete;
    StopSignalHold& operator=(const StopSignalHold&) = delete;

    // Ends the hold early; later calls do nothing.
    void end();

  private:
    sigset_t saved_mask_;
    bool holding_ = false;
};

// What the operator sees before a held stop signal ends the program.
inline constexpr const char* kHeldSignalNotice =
    "\tStop signal received during the flash write: the write was allowed to end, stopping now\n";

}  // namespace tarnvel
