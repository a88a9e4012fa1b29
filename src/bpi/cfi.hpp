#pragma once
// The geometry of a 16-bit parallel NOR part from its Common Flash Interface (CFI) query: after
// the query command (0x98 at word address 0x55) the part answers at word addresses 0x10 and up,
// one byte per word in bits 0-7: "QRY", the primary command set and the address of its primary
// vendor table, timeouts, the device size as a power of two, the largest write-buffer program as
// a power of two, and the erase block regions, each a block count less one and a block size in
// units of 256 bytes. An AMD-style part with boot sectors lists its regions from the boot
// sectors up whether they lie at the bottom or the top; its primary vendor table ("PRI",
// version 1.1 and later) says which, in its top/bottom boot flag.

#include <cstdint>
#include <optional>
#include <span>

#include "base/error.hpp"
#include "flash/flash_geometry.hpp"

namespace tarnvel {

// Where the part is asked, and where the answer that this program reads lies.
inline constexpr std::uint32_t kCfiQueryAddress = 0x55;
inline constexpr std::uint16_t kCfiQueryCommand = 0x98;
inline constexpr std::uint32_t kCfiFirstWord = 0x10;
inline constexpr std::uint32_t kCfiWords = 0x30;  // 0x10 to 0x3F: room for four erase regions
// The query decodes the low eight address lines: nothing of it lies at 0x100 or beyond.
inline constexpr std::uint32_t kCfiSpaceWords = 0x100;

// The words of the primary vendor table that this program reads: up to the boot flag.
struct CfiTableSpan {
    std::uint32_t address = 0;  // word address
    std::uint32_t words = 0;
};

// Where the primary vendor table lies, when the query (`words[i]` is the word the part answered
// at word address kCfiFirstWord + i) needs it read: an AMD-style part with more than one erase
// block region, whose order only the boot flag tells. None otherwise, or when the address it
// gives leaves no room for the table in the query's space.
std::optional<CfiTableSpan> cfi_primary_table(std::span<const std::uint16_t> words);

// The geometry from the query and, for a part that cfi_primary_table names one for, the words
// of its primary vendor table (empty when it was not read). A part that does not answer "QRY",
// or answers with sizes that contradict each other, is an error that says what was read.
Result<FlashGeometry> parse_cfi_query(std::span<const std::uint16_t> words,
                                      std::span<const std::uint16_t> primary_table = {});

}  // namespace tarnvel
