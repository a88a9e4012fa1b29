#pragma once
// The geometry of a 16-bit parallel NOR part from its Common Flash Interface (CFI) query: after
// the query command (0x98 at word address 0x55) the part answers at word addresses 0x10 and up,
// one byte per word in bits 0-7: "QRY", the primary command set, timeouts, the device size as a
// power of two, the largest write-buffer program as a power of two, and the erase block
// regions, each a block count less one and a block size in units of 256 bytes.

#include <cstdint>
#include <span>

#include "base/error.hpp"
#include "flash/flash_geometry.hpp"

namespace tarnvel {

// Where the part is asked, and where the answer that this program reads lies.
inline constexpr std::uint32_t kCfiQueryAddress = 0x55;
inline constexpr std::uint16_t kCfiQueryCommand = 0x98;
inline constexpr std::uint32_t kCfiFirstWord = 0x10;
inline constexpr std::uint32_t kCfiWords = 0x30;  // 0x10 to 0x3F: room for four erase regions

// `words[i]` is the word the part answered at word address kCfiFirstWord + i. A part that does
// not answer "QRY", or answers with sizes that contradict each other, is an error that says
// what was read.
Result<FlashGeometry> parse_cfi_query(std::span<const std::uint16_t> words);

}  // namespace tarnvel
