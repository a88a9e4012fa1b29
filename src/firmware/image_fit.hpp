#pragma once
// Whether an image can be written into a board's flash without harm. Checked when the image is
// taken from its archive (before its bytes are read) and again before the first erase.

#include <cstdint>

#include "base/error.hpp"
#include "device/board_table.hpp"

namespace tarnvel {

inline constexpr const char* kImageEmpty = "firmware image is empty";
inline constexpr const char* kImageTooLarge = "firmware image does not fit in flash";
inline constexpr const char* kImageOddLength = "firmware image has odd length for 16-bit flash";

// Bytes from the kind's base address to the end of the flash addresses the board can reach:
// 16 MiB for a serial flash driven with 3-byte addresses, 4 GiB with 4-byte addresses, 32 MiB
// for the parallel flash, whose bus carries a 24-bit word address. Past that end the address
// wraps to the start of the flash, where the image must never land. 0 for a kind without
// flash to program.
std::uint64_t firmware_window(BoardKind kind);

// Refuses an empty image, one larger than the kind's window, and one of odd length for a
// 16-bit parallel flash (which is written and read in whole words).
Status check_image_fits(BoardKind kind, std::uint64_t size);

}  // namespace tarnvel
