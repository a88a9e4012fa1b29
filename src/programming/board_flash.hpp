#pragma once

#include "base/error.hpp"
#include "device/board_device.hpp"
#include "flash/flash_geometry.hpp"

namespace tarnvel {

// Builds the board's controller and flash driver over its open device node, as its kind
// requires, and stores both in the record. A parallel-flash board's bus is then reset to read
// mode; that reset's failure is returned (the objects stay in the record).
Status attach_flash(BoardDevice& board);

// Builds the board's controller and flash driver as attach_flash does, without touching a
// register: the flash is left as it is, also a parallel flash in the middle of a command.
Status build_flash(BoardDevice& board);

// For a board whose flash objects are built: waits (bounded) until a program or erase that an
// earlier, killed run left going has ended, resets a parallel flash to read mode, and reads
// what the part says about itself.
Result<FlashGeometry> identify_flash(BoardDevice& board);

// build_flash, then identify_flash. The objects stay in the record on every failure.
Result<FlashGeometry> attach_identified_flash(BoardDevice& board);

// Whether the part, identified as `geometry`, holds the `length` bytes from the kind's base
// address, as far as reading tells. A serial part whose size nothing confirms (known by its
// JEDEC ID alone, or by SFDP whose JEDEC ID gives no size to hold it against) may hold less
// than it claims; its addresses then wrap, and what is written from the base address lands lower
// down, over the factory image at 0. Reads the same few bytes where a wrap would take the
// first byte past a smaller size and where it would land: bytes that differ prove the size,
// erased bytes at both hold nothing a wrap could overwrite, and anything else is refused with
// what the part claimed. A size SFDP and the JEDEC ID both give, and a parallel part's, are
// not read again.
Status check_flash_holds(BoardDevice& board, const FlashGeometry& geometry, std::uint64_t length);

}  // namespace tarnvel
