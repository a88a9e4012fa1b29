#include "sim/model/polled_shift_spi_engine.hpp"

namespace tarnvel::sim {

void PolledShiftSpiEngine::write(std::uint32_t value) {
    if (value == 0) {
        if (polls_left_ != 0) {
            log_.record(ViolationKind::FrameCutShort, kSource, polls_left_, value);
            polls_left_ = 0;
        }
        lines_.end();
        status_ = 0;
        return;
    }
    if ((value & kShift) == 0) {
        if (value != kSelect) {
            log_.record(ViolationKind::MalformedControl, kSource, 0, value);
            return;
        }
        // Selecting an already selected chip keeps the frame going.
        if (!lines_.open()) lines_.begin(kChipSelect);
        status_ = kSelect;
        return;
    }
    if ((value & kSelect) == 0 || !lines_.open()) {
        log_.record(ViolationKind::StepWithoutChipSelect, kSource, 0, value);
        return;
    }
    if (polls_left_ != 0) {
        log_.record(ViolationKind::StepWhileShifting, kSource, 0, value);
        return;
    }
    if ((value & ~(kSelect | kWide | kShift | 0xFFFFu)) != 0) {
        log_.record(ViolationKind::MalformedControl, kSource, 0, value);
        return;
    }
    const bool wide = (value & kWide) != 0;
    // An 8-bit step shifts bits 15-8 only: anything in bits 7-0 would be lost.
    if (!wide && (value & 0xFFu) != 0) {
        log_.record(ViolationKind::MalformedControl, kSource, 0, value);
        return;
    }
    const std::uint32_t received =
        wide ? lines_.shift(value << 16, 16) : lines_.shift((value & 0xFF00u) << 16, 8);
    status_ = kSelect | (value & kWide) | received;
    polls_left_ = shift_polls_;
}

}  // namespace tarnvel::sim
