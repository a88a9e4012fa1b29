#pragma once
// What the flash drivers send, named once: the serial driver's write sequence (block erase,
// page program and read, in their 3- and 4-byte-address forms, with its block and page sizes)
// and the parallel driver's (the AMD command set, its sector and its write buffer). The
// drivers send these, part identification reads the tables for them, and the fit check holds a
// part against them.

#include <cstdint>

namespace tarnvel {

namespace serial_nor {

inline constexpr std::uint8_t kRead3 = 0x03;
inline constexpr std::uint8_t kRead4 = 0x13;
inline constexpr std::uint8_t kPageProgram3 = 0x02;
inline constexpr std::uint8_t kPageProgram4 = 0x12;
inline constexpr std::uint8_t kBlockErase3 = 0xD8;
inline constexpr std::uint8_t kBlockErase4 = 0xDC;

// What one Block Erase erases, and the most one Page Program (or one Read piece) carries.
inline constexpr std::uint32_t kBlockSize = 0x10000;
inline constexpr std::uint32_t kPageSize = 0x100;

}  // namespace serial_nor

namespace parallel_nor {

// The CFI primary command set of the AMD-style (JEDEC) command set.
inline constexpr std::uint16_t kAmdCommandSet = 0x0002;
// What one sector erase erases, and the most one write-buffer program carries.
inline constexpr std::uint32_t kSectorSize = 0x20000;
inline constexpr std::uint32_t kBufferSize = 0x200;

}  // namespace parallel_nor

}  // namespace tarnvel
