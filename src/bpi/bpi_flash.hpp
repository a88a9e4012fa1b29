#pragma once
// The 16-bit parallel NOR flash of the BPI boards, driven with the AMD-style command set
// (unlock cycles, sector erase, write-buffer programming) through the controller's BPI bus.
// Byte addresses and byte vectors at the interface; word k of the flash is bytes 2k (low)
// and 2k+1 (high).

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "base/rc.hpp"
#include "flash/flash_controller.hpp"
#include "flash/flash_device.hpp"

namespace tarnvel {

// How long a busy flash is polled before the operation fails with the flash write timeout.
struct BpiTimeLimits {
    std::chrono::nanoseconds sector_erase;
    std::chrono::nanoseconds buffer_program;
};

// Common 16-bit parallel NOR parts with 128 KiB sectors specify a sector erase at typically
// 0.2-0.5 s and at most 1-4 s, and a full 512-byte buffer program at typically 0.3-1 ms and
// at most about 2 ms. The limits are well beyond both, so that only a flash that has stopped
// answering (or a worn-out one) hits them: 10 s per sector, 100 ms per buffer.
inline constexpr BpiTimeLimits kBpiTimeLimits{std::chrono::seconds(10),
                                              std::chrono::milliseconds(100)};

class BpiFlash final : public FlashDevice {
  public:
    explicit BpiFlash(Rc<FlashController> controller, BpiTimeLimits limits = kBpiTimeLimits);

    std::uint32_t erase_size() const override;
    std::uint32_t page_size() const override;
    // The parallel flash is not identified: always empty, and no register is touched.
    Result<std::vector<std::uint8_t>> read_id() override;
    // `address` and `length` must be even (whole words); an odd one is an invalid input.
    Result<std::vector<std::uint8_t>> read(std::uint32_t address, std::uint32_t length) override;
    // Write buffers of 512 bytes counted from `address`, which callers keep 512-byte
    // aligned. `address` and `length` must be even; a length of 0 programs nothing.
    Status write(std::uint32_t address, std::uint32_t length,
                 std::span<const std::uint8_t> data) override;
    // 128 KiB sectors; a length of 0 erases nothing.
    Status erase(std::uint32_t address, std::uint32_t length) override;
    // Busy polls for at most the sector erase's time limit.
    Status wait_until_ready() override;
    // From the part's CFI query; leaves the part in read mode and the bus released.
    Result<FlashGeometry> read_geometry() override;

  private:
    BpiBus& bus() const;

    Rc<FlashController> controller_;
    BpiTimeLimits limits_;
};

}  // namespace tarnvel
