#include "sim/model/spi_nor_chip.hpp"

#include <algorithm>
#include <bit>

namespace tarnvel::sim {
namespace {

constexpr std::string_view kSource = "spi flash";

// The SFDP space as JESD216 (revision B) lays it out: the header with the signature and the
// count of parameter headers less one, the parameter headers, then the tables, each a run of
// little-endian DWORDs.
constexpr std::uint32_t kBasicTable = 0x30;     // 16 DWORDs
constexpr std::uint32_t kFourByteTable = 0x70;  // 2 DWORDs
constexpr std::uint8_t kBasicTableDwords = 16;
constexpr std::uint8_t kFourByteTableDwords = 2;

void put_dword(std::vector<std::uint8_t>& space, std::uint32_t offset, std::uint32_t value) {
    for (unsigned i = 0; i < 4; ++i)
        space[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void put_parameter_header(std::vector<std::uint8_t>& space, std::uint32_t offset,
                          std::uint8_t id_lsb, std::uint8_t minor, std::uint8_t dwords,
                          std::uint32_t table) {
    const std::uint8_t header[8] = {id_lsb,
                                    minor,
                                    1,  // major revision
                                    dwords,
                                    static_cast<std::uint8_t>(table),
                                    static_cast<std::uint8_t>(table >> 8),
                                    static_cast<std::uint8_t>(table >> 16),
                                    0xFF};  // ID most significant byte: a JEDEC table
    std::ranges::copy(header, space.begin() + offset);
}

}  // namespace

std::uint8_t SpiNorChip::capacity_code(std::uint32_t bytes) {
    return static_cast<std::uint8_t>(std::countr_zero(std::bit_ceil(bytes)));
}

std::array<std::uint8_t, 3> SpiNorChip::Options::answered_jedec_id() const {
    return jedec_id.value_or(std::array<std::uint8_t, 3>{0x3D, 0x71, capacity_code(size_bytes)});
}

void SpiNorChip::build_sfdp(const Options& options) {
    if (!options.sfdp) return;
    if (!options.sfdp_table.empty()) {
        sfdp_ = options.sfdp_table;
        return;
    }
    const bool four_byte = options.four_byte_commands;
    sfdp_.assign(
        four_byte ? kFourByteTable + 4 * kFourByteTableDwords : kBasicTable + 4 * kBasicTableDwords,
        0xFF);
    const std::uint8_t header[8] = {
        'S', 'F', 'D', 'P', 0x06, 0x01, static_cast<std::uint8_t>(four_byte ? 1 : 0), 0xFF};
    std::ranges::copy(header, sfdp_.begin());
    put_parameter_header(sfdp_, 0x08, 0x00, 0x06, kBasicTableDwords, kBasicTable);
    if (four_byte)
        put_parameter_header(sfdp_, 0x10, 0x84, 0x00, kFourByteTableDwords, kFourByteTable);

    auto basic = [&](unsigned n, std::uint32_t value) {
        put_dword(sfdp_, kBasicTable + 4 * (n - 1), value);
    };
    for (unsigned n = 1; n <= kBasicTableDwords; ++n) basic(n, 0);
    const std::uint64_t bits = std::uint64_t{storage_.size()} * 8;
    // DWORD 1: no 4 KiB erase (bits 0-1 set, its opcode 0xFF), write granularity of 64 bytes
    // or more (bit 2), address bytes in bits 17-18 (3 only, or 3 and 4 above 16 MiB), no fast
    // read modes, reserved bits set.
    const std::uint32_t address_bytes = storage_.size() > (16u << 20) ? 1 : 0;
    basic(1, 0xFF800000u | address_bytes << 17 | 0xFF00 | 0x4 | 0x3);
    // DWORD 2: the density in bits, as the count less one up to 2^31 bits, else as a power.
    basic(2, bits <= (std::uint64_t{1} << 31) ? static_cast<std::uint32_t>(bits - 1)
                                              : 0x80000000u | std::countr_zero(bits));
    // DWORD 8: erase type 1 is Block Erase, its size as a power of two; no other type.
    basic(8, 0xD8u << 8 | std::countr_zero(block_erase_bytes_));
    // DWORD 11: the page size as a power of two in bits 4-7.
    basic(11, std::countr_zero(kPageBytes) << 4);
    // DWORD 16, bit 29: a dedicated instruction set with 4-byte addresses.
    if (four_byte) basic(16, 1u << 29);
    if (!four_byte) return;
    // The 4-byte address instruction table: Read Data 0x13 (bit 0), Page Program 0x12
    // (bit 6) and erase type 1 (bit 9), reserved bits set; then erase type 1's 4-byte
    // opcode, 0xFF for the types the part does not have.
    put_dword(sfdp_, kFourByteTable, 0xFFF00000u | 1u << 9 | 1u << 6 | 1u << 0);
    put_dword(sfdp_, kFourByteTable + 4, 0xFFFFFF00u | kErase4);
}

SpiNorChip::Options SpiNorChip::Options::typical_times(double scale) {
    Options options;
    options.program_time = busy_for(kTypicalPageProgram, scale);
    options.erase_time = busy_for(kTypicalBlockErase, scale);
    return options;
}

SpiNorChip::SpiNorChip(const Options& options, ViolationLog& log)
    : log_(log),
      storage_(options.size_bytes),
      jedec_id_(options.answered_jedec_id()),
      block_erase_bytes_(options.block_erase_bytes),
      four_byte_commands_(options.four_byte_commands),
      program_time_(options.program_time),
      erase_time_(options.erase_time) {
    build_sfdp(options);
}

void SpiNorChip::begin_frame() {
    command_ = Command::None;
    frame_bytes_ = 0;
    address_bytes_ = 0;
    address_bytes_left_ = 0;
    id_index_ = 0;
    dummy_bytes_left_ = 0;
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
    const bool four_byte_form = opcode == kRead4 || opcode == kProgram4 || opcode == kErase4;
    if (four_byte_form && !four_byte_commands_) {
        log_.record(ViolationKind::UnknownCommand, kSource, 0, opcode);
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
        case kReadSfdp:
            // A part without SFDP ignores the opcode, as it does every opcode it lacks; asking
            // is how a driver finds out, so it is not held against the driver.
            if (sfdp_.empty()) {
                command_ = Command::Ignored;
                break;
            }
            expect_address(Command::ReadSfdp, 3);
            address_mask_ = 0xFFFFFF;  // the SFDP space, not the array
            dummy_bytes_left_ = 1;
            break;
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

std::uint8_t SpiNorChip::read_sfdp_next() {
    if (dummy_bytes_left_ != 0) {
        --dummy_bytes_left_;
        return kIdleLine;
    }
    const std::uint8_t value = address_ < sfdp_.size() ? sfdp_[address_] : 0xFF;
    address_ = (address_ + 1) & address_mask_;
    return value;
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
    operation_.begin(storage_, address_ & ~(block_erase_bytes_ - 1), block_erase_bytes_);
    storage_.fill(address_ & ~(block_erase_bytes_ - 1), block_erase_bytes_, 0xFF);
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
