#include "update/inventory.hpp"

#include <unistd.h>

#include <fmt/format.h>

#include "device/register_channel.hpp"
#include "update/rollback.hpp"

namespace tarnvel {
namespace {

class Stocktaking {
  public:
    Stocktaking(const std::filesystem::path& journal_file,
                const std::function<void(const Error&)>& on_problem)
        : on_problem_(on_problem) {
        auto opened = Journal::open_for_reading(journal_file);
        if (opened) {
            journal_.emplace(std::move(*opened));
        } else {
            problem(opened.error());
        }
    }

    const Journal* journal() const { return journal_ ? &*journal_ : nullptr; }
    bool journal_read() const { return !problem_; }

    // The first problem reading the journal is told; the rest of the run knows it is there.
    void problem(const Error& error) {
        if (problem_) return;
        problem_ = error;
        if (on_problem_) on_problem_(error);
    }

    // The record whose backup rollback would write back into the board.
    std::optional<std::int64_t> backup_record(const BoardIdentity& board) {
        if (!journal_ || board.pci_address.empty()) return std::nullopt;
        if (!records_) {
            auto records = journal_->records();
            if (!records) {
                problem(records.error());
                return std::nullopt;
            }
            records_ = std::move(*records);
        }
        auto target = choose_rollback(board, *records_, {}, store(), {});
        return target ? std::optional(target->record.id) : std::nullopt;
    }

    // The backups beside the journal.
    BackupStore store() const { return BackupStore(journal_->file().parent_path()); }

    // The board's newest record (with `flash_touching`, of a write that changed or may have
    // changed its flash); none when the journal has none, and why it can't be read when it
    // can't.
    Result<std::optional<WriteRecord>> last_write(const BoardIdentity& board, bool flash_touching) {
        if (!journal_) return std::unexpected(*problem_);
        if (board.pci_address.empty()) return std::optional<WriteRecord>();
        auto last = journal_->last_write(board.pci_address, board.kind, flash_touching);
        if (!last) problem(last.error());
        return last;
    }

