// How close a whole update comes to its floor, per flash kind: a 1 MiB update (attaching the
// flash driver, then erase, write and read back of every block) on simulated chips that are
// busy for their data sheets' typical times, against what an ideal implementation of the same
// register sequences would need on the same chips: every wait at exactly its requested length
// and every register access at the cost of a bare in-process access.
//
// The floor is measured, not estimated. The same update runs once more in simulated time
// (sim::SimulatedClock, the benchmark binary being linked with the clock wraps): there every
// wait moves the clock by exactly its length, register accesses take no time, and the chips
// keep that clock, so the simulated time the update takes is the sum of its waits at their
// requested lengths, polled as often as the chips' times make an ideal implementation poll.
// Its register accesses are then costed at a bare access measured in the same run.
//
// CPU: the thread's CPU time of the real update, and the user CPU time it takes beyond the
// simulated run, which neither sleeps nor spins: what the spinning at the end of the waits
// costs (the sleeps' own system calls are kernel time).
//
// The update is a full programming run, as tarnvel-flash and `tarnvel-fw update --full` make
// it; at the data sheets' times the serial flash kinds also run tarnvel-fw's default, the run
// that compares each block first (`/differing`), over a flash whose every block differs.

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <sys/resource.h>

#include <chrono>

#include "bare_access.hpp"
#include "flash/wait.hpp"
#include "sim/in_process.hpp"
#include "simulated_update.hpp"

namespace tarnvel::bench {
namespace {

constexpr std::uint64_t kImageBytes = kMiB;
// Bare accesses timed for the floor's cost per access.
constexpr std::uint64_t kBareAccesses = 4'000'000;
constexpr double kLimit = 1.10;

double seconds_of(std::chrono::nanoseconds t) {
    return std::chrono::duration<double>(t).count();
}

double thread_user_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
}

struct UpdateRun {
    std::string failure;
    double seconds = 0;  // on the clock the update ran on
    std::uint64_t accesses = 0;
    double cpu_seconds = 0;
    double user_seconds = 0;
};

// One whole update, attaching included, timed on the monotonic clock as the program reads it
// (simulated while a SimulatedClock runs).
UpdateRun run_update(BoardKind kind, const sim::BoardOptions& options, const FirmwareImage& image,
                     ProgrammingMode mode) {
    UpdateRun run;
    const double user_before = thread_user_seconds();
    const std::int64_t cpu_before = thread_cpu_nanos();
    const auto start = monotonic_now();
    {
        SimulatedBoard board(kind, options);
        run.failure = program_quietly(board.device(), image, mode);
        if (run.failure.empty() && !board.model().violations().empty()) {
            run.failure = board.model().violations().summary();
        }
        run.accesses = board.accesses();
    }
    run.seconds = seconds_of(monotonic_now() - start);
    run.cpu_seconds = static_cast<double>(thread_cpu_nanos() - cpu_before) / 1e9;
    run.user_seconds = thread_user_seconds() - user_before;
    return run;
}

// `chip_time_scale`: the chips' data-sheet times are multiplied by it.
void BM_UpdateFloor(benchmark::State& state, BoardKind kind, double chip_time_scale,
                    ProgrammingMode mode) {
    const FirmwareImage image = noise_image(kImageBytes, static_cast<std::uint32_t>(kind));
    const sim::BoardOptions options = sim::BoardOptions::typical_chip_times(chip_time_scale);

    UpdateRun ideal;
    {
        const sim::SimulatedClock clock;
        ideal = run_update(kind, options, image, mode);
    }
    if (!ideal.failure.empty()) {
        state.SkipWithError(("in simulated time: " + ideal.failure).c_str());
        return;
    }
    const double bare_ns = bare_access_nanos(kBareAccesses);
    const double floor = ideal.seconds + static_cast<double>(ideal.accesses) * bare_ns / 1e9;

    UpdateRun real;
    for (auto _ : state) {
        real = run_update(kind, options, image, mode);
        if (!real.failure.empty()) {
            state.SkipWithError(real.failure.c_str());
            return;
        }
    }
    const double ratio = real.seconds / floor;
    state.counters["seconds"] = real.seconds;
    state.counters["floor_seconds"] = floor;
    state.counters["ratio_to_floor"] = ratio;
    state.counters["waits_seconds"] = ideal.seconds;
    state.counters["accesses"] = static_cast<double>(real.accesses);
    state.counters["floor_accesses"] = static_cast<double>(ideal.accesses);
    state.counters["bare_access_ns"] = bare_ns;
    state.counters["cpu_seconds"] = real.cpu_seconds;
    state.counters["spin_cpu_seconds"] = real.user_seconds - ideal.user_seconds;
    state.counters["chip_time_scale"] = chip_time_scale;
    state.counters["limit"] = kLimit;
    state.SetLabel(ratio <= kLimit ? "within limit" : "MISSED");
}

// Every flash kind with chip times at a quarter of the data sheets' (about two seconds a
// case), and again, among the long cases, at the data sheets' own times.
[[maybe_unused]] const bool kRegistered = [] {
    for (const auto& [prefix, scale] : {std::pair{"", 0.25}, std::pair{"Long/", 1.0}}) {
        for (unsigned k = 1; k <= 9; ++k) {
            const auto kind = static_cast<BoardKind>(k);
            const std::string name = fmt::format("{}UpdateFloor/{}{}", prefix, k,
                                                 scale == 1.0 ? "/datasheet_times" : "");
            register_single_run(name, BM_UpdateFloor, kind, scale, ProgrammingMode::Full);
        }
    }
    for (const BoardKind kind : {BoardKind::Qx480Spi, BoardKind::Qx630, BoardKind::Qx610Spi}) {
        const std::string name = fmt::format("Long/UpdateFloor/{}/datasheet_times/differing",
                                             static_cast<unsigned>(kind));
        register_single_run(name, BM_UpdateFloor, kind, 1.0, ProgrammingMode::Differing);
    }
    return true;
}();

}  // namespace
}  // namespace tarnvel::bench
