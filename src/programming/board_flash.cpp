#include "programming/board_flash.hpp"

#include <memory>

#include "base/internal_fault.hpp"
#include "bpi/bpi_flash.hpp"
#include "controller/controllers.hpp"
#include "spi/spi_flash.hpp"

namespace tarnvel {
namespace {

// An earlier run may have stopped the parallel flash in the middle of a command; reset it to
// read mode before anything reads it.
Status reset_parallel_flash(BoardDevice& board) {
    if (board_info(board.kind).flash != FlashType::Bpi) return {};
    BpiBus* bus = board.controller->bpi_bus();
    if (bus == nullptr) internal_fault("parallel flash board without a BPI bus");
    return bus->reset();
}

}  // namespace

Status build_flash(BoardDevice& board) {
    // The board table names, per kind, the controller class, the flash type and the SPI
    // flash's chip select and address width.
    const BoardInfo& info = board_info(board.kind);
    Rc<FlashController> controller = make_controller(info.controller, board.fd);
    if (!controller || info.flash == FlashType::None) {
        return std::unexpected(
            Error::message(ErrorKind::Unsupported, "the board has no flash to program"));
    }

    std::unique_ptr<FlashDevice> flash;
    if (info.flash == FlashType::Spi) {
        flash = std::make_unique<SpiFlash>(controller, info.chip_select, info.four_byte_address);
    } else {
        flash = std::make_unique<BpiFlash>(controller);
    }
    board.controller = controller;
    board.flash = std::move(flash);
    return {};
}

Status attach_flash(BoardDevice& board) {
    if (auto built = build_flash(board); !built) return built;
    return reset_parallel_flash(board);
}

Result<FlashGeometry> identify_flash(BoardDevice& board) {
    if (!board.flash) internal_fault("identifying a board that has no flash driver");
    // A busy parallel flash ignores the reset, and a busy serial one answers no command but
    // the status read: the wait comes first.
    if (auto ready = board.flash->wait_until_ready(); !ready) {
        if (ready.error() != flash_write_timeout()) return std::unexpected(ready.error());
        return std::unexpected(Error::message(
            ErrorKind::TimedOut,
            "the flash stays busy: an operation that an earlier run left going does not end"));
    }
    if (auto reset = reset_parallel_flash(board); !reset) return std::unexpected(reset.error());
    return board.flash->read_geometry();
}

Result<FlashGeometry> attach_identified_flash(BoardDevice& board) {
    if (auto built = build_flash(board); !built) return std::unexpected(built.error());
    return identify_flash(board);
}

}  // namespace tarnvel
