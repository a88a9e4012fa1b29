#pragma once
// The long-frame SPI engine (QX610 boards): a control write of
// 0xB000 | (chip select << 16) | n, chip select 0-7, asserts that chip select for a frame of
// n bits (1 to 4096; the field holds n modulo 4096, so 0 stands for 4096). Each 32-bit data
// write shifts up to 32 of them, first bit in bit 31; the data register then reads back the
// bits received, a partial last word right-aligned. The engine releases chip select by
// itself after the frame's last bit, so no clearing write is needed.

#include <algorithm>
#include <cstdint>

#include "sim/model/spi_frame.hpp"

namespace tarnvel::sim {

class LongFrameSpiEngine {
  public:
    static constexpr std::uint32_t kFrameCommand = 0xB000;
    static constexpr unsigned kMaxFrameBits = 4096;

    explicit LongFrameSpiEngine(ViolationLog& log) : log_(log), lines_(kSource, log) {}

    void attach(std::uint8_t chip_select, SpiNorChip* chip) { lines_.attach(chip_select, chip); }

    void write_control(std::uint32_t value);
    void write_data(std::uint32_t value) {
        if (frame_bits_left_ == 0) [[unlikely]] {
            log_.record(ViolationKind::DataOutsideFrame, kSource, 0, value);
            received_ = 0xFFFFFFFF;
            return;
        }
        const unsigned bits = std::min(frame_bits_left_, 32u);
        frame_bits_left_ -= bits;
        received_ = lines_.shift(value, bits);
        if (frame_bits_left_ == 0) lines_.end();
    }
    std::uint32_t read_data() const { return received_; }
    std::uint32_t control() const { return control_; }

  private:
    static constexpr std::string_view kSource = "long-frame spi engine";

    ViolationLog& log_;
    SpiFrame lines_;
    std::uint32_t control_ = 0;
    unsigned frame_bits_left_ = 0;
    std::uint32_t received_ = 0;
};

}  // namespace tarnvel::sim
