#pragma once
// Waiting on the monotonic clock: the flash operations sleep between busy polls and bound
// their polls by time. The wall clock is never used, so a clock step cannot cut a wait short
// or stretch it.

#include <chrono>

namespace tarnvel {

// The monotonic clock's current reading.
std::chrono::nanoseconds monotonic_now();

// Sleeps for `duration`. A sleep interrupted by a signal goes on to the same end time, so the
// whole duration always passes.
void sleep_for(std::chrono::nanoseconds duration);

// A time limit that starts when it is made.
class TimeLimit {
  public:
    explicit TimeLimit(std::chrono::nanoseconds limit) : start_(monotonic_now()), limit_(limit) {}

    // True once strictly more than the limit has passed since the start.
    bool exceeded() const { return monotonic_now() - start_ > limit_; }

  private:
    std::chrono::nanoseconds start_;
    std::chrono::nanoseconds limit_;
};

}  // namespace tarnvel
