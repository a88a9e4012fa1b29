#include "bin/tarnvel-fw/inventory.hpp"

#include <cerrno>

#include "firmware/firmware_archive.hpp"

namespace tarnvel::fw {

std::string_view status_word(BoardStatus status) {
    switch (status) {
        case BoardStatus::UpdateAvailable: return "update-available";
        case BoardStatus::UpToDate: return "up-to-date";
        case BoardStatus::BoardNewer: return "board-newer";
        case BoardStatus::NoArchive: return "no-archive";
        case BoardStatus::NoImage: return "no-image";
        case BoardStatus::Unsupported: return "unsupported";
        case BoardStatus::DynamicFirmware: return "dynamic-firmware";
    }
    return "unsupported";
}

InventoryEntry take_inventory(const BoardDevice& board) {
    InventoryEntry entry;
    if (board.kind == BoardKind::Unsupported || board.kind == BoardKind::Qx1800) {
        entry.status = board.kind == BoardKind::Unsupported ? BoardStatus::Unsupported
                                                            : BoardStatus::DynamicFirmware;
        return entry;
    }
    entry.archive = firmware_archive_path(board.kind, board.hw_major, board.hw_minor);
    auto image = find_firmware_image(board);
    if (!image) {
        const std::int32_t* code = image.error().os_code();
        entry.status =
            code != nullptr && *code == ENOENT ? BoardStatus::NoArchive : BoardStatus::NoImage;
        entry.reason = error_text_with_note(image.error());
        return entry;
    }
    entry.available = image->version;
    // Compared in 32 bits, as the updater compares them: an image version above 65535 is newer
    // than any board firmware.
    const auto running = static_cast<std::int32_t>(board.fw_version);
    entry.status = image->version > running    ? BoardStatus::UpdateAvailable
                   : image->version == running ? BoardStatus::UpToDate
                                               : BoardStatus::BoardNewer;
    return entry;
}

}  // namespace tarnvel::fw
