#include "flash/wait.hpp"

#include <time.h>

#include <cerrno>

namespace tarnvel {
namespace {

constexpr long kNanosPerSecond = 1'000'000'000;

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

}  // namespace tarnvel
