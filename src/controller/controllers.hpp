#pragma once
// The six controller classes, one per board family. Each holds the board's descriptor
// (ControllerBase; never closing it) and is, by inheritance, the SPI engine and/or the
// parallel-flash bus that its boards have; spi_bus() and bpi_bus() hand out views of the
// object itself.

#include <cstdint>
#include <span>

#include "base/rc.hpp"
#include "device/board_table.hpp"
#include "controller/bpi_bus.hpp"
#include "controller/controller_base.hpp"
#include "flash/flash_controller.hpp"
#include "controller/spi_engines.hpp"

namespace tarnvel {

// QX410, QX410M2, QX410BP: the polled shift engine.
class Qx410Controller final : public ControllerBase, public SpiBus {
  public:
    static constexpr std::uint32_t kShiftRegister = 0x86;

    explicit Qx410Controller(int fd) : ControllerBase(fd) {}
    SpiBus* spi_bus() override { return this; }
    Status transfer(std::uint8_t chip_select, std::span<const std::uint8_t> tx,
                    std::span<std::uint8_t> rx, std::uint32_t bit_count) override;
};

// QX480, SPI and BPI variants: a chunked engine cleared before and after each frame, and a
// parallel-flash bus.
class Qx480Controller final : public RegisterBpiBus, public SpiBus {
  public:
    static constexpr ChunkedEngine kSpiEngine{.control = 0xD2, .data = 0xD3, .clear_before = true};
    static constexpr BpiRegisters kBpiRegisters{.command = 0xC7, .data = 0xC8};

    explicit Qx480Controller(int fd) : RegisterBpiBus(fd, kBpiRegisters) {}
    SpiBus* spi_bus() override { return this; }
    Status transfer(std::uint8_t chip_select, std::span<const std::uint8_t> tx,
                    std::span<std::uint8_t> rx, std::uint32_t bit_count) override;
};

// QX400: a parallel-flash bus only.
class Qx400Controller final : public RegisterBpiBus {
  public:
    static constexpr BpiRegisters kBpiRegisters{.command = 0x87, .data = 0x88};

    explicit Qx400Controller(int fd) : RegisterBpiBus(fd, kBpiRegisters) {}
};

// QX610, SPI and BPI variants: the long-frame engine and a parallel-flash bus.
class Qx610Controller final : public RegisterBpiBus, public SpiBus {
  public:
    static constexpr LongFrameEngine kSpiEngine{.control = 0x85, .data = 0x86};
    static constexpr BpiRegisters kBpiRegisters{.command = 0x87, .data = 0x88};

    explicit Qx610Controller(int fd) : RegisterBpiBus(fd, kBpiRegisters) {}
    SpiBus* spi_bus() override { return this; }
    Status transfer(std::uint8_t chip_select, std::span<const std::uint8_t> tx,
                    std::span<std::uint8_t> rx, std::uint32_t bit_count) override;
};

// QX630: a chunked engine cleared after each frame only.
class Qx630Controller final : public ControllerBase, public SpiBus {
  public:
    static constexpr ChunkedEngine kSpiEngine{.control = 0x85, .data = 0x86, .clear_before = false};

    explicit Qx630Controller(int fd) : ControllerBase(fd) {}
    SpiBus* spi_bus() override { return this; }
    Status transfer(std::uint8_t chip_select, std::span<const std::uint8_t> tx,
                    std::span<std::uint8_t> rx, std::uint32_t bit_count) override;
};

// QX1800: a chunked engine cleared before and after each frame.
class Qx1800Controller final : public ControllerBase, public SpiBus {
  public:
    static constexpr ChunkedEngine kSpiEngine{.control = 0x85, .data = 0x86, .clear_before = true};

    explicit Qx1800Controller(int fd) : ControllerBase(fd) {}
    SpiBus* spi_bus() override { return this; }
    Status transfer(std::uint8_t chip_select, std::span<const std::uint8_t> tx,
                    std::span<std::uint8_t> rx, std::uint32_t bit_count) override;
};

// The controller of a class over the board's descriptor; null for ControllerClass::None.
Rc<FlashController> make_controller(ControllerClass controller_class, int fd);

}  // namespace tarnvel
