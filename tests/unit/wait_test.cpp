#include "flash/wait.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sim/in_process.hpp"

namespace tarnvel {
namespace {

using namespace std::chrono_literals;

// The short waits of the flash drivers and lengths around the point where a wait stops being
// spun whole and starts with a sleep.
const std::vector<std::chrono::nanoseconds> kWaits = {1us, 49us, 50us, 51us, 100us, 5ms};

volatile sig_atomic_t g_alarms = 0;
void count_alarm(int) {
    g_alarms = g_alarms + 1;
}

// Sends SIGALRM every `interval` while it lives; the handler has no SA_RESTART, so a sleep
// it interrupts sees EINTR.
class Alarms {
  public:
    explicit Alarms(std::chrono::microseconds interval) {
        g_alarms = 0;
        struct sigaction action {};
        action.sa_handler = count_alarm;
        sigaction(SIGALRM, &action, &previous_);
        itimerval timer{};
        timer.it_value.tv_usec = interval.count();
        timer.it_interval.tv_usec = interval.count();
        setitimer(ITIMER_REAL, &timer, nullptr);
    }
    ~Alarms() {
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous_, nullptr);
    }
    Alarms(const Alarms&) = delete;
    Alarms& operator=(const Alarms&) = delete;

  private:
    struct sigaction previous_ {};
};

std::chrono::nanoseconds timed_wait(std::chrono::nanoseconds duration, WaitEnd end) {
    const auto start = monotonic_now();
    wait_for(duration, end);
    return monotonic_now() - start;
}

// Spun and slept waits alike.
class WaitFor : public ::testing::TestWithParam<WaitEnd> {};

TEST_P(WaitFor, NeverEndsEarly) {
    const FineTimerSlack prompt_wakeups;
    for (const auto duration : kWaits) {
        for (int i = 0; i < 10; ++i) {
            EXPECT_GE(timed_wait(duration, GetParam()), duration) << duration;
        }
    }
}

// Signals that land in the sleep and in the spin neither shorten a wait nor end it.
TEST_P(WaitFor, SignalsDoNotShortenTheWait) {
    const FineTimerSlack prompt_wakeups;
    const Alarms alarms(std::chrono::microseconds(70));
    for (const auto duration : kWaits) {
        for (int i = 0; i < 10; ++i) {
            EXPECT_GE(timed_wait(duration, GetParam()), duration) << duration;
        }
    }
    EXPECT_GT(g_alarms, 0);  // the alarms did come while waiting
}

// A signal that interrupts the sleep of a long wait: the sleep is resumed to the same end.
TEST_P(WaitFor, InterruptedSleepLastsTheWholeDuration) {
    const Alarms alarms(std::chrono::microseconds(10'000));
    EXPECT_GE(timed_wait(50ms, GetParam()), 50ms);
    EXPECT_GT(g_alarms, 0);
}

// The simulated clock moves only when slept on: a spin on it must not hang, and a wait moves
// it by exactly its duration, as a wait at exactly its requested length would.
TEST_P(WaitFor, OnAClockThatStandsStillSleepsOutTheRest) {
    sim::SimulatedClock clock;
    std::chrono::nanoseconds total{0};
    for (const auto duration : {1us, 50us, 51us, 100us, 100'000us}) {
        wait_for(duration, GetParam());
        total += duration;
        EXPECT_EQ(clock.elapsed(), total) << duration.count();
    }
}

// More threads sharing the cores than there are cores: their spins yield to each other, and
// every wait still lasts its whole duration and ends.
TEST(SharedCores, CrowdedSpinsStillWaitTheirWholeDuration) {
    const unsigned threads = std::max(2u, std::thread::hardware_concurrency()) * 2;
    std::atomic<int> early{0};
    {
        std::vector<std::jthread> crowd;
        for (unsigned t = 0; t < threads; ++t) {
            crowd.emplace_back([&] {
                const SharedCores sharing;
                const SharedCores nested;  // counts once
                const FineTimerSlack prompt_wakeups;
                for (int i = 0; i < 200; ++i) {
                    for (const auto duration : kWaits) {
                        if (duration > 100us) continue;
                        if (timed_wait(duration, WaitEnd::Spun) < duration) ++early;
                    }
                }
            });
        }
    }
    EXPECT_EQ(early, 0);
}

std::string end_name(const ::testing::TestParamInfo<WaitEnd>& param) {
    return param.param == WaitEnd::Spun ? "Spun" : "Slept";
}
INSTANTIATE_TEST_SUITE_P(Ends, WaitFor, ::testing::Values(WaitEnd::Spun, WaitEnd::Slept), end_name);

}  // namespace
}  // namespace tarnvel
