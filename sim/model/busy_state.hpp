#pragma once
// How a simulated flash chip stays busy after a program or erase.
//
// The chip reports completion only to a status poll (a status-register read on a serial part,
// a read of the ready/busy flag on a parallel one): a data sheet's program and erase times
// are typical figures, not promises, so a driver that issues its next command without having
// seen the part ready is at fault on real hardware too, and here it is caught every time.
//
// Time is read from the monotonic clock as the program reads it, so that when the unit tests
// run the program in simulated time (sim/in_process.hpp) the chips keep the same time.

#include <chrono>
#include <cstdint>

#include "flash/wait.hpp"

namespace tarnvel::sim {

struct BusyTime {
    // Polls that see the part busy before one may see it ready.
    std::uint32_t polls = 0;
    // Time that must have passed since the operation began before a poll may see it ready.
    std::chrono::nanoseconds duration{0};
};

// Busy for a data sheet's typical time of an operation, times `scale` (1: as on a board;
// less: the same kind of waiting, sooner over).
inline BusyTime busy_for(std::chrono::nanoseconds typical, double scale) {
    const auto scaled = static_cast<double>(typical.count()) * scale;
    return BusyTime{.duration = std::chrono::nanoseconds(static_cast<std::int64_t>(scaled))};
}

class BusyState {
  public:
    void start(const BusyTime& time) {
        active_ = true;
        time_ = time;
        polls_seen_ = 0;
        if (time_.duration.count() > 0) started_ = monotonic_now();
    }

    bool active() const { return active_; }

    // One status poll: whether the part still reports busy. The poll that finds the
    // operation's time over ends it (and reports ready).
    bool poll() {
        if (!active_) return false;
        if (!stuck_ && polls_seen_ >= time_.polls && duration_over()) {
            active_ = false;
            return false;
        }
        if (polls_seen_ != UINT32_MAX) ++polls_seen_;
        return true;
    }

    // The operation stops where it is, unfinished: the power went.
    void cancel() { active_ = false; }

    // While set, no operation ever completes: the part's fault of hanging in its algorithm.
    void set_stuck(bool stuck) { stuck_ = stuck; }
    bool stuck() const { return stuck_; }

  private:
    bool duration_over() const {
        return time_.duration.count() <= 0 || monotonic_now() - started_ >= time_.duration;
    }

    bool active_ = false;
    bool stuck_ = false;
    BusyTime time_{};
    std::uint32_t polls_seen_ = 0;
    std::chrono::nanoseconds started_{};
};

}  // namespace tarnvel::sim
