#include "flash/wait.hpp"

#include <sys/prctl.h>
#include <time.h>

#include <cerrno>

namespace tarnvel {
namespace {

constexpr long kNanosPerSecond = 1'000'000'000;

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

}  // namespace

std::chrono::nanoseconds monotonic_now() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

void sleep_for(std::chrono::nanoseconds duration) {
    // An absolute end time makes a resumed sleep wait only for what remains.
    const timespec end = to_timespec(monotonic_now() + duration);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
    }
}

FineTimerSlack::FineTimerSlack() : previous_(current_timer_slack()) {
    set_timer_slack(kFineSlackNanos);
}

FineTimerSlack::~FineTimerSlack() {
    if (previous_ != 0) set_timer_slack(previous_);
}

}  // namespace tarnvel
