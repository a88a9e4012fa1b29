#pragma once
// The boards as `list` and `metrics` report them: every board found, each with what it needs
// as the update module decides it, and then every board the journal knows that is gone.
// Read-only: no device node is opened, no register accessed, nothing written.

#include <span>
#include <vector>

#include "bin/tarnvel-fw/reports.hpp"
#include "device/board_device.hpp"

namespace tarnvel::fw {

struct BoardInventory {
    std::vector<ListRow> rows;  // the boards found, in discovery order, then the missing ones
    bool any_missing = false;
    // False when the journal could not be read (a notice said why): the statuses then come
    // from the versions alone.
    bool journal_read = true;
};

BoardInventory take_inventory(std::span<const BoardDevice> boards);

}  // namespace tarnvel::fw
