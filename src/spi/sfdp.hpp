#pragma once
// The geometry of a serial NOR part from its Serial Flash Discoverable Parameters (SFDP,
// JESD216): the SFDP header at address 0 of the part's SFDP space, the parameter headers after
// it, the Basic Flash Parameter Table (density, address bytes, erase types, page size) and,
// when the part has them, the 4-byte Address Instruction Table (which commands take a 4-byte
// address) and the Sector Map Parameter Table (where the erase types work on a part whose
// sectors depend on its configuration). Tables are read as JESD216 readers read them: the
// latest revision of each, every parameter header the count gives; a table of an SFDP major
// revision other than 1 is not read at all. A few parts whose tables leave out what they can
// do are known by their JEDEC ID and what tells them from their namesakes; parts made before
// SFDP existed are known by their JEDEC ID alone.

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

// What a part's SFDP space told.
struct SfdpAnswer {
    // None when the space holds no SFDP this program reads.
    std::optional<FlashGeometry> geometry{};
    // The major revision of an SFDP that begins with the signature but is not of revision 1:
    // its layout is unknown, so nothing in it is read.
    std::optional<std::uint8_t> unknown_major_revision{};
};

// The part's geometry from its SFDP tables. Tables that are cut short or contradict themselves
// or the size that `jedec_id` (carried into the result) gives are an error that says what is
// wrong.
Result<SfdpAnswer> read_sfdp_geometry(const SfdpReader& read,
                                      std::span<const std::uint8_t> jedec_id);

// The size a JEDEC ID's capacity byte gives, for the encodings that JEDEC IDs share across
// makers (2^n bytes for 0x10-0x1F; 0x20-0x22 for 64 MiB to 256 MiB); none for any other.
std::optional<std::uint64_t> jedec_id_capacity(std::span<const std::uint8_t> jedec_id);

// The geometry of a serial part without SFDP, from the table of parts known by their JEDEC ID
// (manufacturer, memory type, capacity); none for a part not in it.
std::optional<FlashGeometry> known_serial_part(std::span<const std::uint8_t> jedec_id);

}  // namespace tarnvel
