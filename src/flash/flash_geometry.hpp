#pragma once
// What a flash part says about itself: its size, how it erases, how much one program command
// may carry and which address forms it takes. The serial NOR driver reads it from the part's
// SFDP tables (or knows it from the JEDEC ID of a part without them), the parallel NOR driver
// from the part's CFI query. check_flash_fits (programming/flash_fit.hpp) decides from it whether
// the board's programming sequence may touch the part.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "flash/flash_type.hpp"

namespace tarnvel {

enum class GeometrySource : std::uint8_t {
    Sfdp,          // the serial part's Serial Flash Discoverable Parameters
    JedecIdTable,  // a serial part without SFDP, known by its JEDEC ID
    Cfi,           // the parallel part's Common Flash Interface query
};

// Words for messages: "SFDP", "the JEDEC ID table", "the CFI query".
std::string_view geometry_source_text(GeometrySource source);

// Which address forms a serial part takes.
enum class AddressBytes : std::uint8_t { ThreeOnly, ThreeOrFour, FourOnly };

// One erase command of a serial part.
struct SerialEraseType {
    std::uint32_t size = 0;   // bytes it erases
    std::uint8_t opcode = 0;  // the command with a 3-byte address
    // The command with a 4-byte address, when the part has one for this erase.
    std::optional<std::uint8_t> opcode_4byte{};
    // Which of the part's four erase types this is (1-4), as its sector map names them.
    std::uint8_t number = 1;

    friend bool operator==(const SerialEraseType&, const SerialEraseType&) = default;
};

// A run of a serial part's sector map: `size` bytes, from where the run before it ends, in
// which the erase types whose bits `erase_types` holds work (bit 0 for erase type 1).
struct SectorMapRegion {
    std::uint64_t size = 0;
    std::uint8_t erase_types = 0;

    friend bool operator==(const SectorMapRegion&, const SectorMapRegion&) = default;
};

// The sectors of a part in one of its configurations, from address 0 up.
using SectorMap = std::vector<SectorMapRegion>;

// A run of equal erase blocks of a parallel part, counted from the lower addresses up.
struct EraseRegion {
    std::uint32_t block_size = 0;  // bytes
    std::uint32_t block_count = 0;

    friend bool operator==(const EraseRegion&, const EraseRegion&) = default;
};

struct FlashGeometry {
    FlashType type = FlashType::None;
    GeometrySource source = GeometrySource::Sfdp;
    std::uint64_t size = 0;  // bytes
    // The serial part's JEDEC ID (manufacturer, memory type, capacity); empty for parallel.
    std::vector<std::uint8_t> jedec_id{};

    // Serial parts.
    AddressBytes address_bytes = AddressBytes::ThreeOnly;
    bool read_4byte = false;     // Read Data with a 4-byte address (0x13)
    bool program_4byte = false;  // Page Program with a 4-byte address (0x12)
    std::vector<SerialEraseType> erase_types{};
    std::uint32_t page_size = 0;  // bytes one Page Program may carry; 0 when not told
    // A part whose sectors depend on its configuration lists a map for each; which one is in
    // force is not asked (that takes commands from the table), so every one must fit. Empty:
    // the erase types work alike over the whole part.
    std::vector<SectorMap> sector_maps{};

    // Parallel parts.
    std::uint16_t command_set = 0;  // the CFI primary command set (0x0002: AMD style)
    std::vector<EraseRegion> erase_regions{};
    // A part with boot sectors that does not say whether they are at the top or the bottom:
    // its regions may lie in the reverse order, and both must fit.
    bool regions_may_be_reversed = false;
    std::uint32_t write_buffer = 0;  // bytes one write-buffer program may carry

    friend bool operator==(const FlashGeometry&, const FlashGeometry&) = default;
};

// "128 MiB", "256 KiB", "1000 bytes": a size as an operator reads it.
std::string size_text(std::uint64_t bytes);

}  // namespace tarnvel
