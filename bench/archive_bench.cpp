// Reading a 64 MiB image out of its DEFLATE archive, the way the update does, against
// `unzip -p` extracting the same entry to /dev/null, in turns within one benchmark.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>

#include "firmware/firmware_archive.hpp"
#include "image_archive.hpp"
#include "sim/support/temp_dir.hpp"
#include "simulated_update.hpp"

extern char** environ;

namespace tarnvel::bench {
namespace {

using Clock = std::chrono::steady_clock;

// Runs `unzip -p archive entry` with its output to /dev/null; false if it did not succeed.
bool unzip_to_null(const ImageArchive& archive) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string program = "unzip";
    std::string flag = "-p";
    std::string path = archive.path;
    std::string entry = archive.entry_name;
    char* argv[] = {program.data(), flag.data(), path.data(), entry.data(), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "unzip", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

enum class Content { Noise, FirmwareLike };

void BM_ArchiveRead(benchmark::State& state, Content content) {
    constexpr BoardKind kKind = BoardKind::Qx630;
    constexpr std::size_t kBytes = 64 * kMiB;
    const sim::TempDir dir("tarnvel-bench.");
    const ImageArchive archive = write_image_archive(
        dir.path().string(), kKind,
        content == Content::Noise ? noise_image(kBytes).data : firmware_like_bytes(kBytes));
    if (archive.path.empty()) {
        state.SkipWithError("could not write the archive");
        return;
    }
    double program_seconds = 0;
    double unzip_seconds = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        auto image = find_firmware_image_at(archive.path, kKind);
        program_seconds += std::chrono::duration<double>(Clock::now() - start).count();
        if (!image || image->data.size() != kBytes) {
            state.SkipWithError("the archive reader failed");
            return;
        }
        image->data = {};  // freed before unzip runs, as after an update

        start = Clock::now();
        const bool unzipped = unzip_to_null(archive);
        unzip_seconds += std::chrono::duration<double>(Clock::now() - start).count();
        if (!unzipped) {
            state.SkipWithError("unzip -p failed");
            return;
        }
    }
    const auto runs = static_cast<double>(state.iterations());
    const double ratio = program_seconds / unzip_seconds;
    state.counters["program_ms"] = 1000 * program_seconds / runs;
    state.counters["unzip_ms"] = 1000 * unzip_seconds / runs;
    state.counters["ratio"] = ratio;
    state.counters["limit"] = 1.2;
    state.SetLabel(ratio <= 1.2 ? "within limit" : "MISSED");
}

BENCHMARK_CAPTURE(BM_ArchiveRead, noise, Content::Noise)
    ->Name("ArchiveRead/64MiB/noise")
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ArchiveRead, firmware_like, Content::FirmwareLike)
    ->Name("ArchiveRead/64MiB/firmware_like")
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace tarnvel::bench
