#pragma once
// The results of each command as text for people and as JSON for scripts. The JSON keys are an
// interface (tarnvel-fw(8)): keys may be added, none is renamed or changes its meaning.

#include <span>
#include <string>

#include "bin/tarnvel-fw/inventory.hpp"
#include "bin/tarnvel-fw/outcomes.hpp"

namespace tarnvel::fw {

struct ListedBoard {
    const BoardDevice* board;
    InventoryEntry entry;
};

// An array of objects: node, model, kind, hardware, firmware, archive, available, status,
// reason.
std::string list_json(std::span<const ListedBoard> boards);
// A table with a header line; "-" where a value is missing, the reason after the status.
std::string list_table(std::span<const ListedBoard> boards);

// {"ok": ..., "boards": [...]}: per board node, model, kind, hardware, result, firmware_before,
// firmware_after, image_version, rebooted, retries, error.
std::string update_json(std::span<const UpdateOutcome> outcomes, bool ok);
// One line per board.
std::string update_text(std::span<const UpdateOutcome> outcomes);

// {"ok": ..., "boards": [...]}: per board node, model, kind, hardware, firmware, result,
// image_version, bytes, blocks, first_difference, differing_blocks, error.
std::string verify_json(std::span<const VerifyOutcome> outcomes, bool ok);
std::string verify_text(std::span<const VerifyOutcome> outcomes);

}  // namespace tarnvel::fw
