// How close boards updated at once come to what the machine allows: a set of 2, 4 or 8 boards
// updated by one run, as `tarnvel-fw update --yes --force` updates them (UpdateRun: each
// board's part identified, what its flash held kept, and its image written, only the blocks
// that differ, every board on a thread of its own), on simulated chips busy for their data
// sheets' typical times.
//
// Sets: one per flash family (the serial flash of the QX480, QX630 and QX610 classes, the
// parallel flash, the QX410 class's serial flash behind its polled shift engine) and one mixed
// set of all three. Every board of a set is first updated alone, by the same run with one
// board, for its wall time and the CPU time it takes; then the whole set at once.
//
// Counters: wall_seconds (the set at once), slowest_alone_seconds, sum_alone_seconds (what
// --jobs 1 takes), cpu_seconds (the set at once: the process's CPU time), and ratio_to_floor =
// wall ÷ max(slowest alone, CPU the boards took alone ÷ the cores the process may use). A
// board alone spins the ends of its long waits, having cores to spare; that CPU counts in the
// floor, so ratio_to_slowest (wall ÷ slowest alone) is given too. Target: ratio_to_floor at
// most 1.15, and never slower than one board after another (ratio_to_one_job at most 1).

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <vector>

#include "flash/wait.hpp"
#include "sim/in_process.hpp"
#include "sim/model/sim_board.hpp"
#include "sim/support/temp_dir.hpp"
#include "simulated_update.hpp"
#include "update/update_run.hpp"

namespace tarnvel::bench {
namespace {

namespace fs = std::filesystem;

// Four serial-flash blocks, two parallel-flash ones: about a second a board at the data
// sheets' times.
constexpr std::size_t kImageBytes = 256 * 1024;
constexpr double kLimit = 1.15;

double process_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int usable_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    return ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

struct SetRun {
    std::string failure;
    double seconds = 0;
    double cpu_seconds = 0;
};

// Fresh boards of `kinds` on the in-process route, opened by their node files, updated by one
// run with `jobs` boards at once.
SetRun update_at_once(const std::vector<BoardKind>& kinds, const ImageFile& image, unsigned jobs) {
    const sim::TempDir dir("tarnvel-bench.");
    std::vector<std::unique_ptr<sim::SimBoard>> models;
    std::vector<std::unique_ptr<sim::InProcessPath>> routes;
    std::vector<BoardDevice> boards(kinds.size());
    std::vector<BoardDevice*> selected;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        models.push_back(sim::make_board_model(kinds[i], sim::BoardOptions::typical_chip_times()));
        const fs::path node = dir.path() / fmt::format("tarnvel{}", i);
        std::ofstream(node).flush();
        routes.push_back(std::make_unique<sim::InProcessPath>(node.string(), *models.back()));
        const HwVersionEntry& hw = board_info(kinds[i]).hw_versions.front();
        boards[i].devnode = node.string();
        boards[i].pci_address = fmt::format("0000:{:02x}:00.0", i + 1);
        boards[i].kind = kinds[i];
        boards[i].hw_major = hw.major;
        boards[i].hw_minor = hw.minor;
        selected.push_back(&boards[i]);
    }
    RunJournal journal = RunJournal::without("tarnvel-fw");
    QuietDialogue dialogue;
    // Each board's flash kept first, as tarnvel-fw keeps it.
    const UpdatePolicy policy{.unattended = true,
                              .force = true,
                              .reboot = UpdatePolicy::Reboot::Never,
                              .image_file = &image,
                              .backup = UpdatePolicy::Backup::Kept,
                              .state_dir = dir.path()};

    SetRun run;
    const double cpu_before = process_cpu_seconds();
    const auto start = monotonic_now();
    const RunOutcome outcome =
        UpdateRun(RunPolicy{.update = policy, .jobs = jobs}, journal, dialogue).run(selected);
    run.seconds = std::chrono::duration<double>(monotonic_now() - start).count();
    run.cpu_seconds = process_cpu_seconds() - cpu_before;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        const BoardUpdateReport& report = outcome.reports[i];
        if (report.result != UpdateResult::Updated) {
            run.failure = fmt::format("kind {}: {}", static_cast<unsigned>(kinds[i]),
                                      report.error ? error_text(*report.error) : "not updated");
        } else if (!models[i]->violations().empty()) {
            run.failure = models[i]->violations().summary();
        }
    }
    return run;
}

// Each kind updated alone, once per benchmark run.
const SetRun& alone(BoardKind kind, const ImageFile& image) {
    static std::map<BoardKind, SetRun> runs;
    auto found = runs.find(kind);
    if (found == runs.end()) found = runs.emplace(kind, update_at_once({kind}, image, 1)).first;
    return found->second;
}

void BM_ParallelUpdate(benchmark::State& state, std::vector<BoardKind> kinds) {
    const ImageFile image{.path = "image.bin", .bytes = noise_image(kImageBytes, 3).data};
    double slowest = 0;
    double sum = 0;
    double cpu_alone = 0;
    for (BoardKind kind : kinds) {
        const SetRun& run = alone(kind, image);
        if (!run.failure.empty()) {
            state.SkipWithError(("alone: " + run.failure).c_str());
            return;
        }
        slowest = std::max(slowest, run.seconds);
        sum += run.seconds;
        cpu_alone += run.cpu_seconds;
    }
    SetRun at_once;
    for (auto _ : state) {
        at_once = update_at_once(kinds, image, static_cast<unsigned>(kinds.size()));
        if (!at_once.failure.empty()) {
            state.SkipWithError(at_once.failure.c_str());
            return;
        }
    }
    const int cores = usable_cores();
    const double floor = std::max(slowest, cpu_alone / cores);
    const double ratio = at_once.seconds / floor;
    state.counters["boards"] = static_cast<double>(kinds.size());
    state.counters["wall_seconds"] = at_once.seconds;
    state.counters["slowest_alone_seconds"] = slowest;
    state.counters["sum_alone_seconds"] = sum;
    state.counters["cpu_seconds"] = at_once.cpu_seconds;
    state.counters["cpu_alone_seconds"] = cpu_alone;
    state.counters["cores"] = cores;
    state.counters["ratio_to_floor"] = ratio;
    state.counters["ratio_to_slowest"] = at_once.seconds / slowest;
    state.counters["ratio_to_one_job"] = at_once.seconds / sum;
    state.counters["limit"] = kLimit;
    state.SetLabel(ratio <= kLimit && at_once.seconds <= sum ? "within limit" : "MISSED");
}

[[maybe_unused]] const bool kRegistered = [] {
    using K = BoardKind;
    const std::pair<const char*, std::vector<BoardKind>> families[] = {
        {"serial", {K::Qx630, K::Qx480Spi, K::Qx610Spi}},
        {"parallel", {K::Qx400, K::Qx480Bpi, K::Qx610Bpi}},
        {"qx410", {K::Qx410, K::Qx410M2, K::Qx410Bp}},
        {"mixed", {K::Qx630, K::Qx400, K::Qx410}},
    };
    for (const auto& [family, cycle] : families) {
        for (std::size_t boards : {2u, 4u, 8u}) {
            std::vector<BoardKind> kinds;
            for (std::size_t i = 0; i < boards; ++i) kinds.push_back(cycle[i % cycle.size()]);
            register_single_run(fmt::format("ParallelUpdate/{}/{}", family, boards),
                                BM_ParallelUpdate, kinds);
        }
    }
    return true;
}();

}  // namespace
}  // namespace tarnvel::bench
