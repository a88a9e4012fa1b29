#pragma once
// What a board runs and what its firmware archive holds for it, found without opening the board.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "device/board_device.hpp"

namespace tarnvel::fw {

enum class BoardStatus : std::uint8_t {
    UpdateAvailable,  // the archive's image is newer than the running firmware
    UpToDate,         // the same version
    BoardNewer,       // the board runs a newer version than the archive's image
    NoArchive,        // the board's archive is not there
    NoImage,          // the archive is unusable, holds no image for the board, or a bad one
    Unsupported,      // not a known board
    DynamicFirmware,  // a QX1800: loads its firmware at run time, nothing to write
};

std::string_view status_word(BoardStatus status);

struct InventoryEntry {
    BoardStatus status = BoardStatus::Unsupported;
    std::optional<std::string> archive;     // the archive's path, for boards that have one
    std::optional<std::int32_t> available;  // the image's version
    std::optional<std::string> reason;      // why there is no image
};

// Reads the board's archive and its image (which must pass the same checks as for writing);
// the board itself is neither opened nor touched.
InventoryEntry take_inventory(const BoardDevice& board);

}  // namespace tarnvel::fw
