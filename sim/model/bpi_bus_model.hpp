#pragma once
// The board's parallel-flash bus: a command register (CMD) and a data register (DATA) in
// front of a 16-bit parallel NOR flash.
//
// CMD written: bits 0-23 the word address, bit 24 the sequential flag (the address steps on
// by one after every DATA access), bit 26 the access flag (the bus is driven; clear releases
// it). CMD read: as written, with bit 27 the flash's busy line. DATA written: one bus write
// cycle of bits 0-15 at the address; DATA read: one bus read cycle, the word in bits 0-15.

#include <cstdint>

#include "sim/model/parallel_nor_chip.hpp"
#include "sim/model/violation.hpp"

namespace tarnvel::sim {

class BpiBusModel {
  public:
    static constexpr std::uint32_t kAddressMask = 0xFFFFFF;
    static constexpr std::uint32_t kSequential = 1u << 24;
    static constexpr std::uint32_t kAccess = 1u << 26;
    static constexpr std::uint32_t kBusy = 1u << 27;

    BpiBusModel(ParallelNorChip& chip, ViolationLog& log) : chip_(chip), log_(log) {}

    void write_command(std::uint32_t value) {
        if ((value & ~(kAddressMask | kSequential | kAccess)) != 0) [[unlikely]] {
            log_.record(ViolationKind::ReservedBitsSet, kSource, 0, value);
        }
        command_ = value & (kAddressMask | kSequential | kAccess);
        address_ = value & kAddressMask;
    }
    std::uint32_t read_command() { return command_ | (chip_.poll_busy() ? kBusy : 0); }

    void write_data(std::uint32_t value) {
        if (!bus_driven(value)) [[unlikely]]
            return;
        if (value > 0xFFFF) [[unlikely]] {
            log_.record(ViolationKind::ReservedBitsSet, kSource, address_, value);
        }
        chip_.write_cycle(address_, static_cast<std::uint16_t>(value));
        advance();
    }
    std::uint32_t read_data() {
        if (!bus_driven(0)) [[unlikely]]
            return 0xFFFF;
        const std::uint16_t word = chip_.read_cycle(address_);
        advance();
        return word;
    }

  private:
    static constexpr std::string_view kSource = "bpi bus";

    bool bus_driven(std::uint32_t value) {
        if ((command_ & kAccess) != 0) [[likely]]
            return true;
        log_.record(ViolationKind::DataAccessWithoutAccessFlag, kSource, address_, value);
        return false;
    }
    void advance() {
        if ((command_ & kSequential) != 0) address_ = (address_ + 1) & kAddressMask;
    }

    ParallelNorChip& chip_;
    ViolationLog& log_;
    std::uint32_t command_ = 0;
    std::uint32_t address_ = 0;
};

}  // namespace tarnvel::sim
