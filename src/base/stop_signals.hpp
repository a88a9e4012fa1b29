#pragma once
// The operator's stop signals (SIGINT from Ctrl-C, SIGTERM, SIGHUP from a closed terminal,
// SIGQUIT) held back while a board's flash is written. A flash block cut short between its
// erase and its write leaves the board without a bootable image; waiting for the programming
// to end costs the operator seconds.

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace tarnvel {

// Blocks the stop signals while it lives. Ending the hold puts back the signal mask found at
// the start: a stop signal that came meanwhile then takes its usual effect at once (the
// program ends by it), right after `before_stop` has had its say. Signals that were already
// blocked before the hold stay blocked, and do not count as waiting.
//
// Signal masks belong to threads: the hold covers a program that writes on the thread that
// makes it. A program that writes on several threads watches the signals instead
// (StopSignalWatch).
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

// A request to stop that one thread makes and others look at when they come to a point where
// they can stop: the programming runs of several boards, between two blocks.
class StopRequest {
  public:
    void request() { requested_.store(true, std::memory_order_release); }
    bool requested() const { return requested_.load(std::memory_order_acquire); }

  private:
    std::atomic<bool> requested_{false};
};

// The stop signals held back from a program that writes several boards at once, each on a
// thread of its own. They are blocked in the thread that makes the watch, and so in every
// thread it starts while the watch lives, and a thread of the watch's own waits for them: at
// the first one, `request()` is asked to stop and `on_stop` runs at once, on that thread, so
// that the operator hears at once that the signal was seen while the writers finish their
// blocks. Later stop signals change nothing.
//
// Ending the watch (on the thread that made it, once the writers are done) puts back that
// thread's signal mask; a stop signal that came meanwhile then takes its usual effect (the
// program ends by it), right after `before_stop` has had its say. Signals that were already
// blocked before the watch, and those the program ignores, are not watched.
class StopSignalWatch {
  public:
    explicit StopSignalWatch(std::function<void()> on_stop = {},
                             std::function<void()> before_stop = {});
    ~StopSignalWatch() { end(); }
    StopSignalWatch(const StopSignalWatch&) = delete;
    StopSignalWatch& operator=(const StopSignalWatch&) = delete;

    // Set at the first stop signal.
    const StopRequest& request() const { return request_; }
    // Whether a stop signal has come: taken by the watch, or waiting to be.
    bool stopped() const;

    // Ends the watch early; later calls do nothing.
    void end();

  private:
    void watch();

    std::function<void()> on_stop_;
    std::function<void()> before_stop_;
    sigset_t saved_mask_;
    sigset_t watched_;
    StopRequest request_;
    std::atomic<int> signal_{0};
    bool active_ = false;  // the signals are blocked, until end()
    int signals_fd_ = -1;
    int end_fd_ = -1;  // an eventfd: written when the watch ends
    std::thread watcher_;
};

}  // namespace tarnvel
