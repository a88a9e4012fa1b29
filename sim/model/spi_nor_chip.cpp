#include "sim/model/spi_nor_chip.hpp"

#include <algorithm>

namespace tarnvel::sim {
namespace {

constexpr std::string_view kSource = "spi flash";

}  // namespace

SpiNorChip::Options SpiNorChip::Options::typical_times(double scale) {
    Options options;
    options.program_time = busy_for(kTypicalPageProgram, scale);
    options.erase_time = busy_for(kTypicalBlockErase, scale);
    return options;
}

SpiNorChip::SpiNorChip(const Options& options, ViolationLog& log)
    : log_(log),
      storage_(options.size_bytes),
      jedec_id_(options.jedec_id),
      program_time_(options.program_time),
      erase_time_(options.erase_time) {}

void SpiNorChip::begin_frame() {
    command_ = Command::None;
    frame_bytes_ = 0;
    address_bytes_ = 0;
    address_bytes_left_ = 0;
    id_index_ = 0;
    program_count_ = 0;
}

std::uint8_t SpiNorChip::take_opcode(std::uint8_t opcode) {
    opcode_ = opcode;
    // During a program or erase the part answers status reads only.
    if (busy_.active() && opcode != kReadStatus) {
        log_.record(ViolationKind::CommandWhileBusy, kSource, 0, opcode);
        command_ = Command::Ignored;
        return kIdleLine;
    }
    switch (opcode) {
        case kWriteEnable: command_ = Command::WriteEnable; break;
        case kWriteDisable: command_ = Command::WriteDisable; break;
        case kReadStatus: command_ = Command::ReadStatus; break;
        case kReadId: command_ = Command::ReadId; break;
        case kRead3: expect_address(Command::Read, 3); break;
        case kRead4: expect_address(Command::Read, 4); break;
        case kProgram3: expect_address(Command::Program, 3); break;
        case kProgram4: expect_address(Command::Program, 4); break;
        case kErase3: expect_address(Command::Erase, 3); break;
        case kErase4: expect_address(Command::Erase, 4); break;
        default:
            log_.record(ViolationKind::UnknownCommand, kSource, 0, opcode);
            command_ = Command::Ignored;
            break;
    }
    return kIdleLine;
}

void SpiNorChip::expect_address(Command command, std::uint8_t bytes) {
    command_ = command;
    address_bytes_ = bytes;
    address_bytes_left_ = bytes;
    address_ = 0;
    // A 3-byte address reaches the lowest 16 MiB only, and a read streaming past its end
    // wraps within them.
    address_mask_ = storage_.address_mask() & (bytes == 3 ? 0xFFFFFFu : 0xFFFFFFFFu);
}

std::uint8_t SpiNorChip::take_address(std::uint8_t byte) {
    address_ = address_ << 8 | byte;
    if (--address_bytes_left_ == 0) {
        address_ &= address_mask_;
        if (command_ == Command::Program) {
            page_offset_ = address_ & (kPageBytes - 1);
            address_ &= ~(kPageBytes - 1);
        }
    }
    return kIdleLine;
}

std::uint8_t SpiNorChip::poll_status() {
    // The poll that finds the operation done also finds the latch cleared by it.
    if (busy_.active() && !busy_.poll()) write_enabled_ = false;
    return status();
}

void SpiNorChip::end_frame(bool whole_bytes) {
    switch (command_) {
        case Command::WriteEnable: finish_write_latch(true, whole_bytes); break;
        case Command::WriteDisable: finish_write_latch(false, whole_bytes); break;
        case Command::Program: finish_program(whole_bytes); break;
        case Command::Erase: finish_erase(whole_bytes); break;
        default: break;
    }
    command_ = Command::None;
}

void SpiNorChip::finish_write_latch(bool enable, bool whole_bytes) {
    if (!whole_bytes) return;
    if (frame_bytes_ != 1) {
        log_.record(ViolationKind::BadCommandLength, kSource, frame_bytes_, opcode_);
        return;
    }
    write_enabled_ = enable;
}

void SpiNorChip::finish_program(bool whole_bytes) {
    if (!whole_bytes) return;
    if (address_bytes_left_ != 0 || program_count_ == 0) {
        log_.record(ViolationKind::BadCommandLength, kSource, frame_bytes_, opcode_);
        return;
    }
    if (!write_enabled_) {
        log_.record(ViolationKind::ProgramWithoutWriteEnable, kSource, address_ + page_offset_,
                    opcode_);
        return;
    }
    // More than a page of data wraps inside the page; the latch then holds the last 256 bytes.
    const std::uint32_t count = std::min(program_count_, kPageBytes);
    operation_.begin(storage_, address_, kPageBytes);
    std::uint8_t* page = storage_.writable_page(address_);
    const std::uint32_t in_page = address_ & (FlashStorage::kPageBytes - 1);
    bool over_unerased = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t offset = (page_offset_ + i) & (kPageBytes - 1);
        std::uint8_t& cell = page[in_page + offset];
        const std::uint8_t data = latch_[offset];
        // Programming can only clear bits.
        if ((data & ~cell) != 0 && !over_unerased) {
            over_unerased = true;
            log_.record(ViolationKind::ProgramOverUnerasedBits, kSource, address_ + offset, data);
        }
        cell = faults_.programmed(address_ + offset, static_cast<std::uint8_t>(cell & data));
    }
    storage_.note_change();
    ++programs_done_;
    busy_.start(program_time_);
}

void SpiNorChip::finish_erase(bool whole_bytes) {
    if (!whole_bytes) return;
    // Chip select must rise right after the last address byte.
    if (frame_bytes_ != 1u + address_bytes_) {
        log_.record(ViolationKind::BadCommandLength, kSource, frame_bytes_, opcode_);
        return;
    }
    if (!write_enabled_) {
        log_.record(ViolationKind::EraseWithoutWriteEnable, kSource, address_, opcode_);
        return;
    }
    operation_.begin(storage_, address_ & ~(kBlockBytes - 1), kBlockBytes);
    storage_.fill(address_ & ~(kBlockBytes - 1), kBlockBytes, 0xFF);
    storage_.note_change();
    ++erases_done_;
    busy_.start(erase_time_);
}

void SpiNorChip::cut_power(std::uint64_t seed) {
    if (busy_.active()) operation_.interrupt(storage_, seed);
    busy_.cancel();
    write_enabled_ = false;
    command_ = Command::None;
}

}  // namespace tarnvel::sim
