#pragma once
// What a simulated board saw a driver do that real hardware would not accept, or would carry
// out other than the driver meant. Tests assert that a correct driver leaves the log empty and
// that a faulty one leaves the entry its fault deserves.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnvel::sim {

enum class ViolationKind : std::uint8_t {
    // Serial NOR flash.
    ProgramWithoutWriteEnable,  // page program while the write-enable latch was clear: ignored
    EraseWithoutWriteEnable,    // block erase while the write-enable latch was clear: ignored
    CommandWhileBusy,           // any command but a status read during a program or erase
    UnknownCommand,             // an opcode (or parallel-flash command code) the part lacks
    BadCommandLength,           // chip select released after the wrong number of bytes
    ProgramOverUnerasedBits,    // data asked for 0 bits to become 1: the area was not erased
    // SPI engines.
    FrameNotWholeBytes,     // a frame whose bit count is not a multiple of 8
    NoChipAtChipSelect,     // a frame under a chip select with nothing behind it
    MalformedControl,       // a control or shift-register value the engine cannot decode
    MissingClearingWrite,   // a frame begun without the clearing write the engine requires
    FrameCutShort,          // a chunk or frame left before all its announced bits were sent
    DataOutsideFrame,       // a data word with no announced bits left to carry it
    StepWhileShifting,      // a shift step started before the previous one was polled done
    StepWithoutChipSelect,  // a shift step with the chip not selected
    // Parallel flash bus.
    DataAccessWithoutAccessFlag,  // DATA read or written while CMD's access flag is clear
    ReservedBitsSet,              // CMD or DATA written with bits the bus does not have
    // Parallel NOR flash.
    BadUnlockCycle,             // an unlock cycle with the wrong address or data
    BufferWordCountMismatch,    // more or fewer words than the write-to-buffer count said
    BufferOutsidePage,          // a buffer word outside the write-buffer page of the first
    BufferOutsideSector,        // a buffer cycle outside the sector named by the command
    MissingConfirm,             // a write-to-buffer not followed by its confirm at the sector
    ReadDuringCommandSequence,  // a read cycle in the middle of a command sequence
    // Board.
    UnknownRegister,  // a register number the board does not decode
};

std::string_view violation_kind_name(ViolationKind kind);

struct Violation {
    ViolationKind kind;
    std::string_view source;  // which part of the board saw it, e.g. "spi flash"
    std::uint32_t address;    // flash address, word address or register number, as fits
    std::uint32_t value;      // opcode, data or register value, as fits
};

// One line for a test's failure message.
std::string describe(const Violation& violation);

class ViolationLog {
  public:
    // Keeps the first entries only, so that a driver that goes wrong on every access of a
    // large image does not exhaust memory; the total count goes on.
    static constexpr std::size_t kKeptEntries = 4096;

    void record(ViolationKind kind, std::string_view source, std::uint32_t address = 0,
                std::uint32_t value = 0);

    std::span<const Violation> entries() const { return entries_; }
    std::uint64_t total() const { return total_; }
    bool empty() const { return total_ == 0; }
    std::size_t count(ViolationKind kind) const;
    void clear();
    // Every kept entry, one per line, for a test's failure message.
    std::string summary() const;

  private:
    std::vector<Violation> entries_;
    std::uint64_t total_ = 0;
};

}  // namespace tarnvel::sim
