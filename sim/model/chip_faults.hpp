#pragma once
// Faults a test plants in a simulated flash chip: one byte that programs wrong, or reads back
// wrong, a given number of times. Aimed at a block's first byte, this makes the programming
// sequence's verify of that block fail exactly that many passes and then succeed.

#include <cstdint>

namespace tarnvel::sim {

class ChipFaults {
  public:
    // The next `passes` programs of the byte at `address` store it with bit 0 inverted.
    void corrupt_program(std::uint32_t address, std::uint32_t passes) {
        program_address_ = address;
        program_passes_ = passes;
    }
    // The next `passes` reads of the byte at `address` return it with bit 0 inverted.
    void corrupt_read(std::uint32_t address, std::uint32_t passes) {
        read_address_ = address;
        read_passes_ = passes;
    }

    std::uint32_t program_passes_left() const { return program_passes_; }
    std::uint32_t read_passes_left() const { return read_passes_; }

    // The value actually stored when `value` is programmed at `address`.
    std::uint8_t programmed(std::uint32_t address, std::uint8_t value) {
        if (program_passes_ != 0 && address == program_address_) [[unlikely]] {
            --program_passes_;
            return value ^ 1;
        }
        return value;
    }
    // The value that reaches the bus when the byte at `address` holding `value` is read.
    std::uint8_t read(std::uint32_t address, std::uint8_t value) {
        if (read_passes_ != 0 && address == read_address_) [[unlikely]] {
            --read_passes_;
            return value ^ 1;
        }
        return value;
    }
    bool read_armed() const { return read_passes_ != 0; }

  private:
    std::uint32_t program_address_ = 0;
    std::uint32_t program_passes_ = 0;
    std::uint32_t read_address_ = 0;
    std::uint32_t read_passes_ = 0;
};

}  // namespace tarnvel::sim
