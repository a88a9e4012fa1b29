#pragma once
// The register accesses a whole update ought to cost, counted from the documented register
// sequences of the controller classes and the flash command sets, not from the program: per
// SPI frame on each engine, per status poll, per parallel-flash bus cycle, per block erased,
// written and read back. The benchmark holds the program's real count against this.

#include <cstdint>

#include "device/board_table.hpp"

namespace tarnvel::bench {

// How many polls see the simulated chips busy before one sees them ready.
struct BusyPolls {
    std::uint32_t spi_program = 0;  // status reads after a page program
    std::uint32_t spi_erase = 0;    // status reads after a block erase
    std::uint32_t bpi_program = 0;  // busy-flag reads after a buffer program
    std::uint32_t bpi_erase = 0;    // busy-flag reads after a sector erase
    // Reads of the QX410 shift register per step, the one that sees it done included (>= 1).
    std::uint32_t shift_reads = 1;
};

// Attaching the flash driver (the parallel bus reset) and programming an image of
// `image_bytes` at the kind's base address, every block verified at the first pass.
std::uint64_t expected_update_accesses(BoardKind kind, std::uint64_t image_bytes,
                                       const BusyPolls& polls);

// The same for reading `bytes` back from the flash in one read operation.
std::uint64_t expected_read_accesses(BoardKind kind, std::uint64_t bytes);

}  // namespace tarnvel::bench
