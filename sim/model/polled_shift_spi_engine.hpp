#pragma once
// The polled shift SPI engine (QX410 boards): one register for control and data.
//
// Written: 0x01000000 selects the chip (chip select asserted); a value with bit 26 starts a
// shift step of 16 bits (bit 25 set; outgoing bits 15-0, first bit in bit 15) or 8 bits (bit
// 25 clear; the outgoing byte in bits 15-8), bit 24 still selecting the chip; 0 releases chip
// select and ends the frame.
// Read: the status word, bit 24 while the chip is selected and bit 25 as the step was
// started, with bit 26 set while the step is still shifting; once it is done, the bits
// received in bits 15-0 (16-bit step) or 7-0 (8-bit step).

#include <cstdint>

#include "sim/model/spi_frame.hpp"

namespace tarnvel::sim {

class PolledShiftSpiEngine {
  public:
    static constexpr std::uint32_t kSelect = 1u << 24;
    static constexpr std::uint32_t kWide = 1u << 25;
    static constexpr std::uint32_t kShift = 1u << 26;

    // A step is seen done by the `shift_polls`-th read of the register after it started
    // (at least the first).
    PolledShiftSpiEngine(std::uint32_t shift_polls, ViolationLog& log)
        : shift_polls_(shift_polls == 0 ? 1 : shift_polls), log_(log), lines_(kSource, log) {}

    void attach(SpiNorChip* chip) { lines_.attach(kChipSelect, chip); }

    void write(std::uint32_t value);
    std::uint32_t read() {
        if (polls_left_ > 1) {
            --polls_left_;
            return (status_ & (kSelect | kWide)) | kShift;
        }
        polls_left_ = 0;
        return status_;
    }

  private:
    static constexpr std::string_view kSource = "polled shift spi engine";
    // The engine drives one chip select line.
    static constexpr std::uint8_t kChipSelect = 0;

    std::uint32_t shift_polls_;
    ViolationLog& log_;
    SpiFrame lines_;
    std::uint32_t status_ = 0;
    std::uint32_t polls_left_ = 0;
};

}  // namespace tarnvel::sim
