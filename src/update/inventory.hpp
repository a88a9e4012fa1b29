#pragma once
// The boards as `list` and `metrics` report them: every board found, each with what it needs
// as the decision has it, and then every board the journal knows that is gone. Read-only: no
// device node is opened, no register accessed, nothing written. Each board's image is read for
// its digest.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "device/board_device.hpp"
#include "firmware/firmware_archive.hpp"
#include "update/board_identity.hpp"
#include "update/board_update.hpp"
#include "update/decision.hpp"
#include "update/image_policy.hpp"
#include "journal/journal.hpp"

namespace tarnvel {

struct BoardListing {
    // A board found; for a missing one, the board its last record tells of.
    BoardIdentity board;
    bool found = true;
    std::optional<std::string> archive{};     // the archive's path, for boards that have one
    std::optional<std::int32_t> available{};  // the image's version
    // The SHA-256 of the image the board would get, in hexadecimal: what an approved or blocked
    // list names. None when it gets none, or the image can't be read.
    std::optional<std::string> image_sha256{};
    Decision decision{};
    std::optional<WriteRecord> last_write{};  // the journal's last record of the board
    // The record whose backup rollback would write back into the board.
    std::optional<std::int64_t> backup_record{};
    // The archive's signature as checked, when it has one or signatures are required.
    std::optional<SignatureCheck> signature{};
    // Why the policy refuses that signature, whether or not the board needs its image now.
    std::optional<std::string> signature_refused{};
    // The board's last write that reached its flash is a verified rollback: rolling it back
    // again changes nothing.
    bool rolled_back = false;

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

// A board that is missing, as its last record knows it: its node, slot, kind and hardware then,
// and firmware 0.
BoardIdentity last_known_identity(const WriteRecord& record);
// Why a board whose last write is `last` (the newest that touched its flash) is reported
// missing, and how a board taken out for good is taken off the journal.
std::string missing_reason(const WriteRecord& last);

// The boards the journal knows that are not among `boards` (missing_boards): the last record
// of each, newest first.
Result<std::vector<WriteRecord>> find_missing_boards(const Journal& journal,
                                                     std::span<const BoardDevice> boards);

// The reports of the boards the journal in `journal_file` knows that are not among `boards`
// (find_missing_boards), newest first: each UpdateResult::Missing, as its last record knows the
// board (last_known_identity), its decision Missing with why (missing_reason).
Result<std::vector<BoardUpdateReport>> missing_board_reports(
    std::span<const BoardDevice> boards, const std::filesystem::path& journal_file);

// Takes stock of `boards` with the journal in `journal_file`, on this machine now; the
// first problem reading the journal is told to `on_journal_problem`. A board's image is read to
// learn its digest; with a policy of images that lists any, a board that needs an image the
// policy refuses is said to be so.
Inventory take_inventory(std::span<const BoardDevice> boards,
                         const std::filesystem::path& journal_file,
                         const std::function<void(const Error&)>& on_journal_problem,
                         const ImagePolicy& images = {},
                         std::string_view firmware_dir = kFirmwareDir);

}  // namespace tarnvel
