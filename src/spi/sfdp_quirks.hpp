#pragma once
// Parts whose SFDP tables leave out what they can do, known by their JEDEC ID and by what in
// their basic table tells them from namesakes that can't: the fixups that mature SPI NOR
// stacks apply once the basic table is read.

#include <cstdint>
#include <span>

#include "flash/flash_geometry.hpp"

namespace tarnvel {

// The basic flash parameter table as the part gave it.
struct BasicTable {
    std::uint8_t minor_revision = 0;
    std::span<const std::uint8_t> bytes;  // its DWORDs, as many as were read

    // DWORD n, counted from 1 as the standard counts them; 0 past what was read.
    std::uint32_t dword(std::uint32_t n) const;
};

// Adds to `geometry` what a known part can do beyond what its tables say.
void apply_part_quirks(std::span<const std::uint8_t> jedec_id, const BasicTable& basic,
                       FlashGeometry& geometry);

}  // namespace tarnvel
