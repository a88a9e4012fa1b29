#include "update/inventory.hpp"

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

    // The board's newest record (with `flash_touching`, of a write that changed or may have
    // changed its flash); none when the journal has none, and why it can't be read when it
    // can't.
    Result<std::optional<WriteRecord>> last_write(const BoardIdentity& board,
                                                  bool flash_touching) {
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
};

BoardListing found_board(const BoardDevice& device, Stocktaking& stock,
                         std::string_view firmware_dir) {
    BoardListing listing{.board = identity_of(device)};
    // From the archive's directory alone: listing reads no image data.
    const auto image = look_up_image(device, firmware_dir);
    listing.archive = image ? std::optional(image->origin.path) : image.error().archive;
    listing.available = image ? std::optional(image->version) : std::nullopt;
    // Never decided on the versions alone where the journal would weigh in.
    const auto last_touching = stock.last_write(listing.board, true);
    listing.decision =
        last_touching ? decide(listing.board, offer_of(image),
                               *last_touching ? &**last_touching : nullptr)
                      : undecided(listing.board, offer_of(image), last_touching.error());
    listing.last_write = stock.last_write(listing.board, false).value_or(std::nullopt);
    return listing;
}

BoardListing missing_board(const WriteRecord& record, Stocktaking& stock) {
    const WriteStart& start = record.start;
    // A number that is no kind is no known board.
    const BoardKind kind = start.board_kind().value_or(BoardKind::Unsupported);
    const auto [hw_major, hw_minor] = map_hw_version(kind, start.hardware);
    BoardListing listing{.board = BoardIdentity{.devnode = start.devnode,
                                                .pci_address = start.pci_address,
                                                .kind = kind,
                                                .hw_major = hw_major,
                                                .hw_minor = hw_minor,
                                                .fw_version = 0},
                         .found = false,
                         .decision = Decision{BoardStatus::Missing,
                                              "not found; the slot may hold a board that can't "
                                              "start what its flash holds"}};
    listing.last_write = stock.last_write(listing.board, false).value_or(std::nullopt).value_or(record);
    return listing;
}

}  // namespace

Inventory take_inventory(std::span<const BoardDevice> boards,
                         const std::filesystem::path& journal_file,
                         const std::function<void(const Error&)>& on_journal_problem,
                         std::string_view firmware_dir) {
    Stocktaking stock(journal_file, on_journal_problem);
    Inventory inventory;
    std::vector<BoardIdentity> present;
    for (const BoardDevice& board : boards) {
        inventory.boards.push_back(found_board(board, stock, firmware_dir));
        present.push_back(identity_of(board));
    }
    if (const Journal* journal = stock.journal()) {
        if (auto last = journal->last_writes(true); last) {
            for (const WriteRecord& record : missing_boards(*last, present)) {
                inventory.boards.push_back(missing_board(record, stock));
                inventory.any_missing = true;
            }
        } else {
            stock.problem(last.error());
        }
    }
    inventory.journal_read = stock.journal_read();
    return inventory;
}

}  // namespace tarnvel
