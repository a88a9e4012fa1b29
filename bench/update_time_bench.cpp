// Update time against image size, for the plot in docs/performance.md: one serial-flash kind
// (QX630) and one parallel-flash kind (QX400), on simulated boards with their default busy
// settings. Long: about a minute in all.

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "firmware/image_fit.hpp"
#include "simulated_update.hpp"

namespace tarnvel::bench {
namespace {

void BM_UpdateTime(benchmark::State& state, BoardKind kind, std::uint64_t image_bytes) {
    const FirmwareImage image = noise_image(image_bytes);
    for (auto _ : state) {
        state.PauseTiming();
        SimulatedBoard board(kind);
        state.ResumeTiming();
        if (auto failure = program_quietly(board.device(), image); !failure.empty()) {
            state.SkipWithError(failure.c_str());
            return;
        }
    }
    state.counters["image_MiB"] = static_cast<double>(image_bytes) / static_cast<double>(kMiB);
    state.counters["MiB_per_s"] =
        benchmark::Counter(static_cast<double>(image_bytes) / static_cast<double>(kMiB),
                           benchmark::Counter::kIsIterationInvariantRate);
}

[[maybe_unused]] const bool kRegistered = [] {
    const std::uint64_t bpi_largest = firmware_window(BoardKind::Qx400);
    const struct {
        BoardKind kind;
        std::uint64_t largest;
    } kinds[] = {{BoardKind::Qx630, 16 * kMiB}, {BoardKind::Qx400, bpi_largest}};
    for (const auto& k : kinds) {
        for (std::uint64_t bytes : {kMiB, 2 * kMiB, 4 * kMiB, 8 * kMiB, k.largest}) {
            const std::string name =
                fmt::format("Long/UpdateTime/{}_kind{}/{}", board_info(k.kind).model_name,
                            static_cast<int>(k.kind), bytes);
            register_single_run(name, BM_UpdateTime, k.kind, bytes);
        }
    }
    return true;
}();

}  // namespace
}  // namespace tarnvel::bench
