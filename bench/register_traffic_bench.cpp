// Register traffic of a whole update, per flash kind: the program's count of register accesses
// must equal, exactly, what the documented register sequences imply for the image. A single
// extra status read, poll or clearing write per page shows up as a ratio above 1.

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <vector>

#include "expected_traffic.hpp"
#include "simulated_update.hpp"

namespace tarnvel::bench {
namespace {

struct TrafficCase {
    BoardKind kind;
    std::uint64_t image_bytes;
    BusyPolls polls;
};

sim::BoardOptions board_options(const BusyPolls& polls) {
    sim::BoardOptions options;
    options.spi.program_time = {.polls = polls.spi_program};
    options.spi.erase_time = {.polls = polls.spi_erase};
    options.parallel.program_time = {.polls = polls.bpi_program};
    options.parallel.erase_time = {.polls = polls.bpi_erase};
    options.shift_polls = polls.shift_reads;
    return options;
}

void BM_RegisterTraffic(benchmark::State& state, TrafficCase c) {
    const FirmwareImage image = noise_image(c.image_bytes, static_cast<std::uint32_t>(c.kind));
    const std::uint64_t expected = expected_update_accesses(c.kind, c.image_bytes, c.polls);
    std::uint64_t accesses = 0;
    for (auto _ : state) {
        SimulatedBoard board(c.kind, board_options(c.polls));
        if (auto failure = program_quietly(board.device(), image); !failure.empty()) {
            state.SkipWithError(failure.c_str());
            return;
        }
        if (!board.model().violations().empty()) {
            state.SkipWithError(board.model().violations().summary().c_str());
            return;
        }
        accesses = board.accesses();
    }
    const double ratio = static_cast<double>(accesses) / static_cast<double>(expected);
    state.counters["accesses"] = static_cast<double>(accesses);
    state.counters["expected"] = static_cast<double>(expected);
    state.counters["ratio"] = ratio;
    state.counters["accesses_per_MiB"] = static_cast<double>(accesses) * static_cast<double>(kMiB) /
                                         static_cast<double>(c.image_bytes);
    state.counters["MiB_per_s"] =
        benchmark::Counter(static_cast<double>(c.image_bytes) / static_cast<double>(kMiB),
                           benchmark::Counter::kIsRate);
    // The busy settings the count depends on, for the report.
    state.counters["busy_spi_program"] = c.polls.spi_program;
    state.counters["busy_spi_erase"] = c.polls.spi_erase;
    state.counters["busy_bpi_program"] = c.polls.bpi_program;
    state.counters["busy_bpi_erase"] = c.polls.bpi_erase;
    state.counters["shift_reads"] = c.polls.shift_reads;
    state.SetLabel(accesses == expected ? "exact" : "MISMATCH");
}

// Every flash kind once with whole megabytes (QX410 kinds with 128 KiB: every 16 bits there
// costs a sleep) and once with a short last block, under busy settings that vary from kind to
// kind so that every poll loop runs more than once somewhere. A page program stays ready at
// the first status poll: the simulated chip is busy for a number of polls, not for a time, and
// a page still busy after its 10 ms limit fails, which a loaded machine can make happen by
// holding the process up between the command and the poll. A parallel-flash erase poll costs
// 100 ms, so those stay low.
std::vector<TrafficCase> traffic_cases() {
    constexpr std::uint64_t kSpiBlock = 0x10000;
    constexpr std::uint64_t kBpiBlock = 0x20000;
    constexpr std::uint64_t kTail = 262;  // a page and a bit, even for the 16-bit flash
    const BusyPolls spi_default{.spi_erase = 1};
    const BusyPolls spi_busy{.spi_erase = 3};
    const BusyPolls shift_busy{.spi_erase = 2, .shift_reads = 2};
    const BusyPolls bpi_default{};
    const BusyPolls bpi_busy{.bpi_program = 2, .bpi_erase = 1};
    std::vector<TrafficCase> cases = {
        {BoardKind::Qx410, 128 * 1024, shift_busy},
        {BoardKind::Qx410M2, 128 * 1024, {.spi_erase = 1}},
        {BoardKind::Qx410Bp, 128 * 1024, {.spi_erase = 1}},
        {BoardKind::Qx480Bpi, kMiB, bpi_busy},
        {BoardKind::Qx480Spi, kMiB, spi_busy},
        {BoardKind::Qx400, kMiB, bpi_default},
        {BoardKind::Qx610Bpi, kMiB, bpi_default},
        {BoardKind::Qx630, kMiB, spi_default},
        {BoardKind::Qx610Spi, kMiB, spi_busy},
    };
    for (unsigned k = 1; k <= 9; ++k) {
        const auto kind = static_cast<BoardKind>(k);
        const bool bpi = board_info(kind).flash == FlashType::Bpi;
        const BusyPolls& polls = bpi ? bpi_busy : (k <= 3 ? shift_busy : spi_busy);
        cases.push_back({kind, (bpi ? kBpiBlock : kSpiBlock) + kTail, polls});
    }
    return cases;
}

[[maybe_unused]] const bool kRegistered = [] {
    for (const TrafficCase& c : traffic_cases()) {
        const std::string name =
            fmt::format("RegisterTraffic/{}_kind{}/{}", board_info(c.kind).model_name,
                        static_cast<int>(c.kind), c.image_bytes);
        benchmark::RegisterBenchmark(name.c_str(), BM_RegisterTraffic, c)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    return true;
}();

}  // namespace
}  // namespace tarnvel::bench
