#pragma once
// What every controller class shares: the board's descriptor, held once and never closed (the
// board record owns it), its ChannelHandle view, and no bus until a class adds one.

#include "flash/flash_controller.hpp"

namespace tarnvel {

class ControllerBase : public FlashController, public ChannelHandle {
  public:
    ChannelHandle& channel() override { return *this; }
    int fd() const override { return fd_; }
    SpiBus* spi_bus() override { return nullptr; }
    BpiBus* bpi_bus() override { return nullptr; }

  protected:
    explicit ControllerBase(int fd) : fd_(fd) {}
    const int fd_;
};

}  // namespace tarnvel
