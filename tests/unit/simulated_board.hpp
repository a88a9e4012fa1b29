#pragma once
// A simulated board of a given kind on the in-process route, as the flash tests use it, and
// image bytes to write into it.

#include <cstdint>
#include <memory>
#include <vector>

#include "device/board_device.hpp"
#include "sim/in_process.hpp"
#include "sim/model/sim_board.hpp"

namespace tarnvel::sim {

inline std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> b(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& byte : b) {
        x = x * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(x >> 16);
    }
    return b;
}

// The board's record holds the node; the test attaches its flash driver.
class SimulatedBoard {
  public:
    explicit SimulatedBoard(BoardKind kind, const BoardOptions& options = {})
        : model(make_board_model(kind, options)), node_(*model) {
        device.kind = kind;
        device.fd = node_.release();
    }
    ~SimulatedBoard() { device.close(); }

    bool is_spi() const { return board_info(device.kind).flash == FlashType::Spi; }
    std::uint32_t base() const { return board_info(device.kind).base_address; }
    FlashStorage& flash() { return *model->firmware_flash(); }
    std::uint64_t erases_done() {
        return is_spi() ? model->spi_chip()->erases_done() : model->parallel_chip()->erases_done();
    }
    const ViolationLog& violations() const { return model->violations(); }

    std::unique_ptr<SimBoard> model;
    BoardDevice device;

  private:
    InProcessNode node_;
};

}  // namespace tarnvel::sim
