#pragma once
// The three SPI master engines built into the boards, as register sequences on the board's
// descriptor. The controller classes run them with their own register numbers; each
// `transfer` here is exactly one SpiBus::transfer (see flash_controller.hpp for the meaning
// of tx, rx and bit_count). A transfer of 0 bits touches no register.

#include <chrono>
#include <cstdint>
#include <span>

#include "base/error.hpp"

namespace tarnvel {

// An engine that shifts a frame in chunks of up to 256 bits: one control write per chunk,
// then one data write and read per 32 bits. The control register is cleared after every
// frame and, on some boards, before it as well.
struct ChunkedEngine {
    std::uint32_t control;
    std::uint32_t data;
    bool clear_before;
};

// An engine that shifts a whole frame of up to 4096 bits after one control write and leaves
// the control register as it was set. Longer transfers go out as several frames.
struct LongFrameEngine {
    std::uint32_t control;
    std::uint32_t data;
};

inline constexpr std::uint32_t kChunkBits = 256;
inline constexpr std::uint32_t kLongFrameBits = 4096;

// The polled shift engine moves 16 bits per step; at its SPI clock a step takes a few
// microseconds. A step still busy after 100 ms (four orders of magnitude more) means the
// engine has stopped, and the transfer fails with the flash write timeout instead of
// polling forever.
inline constexpr std::chrono::nanoseconds kPolledShiftStepLimit = std::chrono::milliseconds(100);

Status chunked_transfer(int fd, const ChunkedEngine& engine, std::uint8_t chip_select,
                        std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx,
                        std::uint32_t bit_count);

Status long_frame_transfer(int fd, const LongFrameEngine& engine, std::uint8_t chip_select,
                           std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx,
                           std::uint32_t bit_count);

// One register serves as control, data and status; the engine has a single chip select.
Status polled_shift_transfer(int fd, std::uint32_t reg, std::span<const std::uint8_t> tx,
                             std::span<std::uint8_t> rx, std::uint32_t bit_count);

}  // namespace tarnvel
