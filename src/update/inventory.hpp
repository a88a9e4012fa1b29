#pragma once
// The boards as `list` and `metrics` report them: every board found, each with what it needs
// as the decision has it, and then every board the journal knows that is gone. Read-only: no
// device node is opened, no register accessed, nothing written.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/board_device.hpp"
#include "firmware/firmware_archive.hpp"
#include "update/board_identity.hpp"
#include "update/decision.hpp"
#include "update/journal.hpp"

namespace tarnvel {

struct BoardListing {
    // A board found; for a missing one, the board its last record tells of.
    BoardIdentity board;
    bool found = true;
    std::optional<std::string> archive{};     // the archive's path, for boards that have one
    std::optional<std::int32_t> available{};  // the image's version
    Decision decision{};
    std::optional<WriteRecord> last_write{};  // the journal's last record of the board

    // The firmware the board runs; none for a board that was not found.
    std::optional<std::uint16_t> firmware() const {
        return found ? std::optional(board.fw_version) : std::nullopt;
    }
};

struct Inventory {
    std::vector<BoardListing> boards;  // the boards found, in discovery order, then the missing
    bool any_missing = false;
    // False when the journal could not be read: the boards it would weigh in on are then
    // undecided.
    bool journal_read = true;
};

// Takes stock of `boards` with the journal in `journal_file`; the first problem reading it is
// told to `on_journal_problem`.
Inventory take_inventory(std::span<const BoardDevice> boards,
                         const std::filesystem::path& journal_file,
                         const std::function<void(const Error&)>& on_journal_problem,
                         std::string_view firmware_dir = kFirmwareDir);

}  // namespace tarnvel
