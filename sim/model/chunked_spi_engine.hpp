#pragma once
// The chunked SPI engine (QX480, QX630, QX1800 boards): a control register and a 32-bit data
// register. A control value (chip select << 24) | (n << 12) | n announces a chunk of n bits
// (1 to 256, the engine's shift buffer); each data write shifts up to 32 of them, first bit
// in bit 31, and the data register then reads back the bits received, a partial last word
// right-aligned. Chip select stays asserted across chunks until a write of 0 to the control
// register releases it, so one frame is the chunks between two clearing writes.
//
// Some boards' engines also need a clearing write before each frame, to reset the shift
// buffer: with `clears_before`, a frame that starts without one is a fault.

#include <algorithm>
#include <cstdint>

#include "sim/model/spi_frame.hpp"

namespace tarnvel::sim {

class ChunkedSpiEngine {
  public:
    static constexpr unsigned kMaxChunkBits = 256;

    ChunkedSpiEngine(bool clears_before, ViolationLog& log)
        : clears_before_(clears_before), log_(log), lines_(kSource, log) {}

    void attach(std::uint8_t chip_select, SpiNorChip* chip) { lines_.attach(chip_select, chip); }

    void write_control(std::uint32_t value);
    void write_data(std::uint32_t value) {
        if (chunk_bits_left_ == 0) [[unlikely]] {
            log_.record(ViolationKind::DataOutsideFrame, kSource, 0, value);
            received_ = 0xFFFFFFFF;
            return;
        }
        const unsigned bits = std::min(chunk_bits_left_, 32u);
        chunk_bits_left_ -= bits;
        received_ = lines_.shift(value, bits);
    }
    std::uint32_t read_data() const { return received_; }
    std::uint32_t control() const { return control_; }

  private:
    static constexpr std::string_view kSource = "chunked spi engine";

    bool clears_before_;
    ViolationLog& log_;
    SpiFrame lines_;
    std::uint32_t control_ = 0;
    // The control register starts at 0, the state a clearing write leaves.
    bool ready_for_frame_ = true;
    unsigned chunk_bits_left_ = 0;
    std::uint32_t received_ = 0;
};

}  // namespace tarnvel::sim
