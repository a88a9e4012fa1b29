#pragma once
// The parallel-flash bus as a command register (CMD) and a data register (DATA). The
// controller classes that have one run exactly this and differ only in the two register
// numbers, so they inherit it; the bus drives the registers through the controller's own
// descriptor.

#include <cstdint>
#include <span>

#include "controller/controller_base.hpp"
#include "flash/flash_controller.hpp"

namespace tarnvel {

struct BpiRegisters {
    std::uint32_t command;
    std::uint32_t data;
};

class RegisterBpiBus : public ControllerBase, public BpiBus {
  public:
    // Both views hand out the one descriptor.
    int fd() const override { return fd_; }
    BpiBus* bpi_bus() override { return this; }

    Status set_control(std::uint32_t address, std::uint32_t sequential,
                       std::uint32_t access) override;
    Status write_data(std::uint16_t value) override;
    Result<std::uint16_t> read_data() override;
    Result<bool> is_busy() override;
    Status write_word(std::uint32_t address, std::uint16_t value) override;
    Status write_words(std::uint32_t address, std::span<const std::uint16_t> words) override;
    Result<std::uint16_t> read_word(std::uint32_t address) override;
    Status read_words(std::uint32_t address, std::span<std::uint16_t> words) override;
    Status reset() override;

  protected:
    RegisterBpiBus(int fd, BpiRegisters registers) : ControllerBase(fd), registers_(registers) {}

  private:
    Status write_command(std::uint32_t value);
    Status write_data_register(std::uint32_t value);

    BpiRegisters registers_;
};

}  // namespace tarnvel
