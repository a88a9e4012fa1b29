// The flash polls' waits against a plain sleep at the thread's default timer slack, measured
// in turns within one benchmark so that both see the same machine load; and the time a QX410
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
// the parallel flash's buffer-program poll). `limit`: the most the program's wait may take
// relative to the plain sleep.
void BM_PollWait(benchmark::State& state, std::chrono::nanoseconds interval, double limit) {
    const unsigned long default_slack = thread_timer_slack();
    const timespec plain_interval{0, static_cast<long>(interval.count())};
    std::vector<double> plain;
    std::vector<double> program;
    for (auto _ : state) {
        for (int i = 0; i < kSleepsPerTurn; ++i) {
            const auto start = Clock::now();
            ::nanosleep(&plain_interval, nullptr);
            plain.push_back(micros(Clock::now() - start));
        }
        // What the programming sequence holds while it polls.
        const FineTimerSlack prompt_wakeups;
        for (int i = 0; i < kSleepsPerTurn; ++i) {
            const auto start = Clock::now();
            wait_for(interval);
            program.push_back(micros(Clock::now() - start));
        }
    }
    const double ratio = mean(program) / mean(plain);
    state.counters["default_slack_us"] = static_cast<double>(default_slack) / 1000.0;
    state.counters["plain_us"] = mean(plain);
    state.counters["wait_us"] = mean(program);
    state.counters["plain_median_us"] = median(plain);
    state.counters["wait_median_us"] = median(program);
    state.counters["ratio"] = ratio;
    state.counters["limit"] = limit;
    state.counters["slack_restored"] = thread_timer_slack() == default_slack ? 1 : 0;
    state.SetLabel(ratio <= limit ? "within limit" : "MISSED");
}

BENCHMARK_CAPTURE(BM_PollWait, step_poll_1us, 1us, 0.3)
    ->Name("PollWait/1us")
    ->Iterations(100)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_PollWait, status_poll_100us, 100us, 0.8)
    ->Name("PollWait/100us")
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A 1 MiB image into a QX410: every 16 bits of every frame cost a step and its 1 µs wait.
void BM_Qx410Update(benchmark::State& state, bool fine_slack) {
    const FirmwareImage image = noise_image(kMiB);
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
    state.SetLabel(fine_slack ? "fine timer slack" : "default timer slack");
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
