#include "flash/wait.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>

namespace tarnvel {
namespace {

using namespace std::chrono_literals;

volatile sig_atomic_t g_alarms = 0;
void count_alarm(int) {
    g_alarms = 1;
}

// A signal that interrupts the sleep must not shorten it.
TEST(SleepFor, InterruptedSleepLastsTheWholeDuration) {
    struct sigaction action {};
    action.sa_handler = count_alarm;  // no SA_RESTART: the sleep sees EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval timer{};
    timer.it_value.tv_usec = 10'000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    const auto start = monotonic_now();
    sleep_for(50ms);
    const auto elapsed = monotonic_now() - start;

    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(g_alarms, 1);  // the alarm did interrupt the sleep
    EXPECT_GE(elapsed, 50ms);
}

}  // namespace
}  // namespace tarnvel
