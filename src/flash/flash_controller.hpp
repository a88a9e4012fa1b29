#pragma once
// The board-side interfaces that the flash drivers drive: a controller per board, which
// hands out its SPI master engine and/or its parallel-flash (BPI) bus. A driver never knows
// which engine carries its frames; an engine never knows which command it carries.

#include <cstdint>
#include <span>

#include "base/error.hpp"
#include "base/rc.hpp"

namespace tarnvel {

class ChannelHandle {
  public:
    // The board's open device node; the controller does not own it.
    virtual int fd() const = 0;

  protected:
    ~ChannelHandle() = default;
};

class SpiBus {
  public:
    // One SPI frame of bit_count bits under one chip select. Frame bit 0 is the most
    // significant bit of tx[0]; bits past the end of tx go out as 0. The bits clocked in are
    // stored into rx at the same positions, never past rx's end (an empty rx discards them).
    // A transfer of 0 bits touches no register.
    virtual Status transfer(std::uint8_t chip_select, std::span<const std::uint8_t> tx,
                            std::span<std::uint8_t> rx, std::uint32_t bit_count) = 0;

  protected:
    ~SpiBus() = default;
};

// The parallel NOR flash bus: a command register (CMD) and a data register (DATA).
// CMD as written: bits 0-23 the 16-bit-word address, bit 24 the sequential flag, bit 26 the
// access flag. CMD as read: bit 27 busy. DATA: one 16-bit word in bits 0-15.
class BpiBus {
  public:
    virtual int fd() const = 0;
    virtual Status set_control(std::uint32_t address, std::uint32_t sequential,
                               std::uint32_t access) = 0;
    virtual Status write_data(std::uint16_t value) = 0;
    virtual Result<std::uint16_t> read_data() = 0;
    virtual Result<bool> is_busy() = 0;
    virtual Status write_word(std::uint32_t address, std::uint16_t value) = 0;
    virtual Status write_words(std::uint32_t address, std::span<const std::uint16_t> words) = 0;
    virtual Result<std::uint16_t> read_word(std::uint32_t address) = 0;
    virtual Status read_words(std::uint32_t address, std::span<std::uint16_t> words) = 0;
    // Returns the flash to read mode: three resets around an unlock sequence, then CMD <- 0.
    virtual Status reset() = 0;

  protected:
    ~BpiBus() = default;
};

// One per board; shared between the board record and its flash driver.
class FlashController : public RefCounted {
  public:
    virtual ChannelHandle& channel() = 0;
    // Non-owning views of this same object, or null when the board has no such bus.
    virtual SpiBus* spi_bus() = 0;
    virtual BpiBus* bpi_bus() = 0;
};

}  // namespace tarnvel
