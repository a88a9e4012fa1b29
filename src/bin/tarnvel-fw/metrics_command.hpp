#pragma once
// `tarnvel-fw metrics`: the boards as Prometheus metrics, on standard output or into a file
// that a collector never sees half written.

#include <span>

#include "bin/tarnvel-fw/command_line.hpp"
#include "device/board_device.hpp"

namespace tarnvel::fw {

// Read-only as `list` is: opens no device node, makes no register access, writes no journal.
int run_metrics(std::span<const BoardDevice> boards, const MetricsCommand& command);

}  // namespace tarnvel::fw
