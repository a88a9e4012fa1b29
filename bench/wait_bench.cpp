// The flash polls' waits against a plain sleep at the thread's default timer slack, measured
// in turns within one benchmark so that all see the same machine load; and the time a QX410
// update takes with and without the program's fine timer slack.

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "flash/wait.hpp"
#include "simulated_update.hpp"
#include "timer_slack_seam.hpp"

namespace tarnvel::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kSleepsPerTurn = 50;

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::ranges::nth_element(values, values.begin() + static_cast<long>(values.size() / 2));
    return values[values.size() / 2];
}

double mean(const std::vector<double>& values) {
    double sum = 0;
    for (double v : values) sum += v;
    return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// `interval`: 1 µs (the polled shift engine's step poll) or 100 µs (the SPI status poll and
// the parallel flash's buffer-program poll). `limit_us`: the most the program's wait may last
// at the median. Each turn times a plain nanosleep, the program's wait as the programming
// sequence runs it (fine timer slack) and the program's wait at the default slack.
void BM_PollWait(benchmark::State& state, std::chrono::nanoseconds interval, double limit_us) {
    const unsigned long default_slack = thread_timer_slack();
    const timespec plain_interval{0, static_cast<long>(interval.count())};
    std::vector<double> plain;
    std::vector<double> program;
    std::vector<double> program_default_slack;
    const auto timed_waits = [&](std::vector<double>& into) {
        for (int i = 0; i < kSleepsPerTurn; ++i) {
            const auto start = Clock::now();
            wait_for(interval);
            into.push_back(micros(Clock::now() - start));
        }
    };
    for (auto _ : state) {
        for (int i = 0; i < kSleepsPerTurn; ++i) {
            const auto start = Clock::now();
            ::nanosleep(&plain_interval, nullptr);
            plain.push_back(micros(Clock::now() - start));
        }
        timed_waits(program_default_slack);
        const FineTimerSlack prompt_wakeups;
        timed_waits(program);
    }
    const double wait_median = median(program);
    state.counters["default_slack_us"] = static_cast<double>(default_slack) / 1000.0;
    state.counters["plain_us"] = mean(plain);
    state.counters["wait_us"] = mean(program);
    state.counters["plain_median_us"] = median(plain);
    state.counters["wait_median_us"] = wait_median;
    state.counters["wait_default_slack_median_us"] = median(program_default_slack);
    state.counters["limit_us"] = limit_us;
    state.counters["slack_restored"] = thread_timer_slack() == default_slack ? 1 : 0;
    state.SetLabel(wait_median <= limit_us ? "within limit" : "MISSED");
}

BENCHMARK_CAPTURE(BM_PollWait, step_poll_1us, 1us, 1.5)
    ->Name("PollWait/1us")
    ->Iterations(100)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_PollWait, status_poll_100us, 100us, 103)
    ->Name("PollWait/100us")
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A 1 MiB image into a QX410: every 16 bits of every frame cost a step and its 1 µs wait.
void BM_Qx410Update(benchmark::State& state, bool fine_slack) {
    constexpr double kLimitSeconds = 2.5;
    const FirmwareImage image = noise_image(kMiB);
    const auto start = Clock::now();
    for (auto _ : state) {
        SimulatedBoard board(BoardKind::Qx410);
        std::string failure;
        if (fine_slack) {
            failure = program_quietly(board.device(), image);
        } else {
            const KeepTimerSlack default_slack;
            failure = program_quietly(board.device(), image);
        }
        if (!failure.empty()) {
            state.SkipWithError(failure.c_str());
            return;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count() /
                           static_cast<double>(state.iterations());
    state.counters["seconds"] = seconds;
    state.counters["limit_seconds"] = kLimitSeconds;
    if (fine_slack) {
        state.SetLabel(seconds <= kLimitSeconds ? "within limit" : "MISSED");
    } else {
        state.SetLabel("default timer slack");
    }
}

BENCHMARK_CAPTURE(BM_Qx410Update, fine, true)
    ->Name("Long/Qx410Update1MiB/fine_slack")
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Qx410Update, default, false)
    ->Name("Long/Qx410Update1MiB/default_slack")
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
}  // namespace tarnvel::bench
