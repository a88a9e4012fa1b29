#pragma once
// A 16-bit parallel NOR flash with the AMD-style command set, as seen on its bus cycles:
// read mode; the unlock cycles (0x555, 0xAA), (0x2AA, 0x55); sector erase (unlock, 0x80,
// unlock, 0x30 at the sector) over 128 KiB sectors; write-to-buffer programming (unlock,
// 0x25 at the sector, word count - 1 at the sector, the words within one 256-word buffer
// page, 0x29 at the sector); 0xF0 back to read mode.
//
// A malformed sequence is refused as a real part refuses it: a bad unlock or command cycle
// drops back to read mode; a broken write-to-buffer sequence aborts into a state in which
// reads return status, not data, and only the unlock-unlock-0xF0 abort reset leaves.
//
// The part describes itself through the CFI query (0x98 at 0x55; reads then return the query
// at word addresses 0x10 and up; 0xF0 leaves): command set, size, write buffer and erase
// block region as its options set them, so that a part of another sector or buffer size, or
// capacity, can stand in for the board's; or a real part's query, primary vendor table
// included, as its options give it.
//
// Addresses here are word addresses; the cells are kept in a FlashStorage in byte order, word
// w in bytes 2w (bits 0-7) and 2w + 1 (bits 8-15).

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <vector>

#include "sim/model/busy_state.hpp"
#include "sim/model/chip_faults.hpp"
#include "sim/model/flash_storage.hpp"
#include "sim/model/operation_in_progress.hpp"
#include "sim/model/violation.hpp"

namespace tarnvel::sim {

class ParallelNorChip {
  public:
    struct Options {
        // 256 Mbit: the whole reach of the board's 24-bit word address. A power of two
        // from 1 MiB to 2 GiB.
        std::uint32_t size_bytes = 32u << 20;
        // What a sector erase erases (a power of two from 8 KiB up), and the most a
        // write-buffer program may carry (a power of two from 2 to kMaxBufferWords words):
        // parts with 32-word buffers abort a larger word count.
        std::uint32_t sector_bytes = kSectorWords * 2;
        std::uint32_t buffer_bytes = kBufferWords * 2;
        // The defaults keep tests fast: both are seen done by the first read of the busy
        // flag. typical_times() gives real parts'.
        BusyTime program_time{};
        BusyTime erase_time{};
        // A real part's CFI query to answer instead of the one built from the options above,
        // one byte per word from word address 0x10 (where "QRY" stands) on; the options still
        // say how the part behaves.
        std::vector<std::uint8_t> cfi_table{};

        // Busy as a real part is, its data sheet's typical times multiplied by `scale`.
        static Options typical_times(double scale = 1.0);
    };

    // Typical times from the data sheets of common 256 Mbit 3 V parallel NOR parts with a
    // 512-byte write buffer: a full buffer program 0.2 ms, a 128 KiB sector erase 0.5 s.
    static constexpr std::chrono::microseconds kTypicalBufferProgram{200};
    static constexpr std::chrono::milliseconds kTypicalSectorErase{500};

    // The defaults: 128 KiB sectors, a 512-byte write buffer.
    static constexpr std::uint32_t kSectorWords = 0x10000;
    static constexpr std::uint32_t kBufferWords = 256;
    static constexpr std::uint32_t kMaxBufferWords = 512;

    static constexpr std::uint16_t kUnlockData1 = 0xAA;
    static constexpr std::uint16_t kUnlockData2 = 0x55;
    static constexpr std::uint32_t kUnlockAddress1 = 0x555;
    static constexpr std::uint32_t kUnlockAddress2 = 0x2AA;
    static constexpr std::uint16_t kEraseSetup = 0x80;
    static constexpr std::uint16_t kSectorErase = 0x30;
    static constexpr std::uint16_t kWriteToBuffer = 0x25;
    static constexpr std::uint16_t kProgramBuffer = 0x29;
    static constexpr std::uint16_t kReset = 0xF0;
    static constexpr std::uint32_t kCfiQueryAddress = 0x55;
    static constexpr std::uint16_t kCfiQuery = 0x98;
    // The query decodes the low eight address lines.
    static constexpr std::uint32_t kCfiWords = 0x100;
    static constexpr std::uint32_t kCfiTableStart = 0x10;