  private:
    const std::function<void(const Error&)>& on_problem_;
    std::optional<Journal> journal_;
    std::optional<Error> problem_;
    std::optional<std::vector<WriteRecord>> records_;  // every record, once read
};

BoardListing found_board(const BoardDevice& device, Stocktaking& stock, const HostNow& host,
                         const ImagePolicy& images, std::string_view firmware_dir) {
    BoardListing listing{.board = identity_of(device)};
    // From the archive's directory alone: listing reads no image data.
    const auto image = look_up_image(device, firmware_dir);
    listing.archive = image ? std::optional(image->origin.path) : image.error().archive;
    listing.available = image ? std::optional(image->version) : std::nullopt;
    // Never decided on the versions alone where the journal would weigh in.
    const auto last_touching = stock.last_write(listing.board, true);
    listing.decision = last_touching
                           ? decide(listing.board, offer_of(image),
                                    *last_touching ? &**last_touching : nullptr, host)
                           : undecided(listing.board, offer_of(image), last_touching.error());
    // A board another process has locked is being read or written by it, from the moment it
    // takes the lock: also while it reads what the flash holds, before its record exists.
    if (listing.decision.status != BoardStatus::Writing) {
        if (auto holder = board_lock_holder(device.devnode); holder && holder->pid != ::getpid()) {
            const auto versions = listing.decision.versions;
            listing.decision = Decision{
                BoardStatus::Writing,
                fmt::format("process {}{} holds the board's lock: it is reading or writing it",
                            holder->pid,
                            holder->command.empty() ? "" : fmt::format(" ({})", holder->command))};
            listing.decision.versions = versions;
        }
    }
    listing.last_write = stock.last_write(listing.board, false).value_or(std::nullopt);
    if (listing.last_write && stock.journal() != nullptr) {
        note_backups_present(std::span(&*listing.last_write, 1), stock.store());
    }
    listing.backup_record = stock.backup_record(listing.board);
    if (last_touching && *last_touching) {
        const WriteRecord& last = **last_touching;
        listing.rolled_back = last.start.backup_of && last.end && last.end->verified;
    }
    // The digest an operator puts on the approved list is that of the image, not the archive's;
    // a signature is checked over the archive's bytes, read whole.
    if (image) {
        const bool signature = images.require_signature || has_signature(*listing.archive);
        if (auto chosen = choose_image(device, nullptr, firmware_dir, &images)) {
            listing.image_sha256 = chosen->sha256;
            if (images.approved_sha256 || !images.blocked_sha256.empty()) {
                listing.decision =
                    with_image_policy(std::move(listing.decision),
                                      judge_image(images, chosen->sha256), chosen->sha256);
            }
            if (signature) {
                const SignatureVerdict verdict = judge_signature(images, chosen->signature);
                listing.decision =
                    with_signature(std::move(listing.decision), verdict, chosen->signature);
                if (verdict != SignatureVerdict::Allowed) {
                    listing.signature_refused = signature_refusal(verdict, chosen->signature);
                }
                listing.signature = std::move(chosen->signature);
            }
        }
    }
    return listing;
}

BoardListing missing_board(const WriteRecord& record, Stocktaking& stock) {
    BoardListing listing{.board = last_known_identity(record),
                         .found = false,
                         .decision = Decision{BoardStatus::Missing, missing_reason(record)}};
    listing.last_write =
        stock.last_write(listing.board, false).value_or(std::nullopt).value_or(record);
    return listing;
}

}  // namespace

std::string missing_reason(const WriteRecord& last) {
    // Only a write that did not end verified can have left a flash its board can't start.
    const std::string flash =
        last.end && last.end->verified
            ? fmt::format("its last write (#{}) was verified", last.id)
            : fmt::format(
                  "its last write (#{}) did not end verified, so the slot may hold a "
                  "board that can't start what its flash holds",
                  last.id);
    return fmt::format(
        "not found; {}; if the board was taken out for good, tarnvel-fw forget --pci {} takes it "
        "off the journal",
        flash, last.start.pci_address);
}

BoardIdentity last_known_identity(const WriteRecord& record) {
    const WriteStart& start = record.start;
    // A number that is no kind is no known board.
    const BoardKind kind = start.board_kind().value_or(BoardKind::Unsupported);
    const auto [hw_major, hw_minor] = map_hw_version(kind, start.hardware);
    return BoardIdentity{.devnode = start.devnode,
                         .pci_address = start.pci_address,
                         .kind = kind,
                         .hw_major = hw_major,
                         .hw_minor = hw_minor,
                         .fw_version = 0};
}

Result<std::vector<WriteRecord>> find_missing_boards(const Journal& journal,
                                                     std::span<const BoardDevice> boards) {
    auto last = journal.last_writes(true);
    if (!last) return std::unexpected(std::move(last.error()));
    std::vector<BoardIdentity> present;
    for (const BoardDevice& board : boards) present.push_back(identity_of(board));
    return missing_boards(*last, present);
}

Result<std::vector<BoardUpdateReport>> missing_board_reports(
    std::span<const BoardDevice> boards, const std::filesystem::path& journal_file) {
    auto journal = Journal::open_for_reading(journal_file);
    if (!journal) return std::unexpected(std::move(journal.error()));
    auto missing = find_missing_boards(*journal, boards);
    if (!missing) return std::unexpected(std::move(missing.error()));
    std::vector<BoardUpdateReport> reports;
    for (const WriteRecord& record : *missing) {
        BoardUpdateReport& report = reports.emplace_back(last_known_identity(record));
        report.result = UpdateResult::Missing;
        report.decision = Decision{BoardStatus::Missing, missing_reason(record)};
    }
    return reports;
}

Inventory take_inventory(std::span<const BoardDevice> boards,
                         const std::filesystem::path& journal_file,
                         const std::function<void(const Error&)>& on_journal_problem,
                         const ImagePolicy& images, std::string_view firmware_dir) {
    Stocktaking stock(journal_file, on_journal_problem);
    const HostNow host = HostNow::current();
    Inventory inventory;
    for (const BoardDevice& board : boards) {
        inventory.boards.push_back(found_board(board, stock, host, images, firmware_dir));
    }
    if (const Journal* journal = stock.journal()) {
        if (auto missing = find_missing_boards(*journal, boards); missing) {
            for (const WriteRecord& record : *missing) {
                inventory.boards.push_back(missing_board(record, stock));
                inventory.any_missing = true;
            }
        } else {
            stock.problem(missing.error());
        }
    }
    inventory.journal_read = stock.journal_read();
    return inventory;
}

}  // namespace tarnvel
