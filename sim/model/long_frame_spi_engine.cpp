#include "sim/model/long_frame_spi_engine.hpp"

namespace tarnvel::sim {

void LongFrameSpiEngine::write_control(std::uint32_t value) {
    control_ = value;
    if (frame_bits_left_ != 0) {
        // A new control value before the frame's last bit releases chip select early.
        log_.record(ViolationKind::FrameCutShort, kSource, frame_bits_left_, value);
        frame_bits_left_ = 0;
        lines_.end();
    }
    // 0 idles the engine; anything else must be a frame command.
    if (value == 0) return;
    if ((value & ~0x70FFFu) != kFrameCommand) {
        log_.record(ViolationKind::MalformedControl, kSource, 0, value);
        return;
    }
    const unsigned field = value & 0xFFF;
    frame_bits_left_ = field == 0 ? kMaxFrameBits : field;
    lines_.begin(static_cast<std::uint8_t>((value >> 16) & 7));
}

}  // namespace tarnvel::sim
