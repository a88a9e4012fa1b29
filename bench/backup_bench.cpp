// What keeping a backup costs, per flash kind: the update of one board as tarnvel-fw runs it
// (the library's own update of a board: the archive's image, the journal's record, the part
// identified, only the blocks that differ written), of an image of 1 MiB less 1000 bytes over a
// flash whose every block differs, on chips busy for their data sheets' typical times; once
// keeping what the flash held first, once with --no-backup. The backup's read of the span is
// also the read that finds the blocks that differ, which without a backup stops at a block's
// first differing page: the backup costs the rest of that read, the rest of the last block the
// write erases past the image's end (which the backup keeps too), its compression and its file.

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <chrono>
#include <fstream>

#include "flash/wait.hpp"
#include "sim/firmware/firmware_archive_writer.hpp"
#include "sim/in_process.hpp"
#include "sim/model/sim_board.hpp"
#include "sim/support/temp_dir.hpp"
#include "simulated_update.hpp"
#include "update/update_run.hpp"

namespace tarnvel::bench {
namespace {

// Ends 1000 bytes short of a block's end: the backup reaches to the end of that block.
constexpr std::size_t kImageBytes = (1 << 20) - 1000;
constexpr double kLimit = 1.10;
constexpr const char* kSlot = "0000:01:00.0";

struct Run {
    std::string failure{};
    double seconds = 0;
};

// `tarnvel-fw update --yes --force --no-reboot` of a fresh board of `kind`, with or without
// its backup, in a machine directory of its own.
Run update(BoardKind kind, bool backup) {
    const sim::TempDir dir("tarnvel-backup-bench.");
    const BoardInfo& info = board_info(kind);
    const HwVersionEntry& hw = info.hw_versions.front();
    const auto image = sim::firmware_bytes(kImageBytes, static_cast<std::uint32_t>(kind));
    const auto firmware_dir = dir.path() / "firmware";
    std::filesystem::create_directories(firmware_dir);
    if (auto written = sim::write_firmware_archive(
            firmware_dir.string(), kind, hw.major, hw.minor,
            {{.name = sim::firmware_entry_name(kind, 2), .data = image}});
        !written) {
        return {error_text(written.error())};
    }
    const std::string node = (dir.path() / "tarnvel0").string();
    std::ofstream(node).flush();

    auto model = sim::make_board_model(kind, sim::BoardOptions::typical_chip_times());
    const sim::InProcessPath route(node, *model);
    BoardDevice board;
    board.devnode = node;
    board.pci_address = kSlot;
    board.kind = kind;
    board.hw_major = hw.major;
    board.hw_minor = hw.minor;
    board.fw_version = 1;

    RunJournal journal(dir.path() / "state" / kJournalFileName, "tarnvel-fw",
                       RunJournal::Need::Required, {});
    QuietDialogue dialogue;
    UpdateRun update(
        RunPolicy{.update = UpdatePolicy{.unattended = true,
                     .force = true,
                     .reboot = UpdatePolicy::Reboot::Never,
                     .firmware_dir = firmware_dir.string(),
                     .backup = backup ? UpdatePolicy::Backup::Kept : UpdatePolicy::Backup::Skipped,
                     .state_dir = dir.path() / "state"}},
        journal, dialogue);
    const auto start = monotonic_now();
    BoardDevice* const boards[] = {&board};
    const BoardUpdateReport report = std::move(update.run(boards).reports.front());
    Run run;
    run.seconds = std::chrono::duration<double>(monotonic_now() - start).count();
    if (report.result != UpdateResult::Updated) {
        run.failure = report.error ? error_text(*report.error) : "not updated";
    } else if (!model->violations().empty()) {
        run.failure = model->violations().summary();
    }
    return run;
}

void BM_Backup(benchmark::State& state, BoardKind kind) {
    Run with;
    Run without;
    for (auto _ : state) {
        without = update(kind, false);
        with = update(kind, true);
    }
    for (const Run* run : {&without, &with}) {
        if (!run->failure.empty()) {
            state.SkipWithError(run->failure.c_str());
            return;
        }
    }
    const double ratio = with.seconds / without.seconds;
    state.counters["seconds_with_backup"] = with.seconds;
    state.counters["seconds_without_backup"] = without.seconds;
    state.counters["backup_ratio"] = ratio;
    state.counters["limit"] = kLimit;
    state.SetLabel(ratio <= kLimit ? "within limit" : "MISSED");
}

[[maybe_unused]] const bool kRegistered = [] {
    for (unsigned k = 1; k <= 9; ++k) {
        benchmark::RegisterBenchmark(fmt::format("Backup/{}", k).c_str(), BM_Backup,
                                     static_cast<BoardKind>(k))
            ->Iterations(1)
            ->Unit(benchmark::kSecond)
            ->UseRealTime();
    }
    return true;
}();

}  // namespace
}  // namespace tarnvel::bench
