#include "programming/board_flash.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <bit>
#include <memory>

#include "base/internal_fault.hpp"
#include "bpi/bpi_flash.hpp"
#include "controller/controllers.hpp"
#include "spi/sfdp.hpp"
#include "spi/spi_flash.hpp"

namespace tarnvel {
namespace {

// One read piece of either driver.
constexpr std::uint64_t kProbeBytes = 256;

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

bool size_confirmed(const FlashGeometry& geometry) {
    if (geometry.type != FlashType::Spi) return true;
    if (geometry.source != GeometrySource::Sfdp) return false;
    // SFDP that disagrees with the capacity its JEDEC ID gives is refused when it is read.
    return jedec_id_capacity(geometry.jedec_id).has_value();
}

Status check_flash_holds(BoardDevice& board, const FlashGeometry& geometry, std::uint64_t length) {
    if (size_confirmed(geometry) || length == 0) return {};
    if (!board.flash) internal_fault("checking the size of a board that has no flash driver");
    const std::uint64_t base = board_info(board.kind).base_address;
    const std::uint64_t end = base + length;
    // The largest smaller size that would wrap the bytes: one that differs there from where it
    // would wrap them to also rules out every smaller size.
    const std::uint64_t smaller = std::bit_floor(end - 1);
    if (smaller == 0 || smaller >= geometry.size) return {};
    const std::uint64_t probe = std::max(base, smaller);
    const std::uint64_t landing = probe & (smaller - 1);
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kProbeBytes, end - probe));
    auto there = board.flash->read(static_cast<std::uint32_t>(probe), n);
    if (!there) return std::unexpected(there.error());
    auto below = board.flash->read(static_cast<std::uint32_t>(landing), n);
    if (!below) return std::unexpected(below.error());
    const bool erased = std::ranges::all_of(*there, [](std::uint8_t b) { return b == 0xFF; });
    if (*there != *below || erased) return {};
    return std::unexpected(Error::message(
        ErrorKind::Unsupported,
        fmt::format("the flash reads at 0x{:x} what it holds at 0x{:x}: it may hold only {}, "
                    "though {} gives {}, and then what is written at 0x{:x} lands at 0x{:x}",
                    probe, landing, size_text(smaller),
                    geometry.source == GeometrySource::Sfdp
                        ? fmt::format("its SFDP (and no size in its JEDEC ID {:02x})",
                                      fmt::join(geometry.jedec_id, " "))
                        : fmt::format("its JEDEC ID {:02x} (and no SFDP)",
                                      fmt::join(geometry.jedec_id, " ")),
                    size_text(geometry.size), probe, landing)));
}

}  // namespace tarnvel
