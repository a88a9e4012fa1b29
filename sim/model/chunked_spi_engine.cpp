#include "sim/model/chunked_spi_engine.hpp"

namespace tarnvel::sim {

void ChunkedSpiEngine::write_control(std::uint32_t value) {
    control_ = value;
    if (value == 0) {
        if (chunk_bits_left_ != 0) {
            log_.record(ViolationKind::FrameCutShort, kSource, chunk_bits_left_, value);
            chunk_bits_left_ = 0;
        }
        // A clearing write ends the frame in progress; one while idle resets the buffer.
        if (lines_.open()) {
            lines_.end();
        } else {
            ready_for_frame_ = true;
        }
        return;
    }
    const unsigned bits = value & 0xFFF;
    const auto chip_select = static_cast<std::uint8_t>(value >> 24);
    if (bits != ((value >> 12) & 0xFFF) || bits == 0 || bits > kMaxChunkBits) {
        log_.record(ViolationKind::MalformedControl, kSource, 0, value);
        return;
    }
    if (chunk_bits_left_ != 0) {
        log_.record(ViolationKind::FrameCutShort, kSource, chunk_bits_left_, value);
    }
    if (lines_.open() && chip_select != lines_.chip_select()) {
        // Another chip select inside a frame: the engine switches chips mid-frame.
        log_.record(ViolationKind::MalformedControl, kSource, 0, value);
        lines_.end();
    }
    if (!lines_.open()) {
        if (clears_before_ && !ready_for_frame_) {
            log_.record(ViolationKind::MissingClearingWrite, kSource, 0, value);
        }
        ready_for_frame_ = false;
        lines_.begin(chip_select);
    }
    chunk_bits_left_ = bits;
}

}  // namespace tarnvel::sim
