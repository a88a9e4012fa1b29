#pragma once
// `tarnvel-fw update`: the updater's sequence for each selected board, unattended with --yes.

#include <cstddef>
#include <span>

#include "bin/tarnvel-fw/command_line.hpp"
#include "bin/tarnvel-fw/configuration.hpp"
#include "device/board_device.hpp"

namespace tarnvel::fw {

// How many of `boards` selected boards are written at once: --jobs (or TARNVEL_FW_JOBS), else
// the configuration's jobs, else every one.
unsigned boards_at_once(const UpdateCommand& command, const Configuration& configuration,
                        std::size_t boards);

// Runs the command on the discovered boards and answers the exit status.
int run_update(std::span<BoardDevice> boards, const UpdateCommand& command);

}  // namespace tarnvel::fw
