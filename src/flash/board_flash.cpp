#include "flash/board_flash.hpp"

#include <memory>

#include "base/internal_fault.hpp"
#include "bpi/bpi_flash.hpp"
#include "flash/controllers.hpp"
#include "spi/spi_flash.hpp"

namespace tarnvel {

Status attach_flash(BoardDevice& board) {
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

    if (info.flash != FlashType::Bpi) return {};
    // An earlier run may have stopped the parallel flash in the middle of a command; reset
    // it to read mode before anything reads it.
    BpiBus* bus = board.controller->bpi_bus();
    if (bus == nullptr) internal_fault("parallel flash board without a BPI bus");
    return bus->reset();
}

}  // namespace tarnvel
