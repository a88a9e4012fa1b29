#pragma once
// A simulated flash chip's cells in a file, so that a board's flash outlasts the run: only the
// pages that differ from the pre-fill are kept, and a page that holds one byte value
// throughout (an erased block) as that value alone. A 128 MiB chip with a 1 MiB image written
// takes about 1 MiB.
//
// Format: "TVFLASH1", the storage size (32-bit little-endian), then per page kept its number
// (32-bit little-endian) and either 0 and its 65536 bytes, or 1 and its one value.

#include <filesystem>

#include "base/error.hpp"
#include "sim/model/flash_storage.hpp"
#include "sim/model/sim_board.hpp"

namespace tarnvel::sim {

// Replaces the file whole: a new file, flushed to disk and renamed over the old one.
Status save_flash(const FlashStorage& flash, const std::filesystem::path& file);
// Replaces the whole content with the file's; the storage must have the file's size.
Status restore_flash(FlashStorage& flash, const std::filesystem::path& file);

// Both chips of a board (those it has), as "spi.flash" and "parallel.flash" in `dir`, which
// must exist. Restoring, a chip without its file keeps the pre-fill.
Status save_board_flash(SimBoard& board, const std::filesystem::path& dir);
Status restore_board_flash(SimBoard& board, const std::filesystem::path& dir);

}  // namespace tarnvel::sim
