#pragma once
// Waiting on the monotonic clock: the flash operations sleep between busy polls and bound
// their polls by time. The wall clock is never used, so a clock step cannot cut a wait short
// or stretch it.

#include <chrono>

namespace tarnvel {

// The monotonic clock's current reading.
std::chrono::nanoseconds monotonic_now();

// Sleeps for `duration`. A sleep interrupted by a signal goes on to the same end time, so the
// whole duration always passes. How much later than that the thread wakes is bounded by its
// timer slack (see FineTimerSlack).
void sleep_for(std::chrono::nanoseconds duration);

// Linux lets every sleep of a thread end up to the thread's timer slack late (50 µs by
// default), so that nearby wake-ups can share one timer interrupt. The flash polls sleep far
// shorter than that: a 1 µs wait between polls of the polled shift engine would last about
// 80 µs, a 100 µs status poll about 180 µs, and a QX410 update would spend most of its time
// oversleeping. While an object of this class lives, the calling thread's sleeps end as soon
// as their time is up; the thread's previous slack comes back when it goes. The thread keeps
// sleeping in the kernel between polls: only the wake-up comes sooner.
class FineTimerSlack {
  public:
    FineTimerSlack();
    ~FineTimerSlack();
    FineTimerSlack(const FineTimerSlack&) = delete;
    FineTimerSlack& operator=(const FineTimerSlack&) = delete;

  private:
    // The slack to restore, in nanoseconds; 0 when it could not be read (nothing is restored).
    unsigned long previous_;
};

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
