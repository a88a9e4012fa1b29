#pragma once
// A simulated board of a given kind: the SPI engine and/or parallel-flash bus of its
// controller class, decoded from the registers as the board decodes them, with the flash
// chips behind them. It is what the in-process route and the simulated kernel driver hand
// every register request to.
//
// The QX480 and QX610 boards carry both buses in hardware, so both get a chip whichever flash
// their kind programs. The serial chip sits at the kind's chip select (5 on the QX610, 1
// elsewhere).
//
// Registers the board does not decode read as 0 and ignore writes, and are logged as
// violations. Not thread-safe: whoever shares a board between threads locks around it.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "device/board_table.hpp"
#include "sim/model/bpi_bus_model.hpp"
#include "sim/model/chunked_spi_engine.hpp"
#include "sim/model/long_frame_spi_engine.hpp"
#include "sim/model/parallel_nor_chip.hpp"
#include "sim/model/polled_shift_spi_engine.hpp"
#include "sim/model/register_model.hpp"
#include "sim/model/spi_nor_chip.hpp"
#include "sim/model/violation.hpp"

namespace tarnvel::sim {

struct BoardOptions {
    SpiNorChip::Options spi{};
    ParallelNorChip::Options parallel{};
    // Register reads until a polled shift step is seen done (QX410 boards).
    std::uint32_t shift_polls = 1;

    // Both chips busy for their data sheets' typical times, multiplied by `scale`.
    static BoardOptions typical_chip_times(double scale = 1.0) {
        return {.spi = SpiNorChip::Options::typical_times(scale),
                .parallel = ParallelNorChip::Options::typical_times(scale)};
    }
};

class SimBoard final : public RegisterModel {
  public:
    SimBoard(BoardKind kind, const BoardOptions& options = {});
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    int read(std::uint32_t reg, std::uint32_t& value) override;
    int write(std::uint32_t reg, std::uint32_t value) override;
    SimBoard* hardware() override { return this; }

    BoardKind kind() const { return kind_; }
    // The chips on the board, or null when it has none of that type.
    SpiNorChip* spi_chip() { return spi_chip_ ? &*spi_chip_ : nullptr; }
    ParallelNorChip* parallel_chip() { return parallel_chip_ ? &*parallel_chip_ : nullptr; }
    // The flash the kind's firmware lives in, or null for a kind without one.
    FlashStorage* firmware_flash();
    // The chip select the serial chip answers to (meaningless without one).
    std::uint8_t spi_chip_select() const { return spi_chip_select_; }

    std::uint64_t register_accesses() const { return register_accesses_; }
    ViolationLog& violations() { return violations_; }
    const ViolationLog& violations() const { return violations_; }

    // Called once, at the first program or erase on any chip of the board after it is set.
    void set_flash_changed_observer(std::function<void()> observer);

  private:
    enum class Port : std::uint8_t {
        None,
        ChunkedControl,
        ChunkedData,
        LongFrameControl,
        LongFrameData,
        Shift,
        BpiCommand,
        BpiData,
    };

    void map(std::uint32_t reg, Port port) { ports_[reg] = port; }
    Port port(std::uint32_t reg) const { return reg < ports_.size() ? ports_[reg] : Port::None; }
    void flash_changed();

    BoardKind kind_;
    ViolationLog violations_;
    std::optional<SpiNorChip> spi_chip_;
    std::optional<ParallelNorChip> parallel_chip_;
    std::optional<ChunkedSpiEngine> chunked_;
    std::optional<LongFrameSpiEngine> long_frame_;
    std::optional<PolledShiftSpiEngine> polled_shift_;
    std::optional<BpiBusModel> bpi_bus_;
    std::array<Port, 256> ports_{};
    std::uint8_t spi_chip_select_ = 1;
    std::uint64_t register_accesses_ = 0;
    bool flash_changed_ = false;
    std::function<void()> flash_changed_observer_;
};

std::unique_ptr<SimBoard> make_board_model(BoardKind kind, const BoardOptions& options = {});

}  // namespace tarnvel::sim
