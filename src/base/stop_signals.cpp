#include "base/stop_signals.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tarnvel {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t stop_signal_set() {
    sigset_t set;
    ::sigemptyset(&set);
    for (int signal : kStopSignals) ::sigaddset(&set, signal);
    return set;
}

// Whether one of `set` waits for this thread or the process.
bool any_pending(const sigset_t& set) {
    sigset_t pending;
    if (::sigpending(&pending) != 0) return false;
    for (int signal : kStopSignals) {
        if (::sigismember(&pending, signal) == 1 && ::sigismember(&set, signal) == 1) return true;
    }
    return false;
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

StopSignalWatch::StopSignalWatch(std::function<void()> on_stop, std::function<void()> before_stop)
    : on_stop_(std::move(on_stop)), before_stop_(std::move(before_stop)) {
    const sigset_t stop = stop_signal_set();
    ::sigemptyset(&watched_);
    if (::pthread_sigmask(SIG_BLOCK, &stop, &saved_mask_) != 0) return;
    active_ = true;
    for (int signal : kStopSignals) {
        if (::sigismember(&saved_mask_, signal) != 1) ::sigaddset(&watched_, signal);
    }
    // Without a thread of its own the watch still holds the signals until it ends, as a
    // StopSignalHold does; only the writers do not hear of them before.
    signals_fd_ = ::signalfd(-1, &watched_, SFD_CLOEXEC);
    end_fd_ = ::eventfd(0, EFD_CLOEXEC);
    if (signals_fd_ >= 0 && end_fd_ >= 0) watcher_ = std::thread([this] { watch(); });
}

void StopSignalWatch::watch() {
    pollfd fds[2] = {{.fd = signals_fd_, .events = POLLIN, .revents = 0},
                     {.fd = end_fd_, .events = POLLIN, .revents = 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        signalfd_siginfo info{};
        if (::read(signals_fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
        int none = 0;
        if (signal_.compare_exchange_strong(none, static_cast<int>(info.ssi_signo))) {
            request_.request();
            if (on_stop_) on_stop_();
        }
    }
}

bool StopSignalWatch::stopped() const {
    return signal_.load(std::memory_order_acquire) != 0 || (active_ && any_pending(watched_));
}

void StopSignalWatch::end() {
    if (!active_) return;
    active_ = false;
    if (watcher_.joinable()) {
        const std::uint64_t one = 1;
        while (::write(end_fd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        watcher_.join();
    }
    if (signals_fd_ >= 0) ::close(signals_fd_);
    if (end_fd_ >= 0) ::close(end_fd_);
    // One the watcher took from the queue, or one that came while there was no watcher.
    const int taken = signal_.load(std::memory_order_acquire);
    const bool waiting = any_pending(watched_);
    // Whatever `before_stop` says must be out before the signal ends the program.
    if (before_stop_ && (taken != 0 || waiting)) before_stop_();
    ::pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
    if (taken != 0) ::raise(taken);
}

}  // namespace tarnvel
