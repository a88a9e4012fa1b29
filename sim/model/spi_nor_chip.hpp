#pragma once
// A serial NOR flash as it sits behind a board's SPI engine: the common command set with
// 3- and 4-byte-address forms, a status register with write-in-progress (bit 0) and the
// write-enable latch (bit 1), 256-byte program pages and 64 KiB erase blocks, and its
// description of itself: the JEDEC ID and SFDP tables (JESD216: the basic table and the
// 4-byte address instruction table).
//
// Other parts can be set up through the options: another capacity, uniform 256 KiB sectors
// that Block Erase erases whole, no 4-byte commands (an older 32 MiB part), no SFDP at all, or
// a real part's SFDP tables.
//
// The engine streams a frame through it a byte at a time while chip select is asserted;
// program and erase are carried out when chip select is released, as on a real part, and only
// if the frame ended exactly where the command does.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/model/busy_state.hpp"
#include "sim/model/chip_faults.hpp"
#include "sim/model/flash_storage.hpp"
#include "sim/model/operation_in_progress.hpp"
#include "sim/model/violation.hpp"

namespace tarnvel::sim {

class SpiNorChip {
  public:
    struct Options {
        // 1 Gbit: room above every kind's base address for the largest image. A power of two
        // (FlashStorage rounds up to one), at most 2 GiB.
        std::uint32_t size_bytes = 128u << 20;
        // Manufacturer, memory type, capacity; unset: 0x3D, 0x71 and the power of two of
        // size_bytes (0x1B for 128 MiB).
        std::optional<std::array<std::uint8_t, 3>> jedec_id{};
        // What Block Erase (0xD8, 0xDC) erases: 64 KiB, or on a part with uniform sectors of
        // 256 KiB the whole sector.
        std::uint32_t block_erase_bytes = kBlockBytes;
        // Read Data, Page Program and Block Erase with a 4-byte address (0x13, 0x12, 0xDC). A
        // part made before them takes 4-byte addresses only in a mode of its own and ignores
        // these opcodes; its SFDP has no 4-byte address instruction table.
        bool four_byte_commands = true;
        // Answers Read SFDP (0x5A). A part made before SFDP ignores the opcode.
        bool sfdp = true;
        // A real part's SFDP space, from address 0, to answer instead of the one built from the
        // options above; they still say how the part behaves.
        std::vector<std::uint8_t> sfdp_table{};
        // The defaults keep tests fast and still make the driver poll: a program is seen done
        // by the first status poll, an erase by the second. typical_times() gives real parts'.
        BusyTime program_time{};
        BusyTime erase_time{.polls = 1};

        // Busy as a real part is, its data sheet's typical times multiplied by `scale`.
        static Options typical_times(double scale = 1.0);
        // The JEDEC ID the part answers.
        std::array<std::uint8_t, 3> answered_jedec_id() const;
    };

    // Typical times from the data sheet of a common 128 Mbit 3 V serial NOR part: a 256-byte
    // page program 0.4 ms (at most 3 ms), a 64 KiB block erase 150 ms (at most 2 s). Other
    // parts of its class give 0.3-0.7 ms and 0.15-0.7 s.
    static constexpr std::chrono::microseconds kTypicalPageProgram{400};
    static constexpr std::chrono::milliseconds kTypicalBlockErase{150};

    static constexpr std::uint8_t kStatusBusy = 0x01;
    static constexpr std::uint8_t kStatusWriteEnabled = 0x02;
    static constexpr std::uint32_t kPageBytes = 0x100;
    static constexpr std::uint32_t kBlockBytes = 0x10000;

    static constexpr std::uint8_t kWriteEnable = 0x06;
    static constexpr std::uint8_t kWriteDisable = 0x04;
    static constexpr std::uint8_t kReadStatus = 0x05;
    static constexpr std::uint8_t kReadId = 0x9F;
    static constexpr std::uint8_t kRead3 = 0x03;
    static constexpr std::uint8_t kRead4 = 0x13;
    static constexpr std::uint8_t kProgram3 = 0x02;
    static constexpr std::uint8_t kProgram4 = 0x12;
    static constexpr std::uint8_t kErase3 = 0xD8;
    static constexpr std::uint8_t kErase4 = 0xDC;
    static constexpr std::uint8_t kReadSfdp = 0x5A;

    // The JEDEC ID capacity byte of this family: the power of two of a size that is one.
    static std::uint8_t capacity_code(std::uint32_t bytes);

