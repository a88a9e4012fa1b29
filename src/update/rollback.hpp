#pragma once
// What a board's flash holds as the journal knows it, what each backup holds, how far a backup
// must reach, and which backup a rollback writes back. A backup keeps the bytes one write
// overwrote; a rollback asks for a firmware the board ran. So every backup is labelled with the
// firmware it holds, reaches over the whole of the firmware it replaces, and a rollback returns
// a board only to a firmware it ran, from a backup of that same board.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "update/backup_store.hpp"
#include "update/board_identity.hpp"
#include "update/image_choice.hpp"
#include "update/image_policy.hpp"
#include "journal/journal.hpp"

namespace tarnvel {

// What a stretch of flash holds.
enum class Holding : std::uint8_t {
    Image,    // an image, whole and verified, as a write of the journal left it
    Running,  // the firmware the board started from its flash, no write recorded since
    Unknown,  // no write the journal knows of accounts for it
    Partial,  // a write was cut short or failed part-way over it
};

std::string_view holding_word(Holding holding);  // "image", "running", "unknown", "partial"

struct FirmwareHeld {
    Holding holding = Holding::Unknown;
    std::optional<std::int64_t> version = std::nullopt;      // the firmware's version
    std::optional<std::string> image_sha256 = std::nullopt;  // the image's SHA-256

    // A firmware the board ran or can run: a whole image, or the one it started.
    bool known_good() const { return holding == Holding::Image || holding == Holding::Running; }
    // The same firmware: the same image where both digests are known, otherwise the same
    // version.
    bool same_firmware(const FirmwareHeld& other) const;
};

// "image 41", "firmware 40, as the board ran it", "a partial image", ...
std::string firmware_text(const FirmwareHeld& firmware);

// The label a record's backup carries (Holding::Unknown for a backup kept before backups were
// labelled).
FirmwareHeld backup_label(const WriteRecord& record);

// The records of the board in its slot (`board`'s slot and kind) that are not retired, newest
// first, taken from every record of the journal (Journal::records, newest first).
std::vector<WriteRecord> records_of_board(std::span<const WriteRecord> records,
                                          const BoardIdentity& board);

// What the board's flash holds now, from its records (records_of_board): the firmware the last
// write left, the firmware it runs when none is recorded, partial after a write that was cut
// short or failed part-way, unknown on another hardware version than the last write's.
FirmwareHeld flash_holds(const BoardIdentity& board, std::span<const WriteRecord> board_records);

// How many bytes a backup before writing `image_length` bytes covers: every erase block of
// `erase_block` bytes the write erases, to the last one's end, and every span a write of this
// board (the same hardware) reached, so that what is written back restores the firmware it
// replaces whole; never past the kind's window.
std::uint64_t backup_extent(const BoardIdentity& board, std::span<const WriteRecord> board_records,
                            std::uint64_t image_length, std::uint32_t erase_block);

// The bytes a record's backup covers.
std::uint64_t backup_length(const WriteRecord& record);

// Why a board is not rolled back.
struct RollbackRefusal {
    enum class Why : std::uint8_t {
        NoBackup,     // no backup to return to, or not this one: see `reason`
        Blocked,      // the firmware it restores is on the blocked list
        NotApproved,  // there is an approved list, and the firmware it restores is not on it
    } why;
    std::string reason;
};

struct RollbackRequest {
    std::optional<std::int64_t> to;  // the record whose backup is asked for
    bool force = false;              // with `to`: also a backup of unknown or partial content
};

// The backup a rollback writes back into a board.
struct RollbackTarget {
    WriteRecord record;     // whose backup it is: the write the rollback undoes
    FirmwareHeld firmware;  // what it holds
    // The write that put the restored image on the flash, when the journal has it: the newest
    // verified write before `record` that left that image.
    std::optional<WriteRecord> wrote_image;
    BackupRef backup;
    std::uint64_t length = 0;
};

// Chooses what a rollback of `board` writes back, from every record of the journal (newest
// first): the backup of `request.to`, or by default the newest backup of the board (its slot,
// kind and hardware version, not retired) that holds a whole image or the firmware it ran,
// other than the firmware its flash holds now; after a rollback, the backup it wrote back again,
// so that a second rollback changes nothing. Refused, saying why: a record that is not there,
// not this board's or retired, whose backup is gone, that holds unknown or partial content
// without `force`, or past whose reach a later write went; and when `images` does not let the
// firmware it holds be written (a backup of no known image, under an approved list).
std::expected<RollbackTarget, RollbackRefusal> choose_rollback(const BoardIdentity& board,
                                                               std::span<const WriteRecord> records,
                                                               const RollbackRequest& request,
                                                               const BackupStore& store,
                                                               const ImagePolicy& images);

// Notes in each record that names a backup whether it is still in `store`.
void note_backups_present(std::span<WriteRecord> records, const BackupStore& store);

// The chosen backup read back and checked, as the image a rollback writes.
Result<ImageFile> rollback_image(const RollbackTarget& target, const BackupStore& store);

}  // namespace tarnvel
