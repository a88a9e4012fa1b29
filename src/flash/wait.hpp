#pragma once
// Waiting on the monotonic clock: the flash operations wait between busy polls and bound
// their polls by time. The wall clock is never used, so a clock step cannot cut a wait short
// or stretch it.

#include <chrono>
#include <cstdint>

namespace tarnvel {

// The monotonic clock's current reading.
std::chrono::nanoseconds monotonic_now();

// How a wait ends: spun to its time, or slept to it.
enum class WaitEnd : std::uint8_t {
    // As soon after its time as the machine allows, by spinning on the clock for the last
    // stretch: for the waits that set the pace of the work (a shift step, a page or buffer
    // program), where every microsecond late is lost time.
    Spun,
    // When the kernel wakes the thread, some 20 µs after its time, having burnt no CPU: for the
    // polls of an erase, which lasts 100 ms and more, where a poll a little late changes
    // nothing.
    Slept,
};

// Waits for `duration` on the monotonic clock. Spun (the default), a wait longer than a few
// tens of microseconds sleeps in the kernel for the bulk of its time and spins on the clock for
// the last stretch, because a sleeping thread wakes some 20 µs after its time; a shorter one
// (the 1 µs between the polls of the polled shift engine) is spun whole. Slept, the whole wait
// is one sleep. Either way the whole duration always passes: a signal that interrupts the sleep
// only resumes it for what remains, and the spin ends on the clock, not on a count.
//
// A spin takes a core for its length, which pays only while the machine has one to spare:
// when boards are written at once on a machine with fewer cores, the threads spinning the ends
// of their waits would take the cores the others need for their register accesses. So no more
// threads of the process spin the end of a long wait at a time than the process may use cores;
// another one sleeps its wait to the end. Short waits are spun whole always: sleeping would
// make them many times longer. And while more threads sharing the cores (SharedCores) are
// awake than the process may use cores, a spinning thread hands its core to another runnable
// thread between two readings of the clock, as long as one wants it, and takes it back for
// the rest of its wait: a QX410 board whose 1 µs shift step is due no longer waits for the
// others' steps to be spun out.
void wait_for(std::chrono::nanoseconds duration, WaitEnd end = WaitEnd::Spun);

// While an object of this class lives, the calling thread is one of the threads that drive a
// flash each and share the process's cores (the boards written at once): it counts as awake
// whenever it is not asleep in a wait. Alone, or as many as the cores, they spin as a single
// thread does; more of them, and their spins yield. Nested objects on one thread count once.
class SharedCores {
  public:
    SharedCores();
    ~SharedCores();
    SharedCores(const SharedCores&) = delete;
    SharedCores& operator=(const SharedCores&) = delete;
};

// Linux lets every sleep of a thread end up to the thread's timer slack late (50 µs by
// default), so that nearby wake-ups can share one timer interrupt. That is longer than the
// stretch that wait_for spins at the end of a wait: at the default slack its sleep would often
// wake after the wait's end, a 100 µs status poll would last about 130 µs, and the update
// would spend its time oversleeping. While an object of this class lives, the calling thread's
// sleeps end as soon as their time is up; the thread's previous slack comes back when it goes.
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