    // What a read returns after a write-to-buffer abort (status bit DQ1).
    static constexpr std::uint16_t kAbortStatus = 0x0002;

    ParallelNorChip(const Options& options, ViolationLog& log);

    void write_cycle(std::uint32_t word_address, std::uint16_t value);
    std::uint16_t read_cycle(std::uint32_t word_address) {
        if (state_ == State::Read && !busy_.active()) [[likely]] {
            const std::uint32_t byte_address = (word_address & word_mask_) << 1;
            const std::uint16_t word = storage_.read_le16(byte_address);
            if (!faults_.read_armed()) [[likely]]
                return word;
            return static_cast<std::uint16_t>(
                faults_.read(byte_address, static_cast<std::uint8_t>(word)) |
                faults_.read(byte_address + 1, static_cast<std::uint8_t>(word >> 8)) << 8);
        }
        return read_other(word_address);
    }
    // The ready/busy line, as the board's bus shows it: every look is a poll.
    bool poll_busy() { return busy_.poll(); }

    FlashStorage& storage() { return storage_; }
    const FlashStorage& storage() const { return storage_; }
    ChipFaults& faults() { return faults_; }
    // The stay-busy-forever fault: no program or erase completes while it is set.
    void set_stuck_busy(bool stuck) { busy_.set_stuck(stuck); }
    // The power goes: a buffer program or sector erase still in progress is left half done,
    // as operation_in_progress.hpp says, and the part is back in read mode.
    void cut_power(std::uint64_t seed);

    bool busy() const { return busy_.active(); }
    // In read mode with no command sequence begun: where a driver leaves the part.
    bool in_read_mode() const { return state_ == State::Read; }
    bool in_cfi_query() const { return state_ == State::CfiQuery; }
    bool aborted() const { return state_ == State::Aborted; }
    std::uint64_t programs_done() const { return programs_done_; }
    std::uint64_t erases_done() const { return erases_done_; }

  private:
    enum class State : std::uint8_t {
        Read,
        Unlocked1,
        Unlocked2,
        EraseSetup,
        EraseUnlocked1,
        EraseUnlocked2,
        BufferCount,
        BufferLoad,
        BufferConfirm,
        Aborted,
        AbortUnlocked1,
        AbortUnlocked2,
        CfiQuery,
    };

    std::uint16_t read_other(std::uint32_t word_address);
    bool is_unlock1(std::uint32_t address, std::uint16_t value) const;
    bool is_unlock2(std::uint32_t address, std::uint16_t value) const;
    void refuse(ViolationKind kind, std::uint32_t address, std::uint16_t value);
    void abort_buffer(ViolationKind kind, std::uint32_t address, std::uint16_t value);
    void command_cycle(std::uint32_t address, std::uint16_t value);
    void buffer_cycle(std::uint32_t address, std::uint16_t value);
    void abort_state_cycle(std::uint32_t address, std::uint16_t value);
    void erase_sector(std::uint32_t address);
    void program_buffer();
    void build_cfi(const Options& options);

    ViolationLog& log_;
    FlashStorage storage_;
    std::uint32_t word_mask_;
    std::uint32_t sector_words_;
    std::uint32_t buffer_words_;
    // The CFI query's answers by word address (low byte: the query; high byte: 0).
    std::array<std::uint16_t, kCfiWords> cfi_{};
    BusyTime program_time_;
    BusyTime erase_time_;
    BusyState busy_;
    OperationInProgress operation_;
    ChipFaults faults_;
    State state_ = State::Read;
    bool toggle_ = false;

    // The write-to-buffer sequence in progress.
    std::uint32_t sector_ = 0;
    std::uint32_t buffer_page_ = 0;
    std::uint32_t words_expected_ = 0;
    std::uint32_t words_loaded_ = 0;
    std::array<std::uint16_t, kMaxBufferWords> buffer_{};
    std::bitset<kMaxBufferWords> loaded_;

    std::uint64_t programs_done_ = 0;
    std::uint64_t erases_done_ = 0;
};

}  // namespace tarnvel::sim
