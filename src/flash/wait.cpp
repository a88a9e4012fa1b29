#include "flash/wait.hpp"

#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <atomic>
#include <cerrno>

namespace tarnvel {
namespace {

using namespace std::chrono_literals;

constexpr long kNanosPerSecond = 1'000'000'000;

// The end of a wait that is spun rather than slept. The sleep ends this long before the wait
// does and the rest is spun, so the stretch has to cover how late a sleeping thread wakes.
// Measured on a two-core virtual machine with the fine timer slack: 20 µs at the median when
// the machine is quiet (a 100 µs wait lasts 100.08 µs at the median and 100.4 µs for nine in
// ten with 40 µs of spin, 100.1 µs with 50 µs), 35-45 µs at the median while other processes
// keep both cores busy (the median wait is then 104 µs with 40 µs of spin and 100.08 µs with
// 50 µs). It is also about the CPU time one spun wait burns (some 40 µs), so it stays at this
// bound; the waits where a late end costs nothing (the polls of an erase) are slept whole.
constexpr auto kSpinStretch = 50us;

// Readings in a row that may show the same time before the spin gives up on the clock. The
// monotonic clock normally moves by tens of nanoseconds between two readings; one that stands
// still this long has coarse ticks (or is the simulated clock of the unit tests, which moves
// only when slept on), and spinning on it could last until its next tick or forever.
constexpr int kStillReadings = 64;

// Threads of the process spinning the end of a long wait now.
std::atomic<int> g_spinning{0};

// Threads sharing the cores (SharedCores) that are not asleep in a wait, and how deep the
// calling thread's SharedCores nest (0: it shares nothing and is not counted).
std::atomic<int> g_awake_sharing{0};
thread_local int t_sharing_depth = 0;

// The cores the process may run on: no more threads than these spin at a time.
int usable_cores() {
    static const int cores = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        const int count = ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
        return count > 0 ? count : 1;
    }();
    return cores;
}

// The smallest slack the kernel takes (0 would mean "back to the thread's default").
constexpr unsigned long kFineSlackNanos = 1;

unsigned long current_timer_slack() {
    const int slack = ::prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
    return slack > 0 ? static_cast<unsigned long>(slack) : 0UL;
}

void set_timer_slack(unsigned long nanos) {
    // Without it the waits are only longer, never wrong: a failure is not worth stopping for.
    (void)::prctl(PR_SET_TIMERSLACK, nanos, 0UL, 0UL, 0UL);
}

timespec to_timespec(std::chrono::nanoseconds t) {
    const auto count = t.count();
    return timespec{static_cast<time_t>(count / kNanosPerSecond),
                    static_cast<long>(count % kNanosPerSecond)};
}

// True while the threads sharing the cores that are awake outnumber the cores, so that one of
// them may be runnable without one: a thread that only spins then has its core to give.
bool cores_crowded() {
    return t_sharing_depth > 0 && g_awake_sharing.load(std::memory_order_relaxed) > usable_cores();
}

// An absolute end time makes a sleep resumed after a signal wait only for what remains. A
// thread sharing the cores is not awake while it sleeps.
void sleep_until(std::chrono::nanoseconds end) {
    const timespec until = to_timespec(end);
    if (t_sharing_depth > 0) g_awake_sharing.fetch_sub(1, std::memory_order_relaxed);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    if (t_sharing_depth > 0) g_awake_sharing.fetch_add(1, std::memory_order_relaxed);
}

// Reads the clock (through the vDSO: no system call) until it shows `end`. A signal handler
// that runs meanwhile only delays the next reading. While the cores are crowded, each reading
// that finds the clock moved and the wait not over yet offers the core to a runnable thread
// (sched_yield returns at once when none wants it), so the spin ends at most one time slice of
// another thread late, and only when that thread had work for the core. A clock that stands
// still is not yielded on: its readings are counted out as before.
void spin_until(std::chrono::nanoseconds end) {
    std::chrono::nanoseconds last = monotonic_now();
    int still = 0;
    while (last < end) {
        const std::chrono::nanoseconds now = monotonic_now();
        if (now != last) {
            last = now;
            still = 0;
            if (last < end && cores_crowded()) ::sched_yield();
        } else if (++still == kStillReadings) {
            sleep_until(end);
            return;
        }
    }
}

}  // namespace

std::chrono::nanoseconds monotonic_now() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

void wait_for(std::chrono::nanoseconds duration, WaitEnd end) {
    const std::chrono::nanoseconds until = monotonic_now() + duration;
    if (end == WaitEnd::Slept) {
        sleep_until(until);
        return;
    }
    if (duration <= kSpinStretch) {
        spin_until(until);
        return;
    }
    sleep_until(until - kSpinStretch);
    if (g_spinning.fetch_add(1, std::memory_order_relaxed) < usable_cores()) {
        spin_until(until);
    } else {
        sleep_until(until);
    }
    g_spinning.fetch_sub(1, std::memory_order_relaxed);
}

SharedCores::SharedCores() {
    if (t_sharing_depth++ == 0) g_awake_sharing.fetch_add(1, std::memory_order_relaxed);
}

SharedCores::~SharedCores() {
    if (--t_sharing_depth == 0) g_awake_sharing.fetch_sub(1, std::memory_order_relaxed);
}

FineTimerSlack::FineTimerSlack() : previous_(current_timer_slack()) {
    set_timer_slack(kFineSlackNanos);
}

FineTimerSlack::~FineTimerSlack() {
    if (previous_ != 0) set_timer_slack(previous_);
}

}  // namespace tarnvel
