#include "update/board_access.hpp"

#include <cerrno>

#include "device/register_channel.hpp"
#include "programming/board_flash.hpp"

namespace tarnvel {
namespace {

using Stage = AccessFailure::Stage;

std::unexpected<AccessFailure> failure(Stage stage, Error error) {
    return std::unexpected(AccessFailure{stage, std::move(error)});
}

// Opens the board untouched and makes sure of its part for reading `length` bytes; the board
// is closed again on failure.
std::expected<OpenBoard, AccessFailure> open_for_reading(BoardDevice& board, std::uint64_t length) {
    auto opened = open_for_flashing(board, FlashOpening::Untouched);
    if (!opened) return opened;
    if (auto part = identify_flash_part(board, length, FlashUse::Read); !part) {
        return std::unexpected(std::move(part.error()));
    }
    return opened;
}

}  // namespace

std::expected<OpenBoard, AccessFailure> open_for_flashing(BoardDevice& board, FlashOpening how) {
    OpenBoard owner(board);
    // tarnvel-flash's opening leaves the record as the failure left it.
    const auto left = [&](Stage stage, Error error) {
        if (how == FlashOpening::ResetBus) (void)owner.release();
        return failure(stage, std::move(error));
    };
    if (auto opened = open_board(board); !opened) {
        const std::int32_t* code = opened.error().os_code();
        return left(code != nullptr && *code == EWOULDBLOCK ? Stage::Locked : Stage::Open,
                    std::move(opened.error()));
    }
    auto built = how == FlashOpening::ResetBus ? attach_flash(board) : build_flash(board);
    if (!built) return left(Stage::Flash, std::move(built.error()));
    return owner;
}

std::expected<FlashGeometry, AccessFailure> identify_flash_part(BoardDevice& board,
                                                                std::uint64_t length,
                                                                FlashUse use) {
    auto geometry = identify_flash(board);
    if (!geometry) return failure(Stage::Identify, std::move(geometry.error()));
    if (auto fits = check_flash_fits(*geometry, board.kind, length, use); !fits) {
        return failure(Stage::Fit, std::move(fits.error()));
    }
    // A serial part whose size nothing confirms may claim more than it holds: reads where its
    // addresses would wrap tell, before anything is erased.
    if (auto holds = check_flash_holds(board, *geometry, length); !holds) {
        const bool refused = holds.error().kind() == ErrorKind::Unsupported;
        return failure(refused ? Stage::Fit : Stage::Identify, std::move(holds.error()));
    }
    return std::move(*geometry);
}

std::expected<ImageComparison, AccessFailure> verify_flash(BoardDevice& board,
                                                           std::span<const std::uint8_t> image,
                                                           ProgrammingObserver& observer) {
    auto ready = open_for_reading(board, image.size());
    if (!ready) return std::unexpected(std::move(ready.error()));
    auto comparison = compare_firmware(board, image, observer);
    ready->close();
    if (!comparison) return failure(Stage::Read, std::move(comparison.error()));
    return *comparison;
}

std::expected<void, AccessFailure> read_flash(BoardDevice& board, std::uint32_t length,
                                              ProgrammingObserver& observer,
                                              const RegionSink& sink) {
    auto ready = open_for_reading(board, length);
    if (!ready) return std::unexpected(std::move(ready.error()));
    auto read = read_firmware_region(board, length, observer, sink);
    ready->close();
    if (!read) return failure(Stage::Read, std::move(read.error()));
    return {};
}

}  // namespace tarnvel
