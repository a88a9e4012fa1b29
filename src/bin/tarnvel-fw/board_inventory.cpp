#include "bin/tarnvel-fw/board_inventory.hpp"

#include <fmt/format.h>

#include "bin/tarnvel-fw/console.hpp"
#include "bin/tarnvel-fw/journal_access.hpp"
#include "update/decision.hpp"

namespace tarnvel::fw {
namespace {

ListRow found_board(const BoardDevice& board, const Journal* journal, bool& journal_unreadable) {
    const BoardIdentity identity = identity_of(board);
    // From the archive's directory alone: listing reads no image data.
    const auto image = look_up_image(board);
    const auto last_touching = last_write_of(journal, identity, true, &journal_unreadable);
    ListRow row{
        .node = identity.devnode,
        .pci = identity.pci_address,
        .kind = identity.kind,
        .hardware = identity.hardware(),
        .firmware = identity.fw_version,
        .archive = image ? std::optional(image->origin.path) : image.error().archive,
        .available = image ? std::optional(image->version) : std::nullopt,
        .decision = decide(identity, offer_of(image), last_touching ? &*last_touching : nullptr),
        .last_write = last_write_of(journal, identity, false, &journal_unreadable)};
    return row;
}

ListRow missing_board(const WriteRecord& record, const Journal& journal, bool& journal_unreadable) {
    const BoardIdentity identity{.devnode = record.start.devnode,
                                 .pci_address = record.start.pci_address,
                                 .kind = record.start.kind};
    return ListRow{
        .node = record.start.devnode,
        .pci = record.start.pci_address,
        .kind = record.start.kind,
        .hardware = record.start.hardware,
        .firmware = std::nullopt,
        .archive = std::nullopt,
        .available = std::nullopt,
        .decision = Decision{BoardStatus::Missing,
                             "not found; the slot may hold a board that can't start "
                             "what its flash holds"},
        .last_write =
            last_write_of(&journal, identity, false, &journal_unreadable).value_or(record)};
}

}  // namespace

BoardInventory take_inventory(std::span<const BoardDevice> boards) {
    const std::optional<Journal> journal = read_journal();
    const Journal* records = journal ? &*journal : nullptr;
    bool journal_unreadable = !journal;

    BoardInventory inventory;
    std::vector<BoardIdentity> present;
    for (const BoardDevice& board : boards) {
        inventory.rows.push_back(found_board(board, records, journal_unreadable));
        present.push_back(identity_of(board));
    }
    if (records != nullptr) {
        if (auto last = records->last_writes(true); last) {
            for (const WriteRecord& record : missing_boards(*last, present)) {
                inventory.rows.push_back(missing_board(record, *records, journal_unreadable));
                inventory.any_missing = true;
            }
        } else {
            journal_unavailable(last.error());
            journal_unreadable = true;
        }
    }
    inventory.journal_read = !journal_unreadable;
    return inventory;
}

}  // namespace tarnvel::fw
