// Peak resident memory of a whole update: the image read from its DEFLATE archive, then
// erased, written and read back block by block into a simulated board, in a process of its
// own. The budget is 2.1 times the image plus 16 MiB: the image, for the parallel flash its
// bit-mirrored copy, the block buffers, and the process itself. The simulated chip keeps the
// written blocks in the same process; its cell arrays are counted and reported apart.

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "firmware/image_fit.hpp"
#include "image_archive.hpp"
#include "sim/support/temp_dir.hpp"
#include "simulated_update.hpp"
#include "update_child.hpp"

namespace tarnvel::bench {
namespace {

double mib(std::uint64_t bytes) {
    return static_cast<double>(bytes) / static_cast<double>(kMiB);
}

void BM_UpdateMemory(benchmark::State& state, BoardKind kind, std::uint64_t image_bytes) {
    const sim::TempDir dir("tarnvel-bench.");
    const ImageArchive archive =
        write_image_archive(dir.path().string(), kind, firmware_like_bytes(image_bytes));
    if (archive.path.empty()) {
        state.SkipWithError("could not write the archive");
        return;
    }
    UpdateMemory memory;
    for (auto _ : state) {
        memory = measure_update_memory(kind, archive.path);
        if (!memory.ok) {
            state.SkipWithError(memory.failure.c_str());
            return;
        }
    }
    const double budget = 2.1 * mib(image_bytes) + 16;
    const double peak = mib(memory.peak_bytes);
    const double without_chip = mib(memory.peak_bytes - memory.chip_bytes);
    state.counters["image_MiB"] = mib(image_bytes);
    state.counters["peak_MiB"] = peak;
    state.counters["chip_MiB"] = mib(memory.chip_bytes);
    state.counters["peak_without_chip_MiB"] = without_chip;
    state.counters["start_MiB"] = mib(memory.baseline_bytes);
    state.counters["budget_MiB"] = budget;
    state.SetLabel(fmt::format("{} with the chip, {} without",
                               peak <= budget ? "within budget" : "OVER BUDGET",
                               without_chip <= budget ? "within budget" : "OVER BUDGET"));
}

// 64 MiB on a serial flash with 4-byte addresses; the parallel flash's 24-bit word address
// leaves room for no more than its window above the firmware's base address (15.875 MiB).
[[maybe_unused]] const bool kRegistered = [] {
    const std::uint64_t bpi_largest = firmware_window(BoardKind::Qx400);
    const struct {
        BoardKind kind;
        std::uint64_t bytes;
    } cases[] = {{BoardKind::Qx630, 64 * kMiB}, {BoardKind::Qx400, bpi_largest}};
    for (const auto& c : cases) {
        const std::string name =
            fmt::format("UpdateMemory/{}_kind{}/{}", board_info(c.kind).model_name,
                        static_cast<int>(c.kind), c.bytes);
        register_single_run(name, BM_UpdateMemory, c.kind, c.bytes);
    }
    return true;
}();

}  // namespace
}  // namespace tarnvel::bench
