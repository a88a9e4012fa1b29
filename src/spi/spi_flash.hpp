#pragma once
// The serial NOR flash of the SPI boards, driven with the common SPI NOR command set, one
// command per frame, through whichever SPI engine the board's controller has.

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "base/rc.hpp"
#include "flash/flash_controller.hpp"
#include "flash/flash_device.hpp"
#include "flash/wait.hpp"

namespace tarnvel {

class SpiFlash final : public FlashDevice {
  public:
    // With `four_byte_address` the 4-byte-address commands and addresses are used; every
    // frame goes out under `chip_select`.
    SpiFlash(Rc<FlashController> controller, std::uint8_t chip_select, bool four_byte_address);

    std::uint32_t erase_size() const override;
    std::uint32_t page_size() const override;
    // The 4 bytes clocked in during Read Identification: rx[0] arrived with the opcode,
    // rx[1..3] are the manufacturer and device identification.
    Result<std::vector<std::uint8_t>> read_id() override;
    Result<std::vector<std::uint8_t>> read(std::uint32_t address, std::uint32_t length) override;
    // Page by page from a page-aligned `address`; a length of 0 programs nothing.
    Status write(std::uint32_t address, std::uint32_t length,
                 std::span<const std::uint8_t> data) override;
    // 64 KiB blocks; a length of 0 erases nothing.
    Status erase(std::uint32_t address, std::uint32_t length) override;
    // Status polls for at most a block erase's time limit.
    Status wait_until_ready() override;
    void set_erase_polls_late(bool late) override { poll_erases_late_ = late; }
    // From the part's SFDP tables, or for a part without them from its JEDEC ID.
    Result<FlashGeometry> read_geometry() override;

    std::uint8_t chip_select() const { return chip_select_; }
    bool four_byte_address() const { return four_byte_address_; }

  private:
    SpiBus& bus() const;
    std::size_t put_command(std::span<std::uint8_t> frame, std::uint8_t opcode_3byte,
                            std::uint8_t opcode_4byte, std::uint32_t address) const;
    Status send(SpiBus& bus, std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx,
                std::size_t frame_bytes) const;
    Status set_write_enable(SpiBus& bus, bool enable) const;
    // The status polls it took until the flash was ready.
    Result<unsigned> wait_ready(SpiBus& bus, std::chrono::nanoseconds timeout,
                                WaitEnd poll_wait) const;
    Result<std::vector<std::uint8_t>> read_sfdp(SpiBus& bus, std::uint32_t address,
                                                std::uint32_t length) const;

    Rc<FlashController> controller_;
    std::uint8_t chip_select_;
    bool four_byte_address_;
    bool poll_erases_late_ = false;
    // The fewest poll intervals a block erase of this flash has lasted (0: none erased yet).
    unsigned fewest_erase_intervals_ = 0;
};

}  // namespace tarnvel
