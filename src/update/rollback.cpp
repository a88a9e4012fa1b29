#include "update/rollback.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>

#include "firmware/image_fit.hpp"

namespace tarnvel {
namespace {

bool same_board(const WriteRecord& record, const BoardIdentity& board) {
    return record.start.pci_address == board.pci_address && record.start.board_kind() == board.kind;
}

const WriteRecord* find_record(std::span<const WriteRecord> records, std::int64_t id) {
    const auto found = std::ranges::find(records, id, &WriteRecord::id);
    return found != records.end() ? &*found : nullptr;
}

// What a verified write left on the flash: its image, or for a rollback what the backup it
// wrote back holds.
FirmwareHeld firmware_written(const WriteRecord& record,
                              std::span<const WriteRecord> board_records) {
    if (record.start.backup_of) {
        const WriteRecord* undone = find_record(board_records, *record.start.backup_of);
        FirmwareHeld restored = undone != nullptr ? backup_label(*undone) : FirmwareHeld{};
        if (!restored.known_good()) restored = FirmwareHeld{};
        return restored;
    }
    return FirmwareHeld{.holding = Holding::Image,
                        .version = record.start.image_version,
                        .image_sha256 = record.start.image_sha256};
}

// The later writes of the board (newer than `record`) that reached past what its backup
// covers: writing it back would leave their bytes beyond its end.
std::optional<std::string> reach_problem(const WriteRecord& record,
                                         std::span<const WriteRecord> board_records) {
    const std::uint64_t covered = backup_length(record);
    for (const WriteRecord& later : board_records) {
        if (later.id <= record.id || !later.touched_flash()) continue;
        if (static_cast<std::uint64_t>(later.start.image_size) > covered) {
            return fmt::format(
                "the backup of record {} covers {} bytes, and the later write of record {} "
                "reached {} bytes: writing it back would not restore the firmware it holds",
                record.id, covered, later.id, later.start.image_size);
        }
    }
    return std::nullopt;
}

// The policy judges the firmware the backup holds, never the bytes of its span.
std::optional<RollbackRefusal> policy_problem(const FirmwareHeld& firmware,
                                              const ImagePolicy& images) {
    if (firmware.image_sha256) {
        switch (judge_image(images, *firmware.image_sha256)) {
            case ImageVerdict::Allowed: return std::nullopt;
            case ImageVerdict::Blocked:
                return RollbackRefusal{
                    RollbackRefusal::Why::Blocked,
                    fmt::format("the image it restores, {}, is on the blocked list",
                                *firmware.image_sha256)};
            case ImageVerdict::NotApproved:
                return RollbackRefusal{
                    RollbackRefusal::Why::NotApproved,
                    fmt::format("the image it restores, {}, is not on the approved list",
                                *firmware.image_sha256)};
        }
    }
    if (images.approved_sha256) {
        return RollbackRefusal{RollbackRefusal::Why::NotApproved,
                               fmt::format("it holds {}, no image known to be on the approved list",
                                           firmware_text(firmware))};
    }
    return std::nullopt;
}

RollbackRefusal no_backup(std::string reason) {
    return RollbackRefusal{RollbackRefusal::Why::NoBackup, std::move(reason)};
}

// The newest verified write before `record` that left the image `firmware` names.
std::optional<WriteRecord> writer_of(const FirmwareHeld& firmware, const WriteRecord& record,
                                     std::span<const WriteRecord> board_records) {
    if (firmware.holding != Holding::Image) return std::nullopt;
    for (const WriteRecord& earlier : board_records) {
        if (earlier.id >= record.id || !earlier.end || !earlier.end->verified) continue;
        if (firmware_written(earlier, board_records).same_firmware(firmware)) {
            // A rollback put it back: the write it names wrote it first.
            if (earlier.start.backup_of) continue;
            return earlier;
        }
    }
    return std::nullopt;
}

}  // namespace

std::string firmware_text(const FirmwareHeld& firmware) {
    switch (firmware.holding) {
        case Holding::Image:
            return firmware.version ? fmt::format("image {}", *firmware.version)
                                    : fmt::format("image {}", firmware.image_sha256.value_or(""));
        case Holding::Running:
            return fmt::format("firmware {}, as the board ran it", firmware.version.value_or(0));
        case Holding::Unknown: return "content the journal does not know";
        case Holding::Partial: return "a partial image";
    }
    return "content the journal does not know";
}

std::string_view holding_word(Holding holding) {
    switch (holding) {
        case Holding::Image: return "image";
        case Holding::Running: return "running";
        case Holding::Unknown: return "unknown";
        case Holding::Partial: return "partial";
    }
    return "unknown";
}

bool FirmwareHeld::same_firmware(const FirmwareHeld& other) const {
    if (!known_good() || !other.known_good()) return false;
    if (image_sha256 && other.image_sha256) return *image_sha256 == *other.image_sha256;
    return version && other.version && *version == *other.version;
}

FirmwareHeld backup_label(const WriteRecord& record) {
    const std::optional<std::string>& word = record.start.backup_holds;
    FirmwareHeld label{.holding = Holding::Unknown,
                       .version = record.start.backup_version,
                       .image_sha256 = record.start.backup_image_sha256};
    for (const Holding holding :
         {Holding::Image, Holding::Running, Holding::Unknown, Holding::Partial}) {
        if (word && *word == holding_word(holding)) label.holding = holding;
    }
    return label;
}

std::vector<WriteRecord> records_of_board(std::span<const WriteRecord> records,
                                          const BoardIdentity& board) {
    std::vector<WriteRecord> mine;
    for (const WriteRecord& record : records) {
        if (same_board(record, board) && !record.retired) mine.push_back(record);
    }
    return mine;
}

FirmwareHeld flash_holds(const BoardIdentity& board, std::span<const WriteRecord> board_records) {
    const auto last = std::ranges::find_if(board_records, &WriteRecord::touched_flash);
    if (last == board_records.end()) {
        return FirmwareHeld{.holding = Holding::Running, .version = board.fw_version};
    }
    // Another board of the kind was put in the slot: what its flash holds is not this record's.
    if (last->start.hardware != board.hardware()) return FirmwareHeld{};
    if (last->end && last->end->verified) {
        return firmware_written(*last, board_records);
    }
    // A write cut short whose image the board has started since (it runs that image, having
    // run another before) had completed it.
    if (last->interrupted() && last->start.image_version && !last->start.backup_of &&
        *last->start.image_version == std::int64_t{board.fw_version} &&
        last->start.firmware_before != board.fw_version) {
        return firmware_written(*last, board_records);
    }
    return FirmwareHeld{.holding = Holding::Partial};
}

std::uint64_t backup_length(const WriteRecord& record) {
    return static_cast<std::uint64_t>(record.start.backup_size.value_or(record.start.image_size));
}

std::uint64_t backup_extent(const BoardIdentity& board, std::span<const WriteRecord> board_records,
                            std::uint64_t image_length, std::uint32_t erase_block) {
    // The write erases whole blocks: the tail of its last block, past the image's end, is lost
    // to it too, whatever no record tells of it.
    std::uint64_t extent = erase_block == 0
                               ? image_length
                               : (image_length + erase_block - 1) / erase_block * erase_block;
    for (const WriteRecord& record : board_records) {
        if (record.start.hardware != board.hardware() || !record.touched_flash()) continue;
        extent = std::max(extent, static_cast<std::uint64_t>(record.start.image_size));
        if (record.start.backup_file) extent = std::max(extent, backup_length(record));
    }
    return std::min(extent, std::max(image_length, firmware_window(board.kind)));
}

namespace {

// Whether the record's backup is still in the store.
bool backup_present(const WriteRecord& record, const BackupStore& store) {
    std::error_code error;
    return record.start.backup_file && record.start.backup_sha256 &&
           std::filesystem::is_regular_file(store.directory() / *record.start.backup_file, error);
}

// The backup of the record the operator asked for, when it is this board's and may be written
// back.
std::expected<const WriteRecord*, RollbackRefusal> asked_backup(
    const BoardIdentity& board, std::span<const WriteRecord> records,
    const RollbackRequest& request, const BackupStore& store) {
    const WriteRecord* asked = find_record(records, *request.to);
    if (asked == nullptr) {
        return std::unexpected(
            no_backup(fmt::format("the journal holds no record {}", *request.to)));
    }
    if (!same_board(*asked, board)) {
        return std::unexpected(
            no_backup(fmt::format("record {} is of the board in slot {} (kind {}), not this one",
                                  asked->id, asked->start.pci_address, asked->start.kind)));
    }
    if (asked->retired) {
        return std::unexpected(
            no_backup(fmt::format("record {} is of a board that was forgotten at {}: its backup is "
                                  "no firmware of the board in the slot now",
                                  asked->id, *asked->retired)));
    }
    if (asked->start.hardware != board.hardware()) {
        return std::unexpected(no_backup(
            fmt::format("record {} was written to hardware {}, and this board is hardware {}",
                        asked->id, asked->start.hardware, board.hardware())));
    }
    if (!asked->start.backup_file) {
        return std::unexpected(no_backup(
            asked->start.backup_skipped
                ? fmt::format("record {} kept no backup: the operator asked for none", asked->id)
                : fmt::format("record {} kept no backup: its write changed nothing, or kept "
                              "none",
                              asked->id)));
    }
    if (!backup_present(*asked, store)) {
        return std::unexpected(no_backup(fmt::format(
            "the backup of record {} is gone: retention removed it, or someone did", asked->id)));
    }
    const FirmwareHeld label = backup_label(*asked);
    if (!label.known_good() && !request.force) {
        return std::unexpected(no_backup(
            fmt::format("the backup of record {} holds {}; only --to {} --force writes it back",
                        asked->id, firmware_text(label), asked->id)));
    }
    return asked;
}

// The last known-good firmware of the board (`mine`: its records), other than what its flash
// holds now.
std::expected<const WriteRecord*, RollbackRefusal> last_known_good(
    const BoardIdentity& board, std::span<const WriteRecord> mine, const BackupStore& store) {
    const FirmwareHeld now = flash_holds(board, mine);
    const auto last = std::ranges::find_if(mine, &WriteRecord::touched_flash);
    // After a rollback (also one cut short), the same backup again: a second rollback changes
    // nothing, and one run again completes what was cut.
    if (last != mine.end() && last->start.backup_of) {
        const WriteRecord* again = find_record(mine, *last->start.backup_of);
        if (again != nullptr && backup_present(*again, store) &&
            backup_label(*again).known_good()) {
            return again;
        }
    }
    for (const WriteRecord& record : mine) {
        // What a rollback overwrote is what it meant to take off the board.
        if (record.start.backup_of || record.start.hardware != board.hardware()) continue;
        const FirmwareHeld label = backup_label(record);
        if (!label.known_good() || label.same_firmware(now) || !backup_present(record, store)) {
            continue;
        }
        return &record;
    }
    return std::unexpected(no_backup(
        fmt::format("no backup of this board holds firmware it ran other than what its flash "
                    "holds now ({})",
                    firmware_text(now))));
}

}  // namespace

std::expected<RollbackTarget, RollbackRefusal> choose_rollback(const BoardIdentity& board,
                                                               std::span<const WriteRecord> records,
                                                               const RollbackRequest& request,
                                                               const BackupStore& store,
                                                               const ImagePolicy& images) {
    const std::vector<WriteRecord> mine = records_of_board(records, board);
    const auto found = request.to ? asked_backup(board, records, request, store)
                                  : last_known_good(board, mine, store);
    if (!found) return std::unexpected(found.error());
    const WriteRecord& chosen = **found;
    if (auto problem = reach_problem(chosen, mine)) return std::unexpected(no_backup(*problem));
    RollbackTarget target{
        .record = chosen,
        .firmware = backup_label(chosen),
        .wrote_image = std::nullopt,
        .backup = BackupRef{*chosen.start.backup_file, *chosen.start.backup_sha256},
        .length = backup_length(chosen)};
    if (auto refused = policy_problem(target.firmware, images)) {
        return std::unexpected(std::move(*refused));
    }
    target.wrote_image = writer_of(target.firmware, chosen, mine);
    return target;
}

void note_backups_present(std::span<WriteRecord> records, const BackupStore& store) {
    for (WriteRecord& record : records) {
        if (!record.start.backup_file) continue;
        std::error_code error;
        record.backup_present =
            std::filesystem::is_regular_file(store.directory() / *record.start.backup_file, error);
    }
}

Result<ImageFile> rollback_image(const RollbackTarget& target, const BackupStore& store) {
    auto bytes = store.read(target.backup, target.length);
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    std::optional<std::int32_t> version;
    if (target.firmware.known_good() && target.firmware.version) {
        version = static_cast<std::int32_t>(*target.firmware.version);
    }
    return ImageFile{.path = (store.directory() / target.backup.file).string(),
                     .bytes = std::move(*bytes),
                     .backup_of = target.record.id,
                     .restored_write = target.wrote_image,
                     // Checked against it as it was read: not hashed again.
                     .sha256 = target.backup.sha256,
                     .version = version};
}

}  // namespace tarnvel
