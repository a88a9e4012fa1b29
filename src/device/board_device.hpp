#pragma once
// The record of one discovered board, owned by the board loop for the whole run.

#include <cstdint>
#include <memory>
#include <string>

#include "device/board_table.hpp"
#include "flash/flash_controller.hpp"
#include "flash/flash_device.hpp"

namespace tarnvel {

struct BoardDevice {
    std::string syspath;  // sysfs path of the board device: finds it again after a reboot
    std::string devnode;  // the device node that carries the register channel
    // The PCI address of the board's slot ("0000:03:00.0"), the name of its PCI parent in
    // sysfs: what names the board across reboots and renumbered nodes. Empty for a device
    // whose parent is not a PCI device.
    std::string pci_address;
    std::int64_t software_id = 0;
    int fd = -1;  // the open device node, -1 while closed
    Rc<FlashController> controller;
    std::unique_ptr<FlashDevice> flash;
    std::uint8_t hw_major = 0;
    std::uint8_t hw_minor = 0;
    std::uint16_t fw_version = 0;
    BoardKind kind = BoardKind::Unsupported;

    BoardDevice() = default;
    BoardDevice(BoardDevice&& other) noexcept;
    BoardDevice& operator=(BoardDevice&& other) noexcept;
    BoardDevice(const BoardDevice&) = delete;
    BoardDevice& operator=(const BoardDevice&) = delete;
    ~BoardDevice() { close(); }

    // Releases the flash driver, then the record's controller share, then the device node.
    // Keeps the texts and identity; closing again is harmless.
    void close();
};

}  // namespace tarnvel
