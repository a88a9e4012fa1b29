#pragma once
// Whether a board's flash part, as it describes itself, takes what the flash drivers send: the
// serial driver erases 64 KiB blocks with 0xD8 (0xDC with 4-byte addresses), programs 256-byte
// pages and reads with 0x03 (0x13); the parallel driver speaks the AMD command set, erases
// 128 KiB sectors and programs 512-byte write buffers. A part that erases more than a block
// would wipe data already verified; one with a smaller write buffer aborts every buffer
// program; one without the 4-byte commands ignores them. And whether the bytes to be read or
// written from the kind's base address lie on the part at all: past its end the address wraps
// to its start, where the boards keep their factory image.

#include <cstdint>

#include "base/error.hpp"
#include "device/board_table.hpp"
#include "flash/flash_geometry.hpp"

namespace tarnvel {

// Reading needs the read command and the size; writing needs everything.
enum class FlashUse : std::uint8_t { Read, Write };

// Refuses, with a reason that names what the part said, a part the drivers can't use for
// `use` on a board of `kind`, and `length` bytes from the kind's base address that reach past
// the end of the part (or of the part's part that the board's addresses reach).
Status check_flash_fits(const FlashGeometry& geometry, BoardKind kind, std::uint64_t length,
                        FlashUse use);

}  // namespace tarnvel
