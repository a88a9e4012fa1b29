#include "sim/model/sim_board.hpp"

namespace tarnvel::sim {
namespace {

constexpr std::string_view kSource = "board";

// The serial chip of the QX610 answers to chip select 5; on every other board to 1.
constexpr std::uint8_t kQx610ChipSelect = 5;
constexpr std::uint8_t kDefaultChipSelect = 1;

}  // namespace

SimBoard::SimBoard(BoardKind kind, const BoardOptions& options) : kind_(kind) {
    const ControllerClass controller = board_info(kind).controller;
    const bool has_spi =
        controller != ControllerClass::None && controller != ControllerClass::Qx400;
    const bool has_bpi = controller == ControllerClass::Qx480 ||
                         controller == ControllerClass::Qx400 ||
                         controller == ControllerClass::Qx610;
    if (has_spi) spi_chip_.emplace(options.spi, violations_);
    if (has_bpi) {
        parallel_chip_.emplace(options.parallel, violations_);
        bpi_bus_.emplace(*parallel_chip_, violations_);
    }
    spi_chip_select_ = controller == ControllerClass::Qx610 ? kQx610ChipSelect : kDefaultChipSelect;

    switch (controller) {
        case ControllerClass::Qx410:
            polled_shift_.emplace(options.shift_polls, violations_);
            polled_shift_->attach(&*spi_chip_);
            map(0x86, Port::Shift);
            break;
        case ControllerClass::Qx480:
            chunked_.emplace(/*clears_before=*/true, violations_);
            map(0xD2, Port::ChunkedControl);
            map(0xD3, Port::ChunkedData);
            map(0xC7, Port::BpiCommand);
            map(0xC8, Port::BpiData);
            break;
        case ControllerClass::Qx400:
            map(0x87, Port::BpiCommand);
            map(0x88, Port::BpiData);
            break;
        case ControllerClass::Qx610:
            long_frame_.emplace(violations_);
            long_frame_->attach(spi_chip_select_, &*spi_chip_);
            map(0x85, Port::LongFrameControl);
            map(0x86, Port::LongFrameData);
            map(0x87, Port::BpiCommand);
            map(0x88, Port::BpiData);
            break;
        case ControllerClass::Qx630:
        case ControllerClass::Qx1800:
            chunked_.emplace(/*clears_before=*/controller == ControllerClass::Qx1800, violations_);
            map(0x85, Port::ChunkedControl);
            map(0x86, Port::ChunkedData);
            break;
        case ControllerClass::None: break;
    }
    if (chunked_) chunked_->attach(spi_chip_select_, &*spi_chip_);

    auto observer = [this] { flash_changed(); };
    if (spi_chip_) spi_chip_->storage().set_change_observer(observer);
    if (parallel_chip_) parallel_chip_->storage().set_change_observer(observer);
}

int SimBoard::read(std::uint32_t reg, std::uint32_t& value) {
    ++register_accesses_;
    switch (port(reg)) {
        case Port::ChunkedData: value = chunked_->read_data(); return 0;
        case Port::ChunkedControl: value = chunked_->control(); return 0;
        case Port::LongFrameData: value = long_frame_->read_data(); return 0;
        case Port::LongFrameControl: value = long_frame_->control(); return 0;
        case Port::Shift: value = polled_shift_->read(); return 0;
        case Port::BpiData: value = bpi_bus_->read_data(); return 0;
        case Port::BpiCommand: value = bpi_bus_->read_command(); return 0;
        case Port::None: break;
    }
    violations_.record(ViolationKind::UnknownRegister, kSource, reg);
    value = 0;
    return 0;
}

int SimBoard::write(std::uint32_t reg, std::uint32_t value) {
    ++register_accesses_;
    switch (port(reg)) {
        case Port::ChunkedData: chunked_->write_data(value); return 0;
        case Port::ChunkedControl: chunked_->write_control(value); return 0;
        case Port::LongFrameData: long_frame_->write_data(value); return 0;
        case Port::LongFrameControl: long_frame_->write_control(value); return 0;
        case Port::Shift: polled_shift_->write(value); return 0;
        case Port::BpiData: bpi_bus_->write_data(value); return 0;
        case Port::BpiCommand: bpi_bus_->write_command(value); return 0;
        case Port::None: break;
    }
    violations_.record(ViolationKind::UnknownRegister, kSource, reg, value);
    return 0;
}

FlashStorage* SimBoard::firmware_flash() {
    switch (board_info(kind_).flash) {
        case FlashType::Spi: return spi_chip_ ? &spi_chip_->storage() : nullptr;
        case FlashType::Bpi: return parallel_chip_ ? &parallel_chip_->storage() : nullptr;
        case FlashType::None: break;
    }
    return nullptr;
}

void SimBoard::cut_power(std::uint64_t seed) {
    if (spi_chip_) spi_chip_->cut_power(seed);
    if (parallel_chip_) parallel_chip_->cut_power(seed);
}

void SimBoard::set_flash_changed_observer(std::function<void()> observer) {
    flash_changed_observer_ = std::move(observer);
    flash_changed_ = false;
}

void SimBoard::flash_changed() {
    if (flash_changed_) return;
    flash_changed_ = true;
    if (flash_changed_observer_) flash_changed_observer_();
}

std::unique_ptr<SimBoard> make_board_model(BoardKind kind, const BoardOptions& options) {
    return std::make_unique<SimBoard>(kind, options);
}

}  // namespace tarnvel::sim
