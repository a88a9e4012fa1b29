#pragma once
// The SPI lines of one engine: the chips behind its chip selects and the frame in progress.
// An engine asserts a chip select, shifts bits through the selected chip and releases it; the
// chips themselves work in whole bytes, which is all a correct driver ever sends.

#include <array>
#include <cstdint>
#include <string_view>

#include "sim/model/spi_nor_chip.hpp"
#include "sim/model/violation.hpp"

namespace tarnvel::sim {

class SpiFrame {
  public:
    SpiFrame(std::string_view engine, ViolationLog& log) : engine_(engine), log_(log) {}

    void attach(std::uint8_t chip_select, SpiNorChip* chip) { chips_[chip_select] = chip; }
    SpiNorChip* chip(std::uint8_t chip_select) const { return chips_[chip_select]; }

    bool open() const { return open_; }
    std::uint8_t chip_select() const { return chip_select_; }

    void begin(std::uint8_t chip_select) {
        open_ = true;
        whole_bytes_ = true;
        chip_select_ = chip_select;
        selected_ = chips_[chip_select];
        if (selected_ == nullptr) {
            log_.record(ViolationKind::NoChipAtChipSelect, engine_, chip_select);
        } else {
            selected_->begin_frame();
        }
    }

    // Sends the top `bits` bits of `out` (1 to 32, most significant first) and returns the
    // bits received meanwhile, right-aligned.
    std::uint32_t shift(std::uint32_t out, unsigned bits) {
        std::uint32_t in = 0;
        const unsigned bytes = bits / 8;
        for (unsigned i = 0; i < bytes; ++i) {
            const auto byte = static_cast<std::uint8_t>(out >> (24 - 8 * i));
            in = in << 8 | (selected_ != nullptr ? selected_->exchange(byte) : 0xFFu);
        }
        if (const unsigned rest = bits % 8; rest != 0) {
            // The chip never sees a byte that is not finished; its data line stays high.
            if (whole_bytes_) log_.record(ViolationKind::FrameNotWholeBytes, engine_, bits);
            whole_bytes_ = false;
            in = in << rest | ((1u << rest) - 1);
        }
        return in;
    }

    void end() {
        if (!open_) return;
        open_ = false;
        if (selected_ != nullptr) selected_->end_frame(whole_bytes_);
        selected_ = nullptr;
    }

  private:
    std::string_view engine_;
    ViolationLog& log_;
    std::array<SpiNorChip*, 256> chips_{};
    SpiNorChip* selected_ = nullptr;
    std::uint8_t chip_select_ = 0;
    bool open_ = false;
    bool whole_bytes_ = true;
};

}  // namespace tarnvel::sim