    SpiNorChip(const Options& options, ViolationLog& log);

    // Chip select asserted.
    void begin_frame();
    // One byte each way: `mosi` goes in, the returned byte comes out.
    std::uint8_t exchange(std::uint8_t mosi) {
        ++frame_bytes_;
        if (frame_bytes_ == 1) return take_opcode(mosi);
        if (address_bytes_left_ != 0) return take_address(mosi);
        switch (command_) {
            case Command::Read: return read_next();
            case Command::Program:
                latch_[(page_offset_ + program_count_) & (kPageBytes - 1)] = mosi;
                ++program_count_;
                return kIdleLine;
            case Command::ReadStatus: return poll_status();
            case Command::ReadId: return id_index_ < 3 ? jedec_id_[id_index_++] : 0x00;
            case Command::ReadSfdp: return read_sfdp_next();
            default: return kIdleLine;
        }
    }
    // Chip select released. `whole_bytes` is false when the frame stopped inside a byte; a
    // real part then ignores a program, erase or write-enable command.
    void end_frame(bool whole_bytes = true);

    FlashStorage& storage() { return storage_; }
    const FlashStorage& storage() const { return storage_; }
    ChipFaults& faults() { return faults_; }
    // The stay-busy-forever fault: no program or erase completes while it is set.
    void set_stuck_busy(bool stuck) { busy_.set_stuck(stuck); }
    // The power goes: a program or erase still in progress is left half done, as
    // operation_in_progress.hpp says, and the part forgets its command, latch and status.
    void cut_power(std::uint64_t seed);

    // The status register as it stands, without counting as a poll.
    std::uint8_t status() const {
        return static_cast<std::uint8_t>((busy_.active() ? kStatusBusy : 0) |
                                         (write_enabled_ ? kStatusWriteEnabled : 0));
    }
    bool busy() const { return busy_.active(); }
    bool write_enabled() const { return write_enabled_; }
    std::uint64_t programs_done() const { return programs_done_; }
    std::uint64_t erases_done() const { return erases_done_; }

  private:
    // What the data line carries while the part does not drive it (a pull-up).
    static constexpr std::uint8_t kIdleLine = 0xFF;

    enum class Command : std::uint8_t {
        None,
        Ignored,
        WriteEnable,
        WriteDisable,
        ReadStatus,
        ReadId,
        Read,
        Program,
        Erase,
        ReadSfdp,
    };

    std::uint8_t take_opcode(std::uint8_t opcode);
    std::uint8_t take_address(std::uint8_t byte);
    std::uint8_t read_next() {
        const std::uint8_t value = faults_.read(address_, storage_.read(address_));
        address_ = (address_ + 1) & address_mask_;
        return value;
    }
    std::uint8_t poll_status();
    std::uint8_t read_sfdp_next();
    void build_sfdp(const Options& options);
    void expect_address(Command command, std::uint8_t bytes);
    void finish_write_latch(bool enable, bool whole_bytes);
    void finish_program(bool whole_bytes);
    void finish_erase(bool whole_bytes);

    ViolationLog& log_;
    FlashStorage storage_;
    std::array<std::uint8_t, 3> jedec_id_;
    std::uint32_t block_erase_bytes_;
    bool four_byte_commands_;
    // The SFDP space from address 0; empty for a part without SFDP. Past its end reads 0xFF.
    std::vector<std::uint8_t> sfdp_;
    BusyTime program_time_;
    BusyTime erase_time_;
    BusyState busy_;
    OperationInProgress operation_;
    ChipFaults faults_;
    bool write_enabled_ = false;

    // The frame in progress.
    Command command_ = Command::None;
    std::uint8_t opcode_ = 0;
    std::uint32_t frame_bytes_ = 0;
    std::uint8_t address_bytes_ = 0;
    std::uint8_t address_bytes_left_ = 0;
    std::uint32_t address_ = 0;
    std::uint32_t address_mask_ = 0;
    std::uint8_t id_index_ = 0;
    std::uint8_t dummy_bytes_left_ = 0;
    std::uint32_t page_offset_ = 0;
    std::uint32_t program_count_ = 0;
    std::array<std::uint8_t, kPageBytes> latch_{};

    std::uint64_t programs_done_ = 0;
    std::uint64_t erases_done_ = 0;
};

}  // namespace tarnvel::sim
