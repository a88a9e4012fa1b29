#pragma once
// A whole update (the image read from its archive, then programmed into a simulated board) in
// a process of its own, so that its peak resident memory is the update's and nothing else's.

#include <cstdint>
#include <string>
#include <string_view>

#include "device/board_table.hpp"

namespace tarnvel::bench {

// The first argument that makes the benchmark binary run one update and exit.
inline constexpr std::string_view kUpdateChildFlag = "--update-child";

// In the child: arguments kind number and archive path. Reports on descriptor 3.
int run_update_child(int argc, char** argv);

struct UpdateMemory {
    bool ok = false;
    std::string failure;           // why not, when not ok
    std::uint64_t peak_bytes = 0;  // the child's peak resident set
    std::uint64_t chip_bytes = 0;  // of which the simulated chips' cell arrays
    std::uint64_t image_bytes = 0;
    std::uint64_t baseline_bytes = 0;  // resident before the update began
};

// Runs the update of the archive at `archive_path` on a simulated board of `kind` in a child
// process started afresh from this binary.
UpdateMemory measure_update_memory(BoardKind kind, const std::string& archive_path);

}  // namespace tarnvel::bench
