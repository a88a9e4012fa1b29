#include "bin/tarnvel-flash/stop_signals.hpp"

#include "bin/tarnvel-flash/dialogue.hpp"

namespace tarnvel {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t stop_signal_set() {
    sigset_t set;
    ::sigemptyset(&set);
    for (int signal : kStopSignals) ::sigaddset(&set, signal);
    return set;
}

// A held signal that will take effect once the saved mask is back.
bool stop_signal_waiting(const sigset_t& saved_mask) {
    sigset_t pending;
    if (::sigpending(&pending) != 0) return false;
    for (int signal : kStopSignals) {
        if (::sigismember(&pending, signal) == 1 && ::sigismember(&saved_mask, signal) != 1) {
            return true;
        }
    }
    return false;
}

}  // namespace

StopSignalHold::StopSignalHold() {
    const sigset_t stop = stop_signal_set();
    holding_ = ::sigprocmask(SIG_BLOCK, &stop, &saved_mask_) == 0;
}

void StopSignalHold::end() {
    if (!holding_) return;
    holding_ = false;
    // The notice must be out before the signal ends the program: it ends with a line break,
    // so it is written out at once.
    if (stop_signal_waiting(saved_mask_)) print(kHeldSignalNotice);
    ::sigprocmask(SIG_SETMASK, &saved_mask_, nullptr);
}

}  // namespace tarnvel
