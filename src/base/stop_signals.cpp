#include "base/stop_signals.hpp"

namespace tarnvel {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t stop_signal_set() {
    sigset_t set;
    ::sigemptyset(&set);
    for (int signal : kStopSignals) ::sigaddset(&set, signal);
    return set;
}

}  // namespace

StopSignalHold::StopSignalHold(std::function<void()> before_stop)
    : before_stop_(std::move(before_stop)) {
    const sigset_t stop = stop_signal_set();
    holding_ = ::sigprocmask(SIG_BLOCK, &stop, &saved_mask_) == 0;
}

bool StopSignalHold::stop_waiting() const {
    if (!holding_) return false;
    sigset_t pending;
    if (::sigpending(&pending) != 0) return false;
    for (int signal : kStopSignals) {
        if (::sigismember(&pending, signal) == 1 && ::sigismember(&saved_mask_, signal) != 1) {
            return true;
        }
    }
    return false;
}

bool StopSignalHold::stop_newly_seen() {
    if (stop_seen_ || !stop_waiting()) return false;
    stop_seen_ = true;
    return true;
}

void StopSignalHold::end() {
    if (!holding_) return;
    // Whatever `before_stop` says must be out before the signal ends the program.
    if (before_stop_ && stop_waiting()) before_stop_();
    holding_ = false;
    ::sigprocmask(SIG_SETMASK, &saved_mask_, nullptr);
}

}  // namespace tarnvel
