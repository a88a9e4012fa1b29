// The benchmarks of the flash update on simulated boards. Without --benchmark_filter the long
// cases (names starting with "Long/") are left out; scripts/bench runs them all.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string_view>

#include "update_child.hpp"

int main(int argc, char** argv) {
    if (argc >= 2 && std::string_view(argv[1]) == tarnvel::bench::kUpdateChildFlag) {
        return tarnvel::bench::run_update_child(argc - 2, argv + 2);
    }
    bool filtered = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--benchmark_filter", 18) == 0) filtered = true;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!filtered) benchmark::SetBenchmarkFilter("-^Long/");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
