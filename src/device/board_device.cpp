#include "device/board_device.hpp"

#include <unistd.h>

#include <utility>

namespace tarnvel {

BoardDevice::BoardDevice(BoardDevice&& other) noexcept
    : syspath(std::move(other.syspath)),
      devnode(std::move(other.devnode)),
      pci_address(std::move(other.pci_address)),
      software_id(other.software_id),
      fd(std::exchange(other.fd, -1)),
      controller(std::move(other.controller)),
      flash(std::move(other.flash)),
      hw_major(other.hw_major),
      hw_minor(other.hw_minor),
      fw_version(other.fw_version),
      kind(other.kind) {}

BoardDevice& BoardDevice::operator=(BoardDevice&& other) noexcept {
    if (this != &other) {
        close();
        syspath = std::move(other.syspath);
        devnode = std::move(other.devnode);
        pci_address = std::move(other.pci_address);
        software_id = other.software_id;
        fd = std::exchange(other.fd, -1);
        controller = std::move(other.controller);
        flash = std::move(other.flash);
        hw_major = other.hw_major;
        hw_minor = other.hw_minor;
        fw_version = other.fw_version;
        kind = other.kind;
    }
    return *this;
}

void BoardDevice::close() {
    flash.reset();
    controller.reset();
    if (fd != -1) ::close(fd);
    fd = -1;
}

}  // namespace tarnvel
