#pragma once

#include <cstdint>

namespace tarnvel {

// How a board's configuration flash is reached: a serial NOR part behind an SPI engine, or a
// 16-bit parallel NOR part on the board's BPI bus; none on a board that is never programmed.
enum class FlashType : std::uint8_t { None, Spi, Bpi };

}  // namespace tarnvel
