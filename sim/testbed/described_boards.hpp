#pragma once
// Turns board descriptions into a populated testbed: each board with its model (the kind's
// simulated hardware or a register file, optionally behind injected faults) and, in a
// firmware directory, the archive its description asks for.

#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "sim/model/register_faults.hpp"
#include "sim/model/sim_board.hpp"
#include "sim/testbed/board_description.hpp"
#include "sim/testbed/firmware_dir.hpp"
#include "sim/testbed/testbed.hpp"

namespace tarnvel::sim {

// Adds a board whose model is the kind's simulated hardware (testbed.model_as<SimBoard>, or
// inside a RegisterFaults when a fault is given).
Result<std::size_t> add_hardware_board(Testbed& testbed, BoardKind kind, BoardConfig config,
                                       const BoardOptions& options = {},
                                       std::optional<RegisterFault> fault = std::nullopt);

// Adds the boards in order. With `archives`, writes each board's archive into it; boards that
// share an archive file keep the last one written. Answers notes for the operator (an
// archive that could not be planned, for example), one per line.
Result<std::vector<std::string>> add_described_boards(Testbed& testbed, FirmwareDir* archives,
                                                      std::vector<BoardDescription> boards);

}  // namespace tarnvel::sim
