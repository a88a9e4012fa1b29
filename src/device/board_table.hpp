#pragma once
// The board table: the one place that ties a board kind to everything that depends on the
// model. Every other piece of the program indexes it by kind.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "flash/flash_type.hpp"

namespace tarnvel {

enum class BoardKind : std::uint8_t {
    Unsupported = 0,
    Qx410 = 1,
    Qx410M2 = 2,
    Qx410Bp = 3,
    Qx480Bpi = 4,
    Qx480Spi = 5,
    Qx400 = 6,
    Qx610Bpi = 7,
    Qx630 = 8,
    Qx610Spi = 9,
    Qx1800 = 10,
};
inline constexpr unsigned kBoardKindCount = 11;

enum class ControllerClass : std::uint8_t { None, Qx410, Qx480, Qx400, Qx610, Qx630, Qx1800 };
// Plain archives are "{}v{}_{}.zip"; the bypass form is "{}v{}_{}_bp.zip".
enum class ArchiveForm : std::uint8_t { None, Plain, Bypass };

struct HwVersionEntry {
    std::string_view text;  // the hardware part of "version", e.g. "4.1"
    std::uint8_t major;
    std::uint8_t minor;
};

// One row of the board table. A field a kind has no use for keeps its default.
struct BoardInfo {
    std::string_view model_name;  // printed after "Device {}: "
    FlashType flash = FlashType::None;
    ControllerClass controller = ControllerClass::None;
    std::uint8_t chip_select = 0;        // SPI flash only
    bool four_byte_address = false;      // SPI flash only
    std::string_view archive_name = {};  // none for a kind that is never programmed
    ArchiveForm archive_form = ArchiveForm::None;
    std::uint32_t base_address = 0;  // where the firmware image lives in the flash
    std::span<const HwVersionEntry> hw_versions = {};
};

const BoardInfo& board_info(BoardKind kind);

// The PCI device ID of the board's parent to its kind; IDs outside 0x19..0x28 are Unsupported.
BoardKind board_kind_for_device_id(std::uint16_t device_id);

// The (major, minor) pair for the hardware part of "version"; none when the kind's table does
// not hold it (always none for Unsupported).
std::optional<std::pair<std::uint8_t, std::uint8_t>> find_hw_version(BoardKind kind,
                                                                     std::string_view hw_part);
// The same, with (0, 0) for a hardware part the kind's table does not hold: what the board
// record keeps and prints.
std::pair<std::uint8_t, std::uint8_t> map_hw_version(BoardKind kind, std::string_view hw_part);

}  // namespace tarnvel
