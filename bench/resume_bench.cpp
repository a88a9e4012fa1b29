// What writing only the blocks that differ saves, per flash kind: a 1 MiB update on simulated
// chips that are busy for their data sheets' typical times, three ways. Full: every block
// erased, written and read back, over a flash that holds another image (the chips' pre-fill).
// Resumed: only the blocks that differ, after the first half of the blocks already hold the
// image, as after an update cut short half way. Unchanged: only the blocks that differ, over a
// flash that holds the whole image, as for an image written again by force. The last two are
// timed against the first.

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <span>
#include <vector>

#include "flash/wait.hpp"
#include "flash/word_mirror.hpp"
#include "simulated_update.hpp"

namespace tarnvel::bench {
namespace {

constexpr std::uint64_t kImageBytes = kMiB;
constexpr double kResumeLimit = 0.55;
constexpr double kUnchangedLimit = 0.20;

struct Run {
    std::string failure;
    double seconds = 0;
    ProgrammingReport report;
    std::uint64_t erases = 0;
};

std::uint64_t erases_done(sim::SimBoard& model, FlashType flash) {
    return flash == FlashType::Spi ? model.spi_chip()->erases_done()
                                   : model.parallel_chip()->erases_done();
}

// One programming run on a fresh board whose flash already holds the image's first `held`
// blocks (the parallel flash with its words mirrored, as the program writes them).
Run run(BoardKind kind, const FirmwareImage& image, std::uint32_t held, ProgrammingMode mode) {
    SimulatedBoard board(kind, sim::BoardOptions::typical_chip_times());
    const BoardInfo& info = board_info(kind);
    const std::uint32_t held_bytes = std::min<std::uint32_t>(
        held * board.flash().erase_size(), static_cast<std::uint32_t>(image.data.size()));
    std::span<const std::uint8_t> installed = std::span(image.data).first(held_bytes);
    std::vector<std::uint8_t> mirrored;
    if (info.flash == FlashType::Bpi) {
        mirror_words(installed, mirrored);
        installed = mirrored;
    }
    board.model().firmware_flash()->load(info.base_address, installed);

    Run result;
    const std::uint64_t erases_before = erases_done(board.model(), info.flash);
    const auto start = monotonic_now();
    result.failure = program_quietly(board.device(), image, mode, &result.report);
    result.seconds = std::chrono::duration<double>(monotonic_now() - start).count();
    result.erases = erases_done(board.model(), info.flash) - erases_before;
    if (result.failure.empty() && !board.model().violations().empty()) {
        result.failure = board.model().violations().summary();
    }
    // The blocks that held the image must be the ones left alone, and only those.
    const ProgrammingReport& done = result.report;
    if (result.failure.empty() && mode == ProgrammingMode::Differing &&
        (done.blocks_unchanged != held || done.blocks_written != done.block_count - held)) {
        result.failure =
            fmt::format("{} of {} blocks unchanged, {} written; expected {} unchanged",
                        done.blocks_unchanged, done.block_count, done.blocks_written, held);
    }
    return result;
}

void BM_Resume(benchmark::State& state, BoardKind kind) {
    const FirmwareImage image = noise_image(kImageBytes, static_cast<std::uint32_t>(kind));
    Run full, resumed, unchanged;
    for (auto _ : state) {
        full = run(kind, image, 0, ProgrammingMode::Full);
        const std::uint32_t blocks = full.report.block_count;
        resumed = run(kind, image, blocks / 2, ProgrammingMode::Differing);
        unchanged = run(kind, image, blocks, ProgrammingMode::Differing);
        for (const Run* r : {&full, &resumed, &unchanged}) {
            if (!r->failure.empty()) {
                state.SkipWithError(r->failure.c_str());
                return;
            }
        }
    }
    const double resume_ratio = resumed.seconds / full.seconds;
    const double unchanged_ratio = unchanged.seconds / full.seconds;
    state.counters["full_seconds"] = full.seconds;
    state.counters["resume_seconds"] = resumed.seconds;
    state.counters["unchanged_seconds"] = unchanged.seconds;
    state.counters["resume_ratio"] = resume_ratio;
    state.counters["unchanged_ratio"] = unchanged_ratio;
    state.counters["blocks"] = full.report.block_count;
    state.counters["resume_erases"] = static_cast<double>(resumed.erases);
    state.counters["unchanged_erases"] = static_cast<double>(unchanged.erases);
    state.counters["resume_limit"] = kResumeLimit;
    state.counters["unchanged_limit"] = kUnchangedLimit;
    const bool within = resume_ratio <= kResumeLimit && unchanged_ratio <= kUnchangedLimit;
    state.SetLabel(within ? "within limit" : "MISSED");
}

// Every flash kind, at the data sheets' own times: some 5-9 s a case.
[[maybe_unused]] const bool kRegistered = [] {
    for (unsigned k = 1; k <= 9; ++k) {
        register_single_run(fmt::format("Resume/{}", k), BM_Resume, static_cast<BoardKind>(k));
    }
    return true;
}();

}  // namespace
}  // namespace tarnvel::bench
