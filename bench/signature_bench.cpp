// Checking an archive's minisign signature against the update it guards: a 16 MiB archive read
// into memory and its signature checked over those bytes (both of minisign's forms), held
// against the time a whole update of that image takes on the fastest kind (QX630: serial
// flash, chunked SPI engine). Target: the check costs at most 0.05 of the update.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "firmware/minisign.hpp"
#include "firmware/signed_image.hpp"
#include "firmware/zip_archive.hpp"
#include "image_archive.hpp"
#include "sim/support/temp_dir.hpp"
#include "simulated_update.hpp"

namespace tarnvel::bench {
namespace {

using Clock = std::chrono::steady_clock;

bool run_quietly(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1 </dev/null").c_str()) == 0;
}

std::string whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Seconds of one read of the archive and one check of its signature, the mean of `runs`; a
// negative number when the check does not verify.
double check_seconds(const std::string& archive, std::span<const MinisignKey> keys, int runs) {
    double seconds = 0;
    for (int run = 0; run < runs; ++run) {
        const auto start = Clock::now();
        auto bytes = ZipArchive::read_file(archive);
        const SignatureCheck check =
            bytes ? check_signature(archive, *bytes, keys) : SignatureCheck{};
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        if (check.state != SignatureState::Verified) return -1;
    }
    return seconds / runs;
}

void BM_SignatureCheck(benchmark::State& state) {
    constexpr BoardKind kKind = BoardKind::Qx630;
    constexpr std::size_t kBytes = 16 * kMiB;
    constexpr int kRuns = 5;
    const sim::TempDir dir("tarnvel-bench.");
    const std::vector<std::uint8_t> image = firmware_like_bytes(kBytes);
    const ImageArchive archive = write_image_archive(dir.path().string(), kKind, image);
    const std::string pub = (dir.path() / "bench.pub").string();
    const std::string key = (dir.path() / "bench.key").string();
    if (archive.path.empty() || !run_quietly("minisign -G -W -p " + pub + " -s " + key)) {
        state.SkipWithError("could not write the archive or make a key (is minisign installed?)");
        return;
    }
    const auto trusted = parse_minisign_key(whole_file(pub));
    if (!trusted) {
        state.SkipWithError("minisign's public key was not read");
        return;
    }
    const std::vector<MinisignKey> keys{*trusted};
    for (auto _ : state) {
        double forms[2] = {};
        for (const bool legacy : {false, true}) {
            if (!run_quietly(std::string("minisign -S") + (legacy ? " -l" : "") + " -s " + key +
                             " -m " + archive.path)) {
                state.SkipWithError("minisign could not sign the archive");
                return;
            }
            forms[legacy ? 1 : 0] = check_seconds(archive.path, keys, kRuns);
            if (forms[legacy ? 1 : 0] < 0) {
                state.SkipWithError("the signature did not verify");
                return;
            }
        }
        SimulatedBoard board(kKind);
        const auto start = Clock::now();
        if (auto failure = program_quietly(board.device(), FirmwareImage{1, image});
            !failure.empty()) {
            state.SkipWithError(failure.c_str());
            return;
        }
        const double update = std::chrono::duration<double>(Clock::now() - start).count();
        state.counters["prehashed_ms"] = 1000 * forms[0];
        state.counters["legacy_ms"] = 1000 * forms[1];
        state.counters["update_s"] = update;
        const double ratio = std::max(forms[0], forms[1]) / update;
        state.counters["ratio"] = ratio;
        state.counters["limit"] = 0.05;
        state.SetLabel(ratio <= 0.05 ? "within limit" : "MISSED");
    }
}

[[maybe_unused]] const bool kRegistered = [] {
    register_single_run("Long/SignatureCheck/QX630_kind8/16MiB", BM_SignatureCheck);
    return true;
}();

}  // namespace
}  // namespace tarnvel::bench
