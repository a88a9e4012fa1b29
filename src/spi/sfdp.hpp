#pragma once
// The geometry of a serial NOR part from its Serial Flash Discoverable Parameters (SFDP,
// JESD216): the SFDP header at address 0 of the part's SFDP space, the parameter headers after
// it, the Basic Flash Parameter Table (density, address bytes, erase types, page size) and, when
// the part has one, the 4-byte Address Instruction Table (which commands take a 4-byte
// address). Parts made before SFDP existed are known by their JEDEC ID instead.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "base/error.hpp"
#include "flash/flash_geometry.hpp"

namespace tarnvel {

// Reads `length` bytes of the part's SFDP space from `address` on.
using SfdpReader =
    std::function<Result<std::vector<std::uint8_t>>(std::uint32_t address, std::uint32_t length)>;

// The part's geometry from its SFDP tables; none when its SFDP space does not begin with the
// signature (a part without SFDP). Tables that are cut short or contradict themselves are an
// error that says what is wrong. `jedec_id` is carried into the result.
Result<std::optional<FlashGeometry>> read_sfdp_geometry(const SfdpReader& read,
                                                        std::span<const std::uint8_t> jedec_id);

// The geometry of a serial part without SFDP, from the table of parts known by their JEDEC ID
// (manufacturer, memory type, capacity); none for a part not in it.
std::optional<FlashGeometry> known_serial_part(std::span<const std::uint8_t> jedec_id);

}  // namespace tarnvel
