#include "controller/controllers.hpp"

namespace tarnvel {

Status Qx410Controller::transfer(std::uint8_t, std::span<const std::uint8_t> tx,
                                 std::span<std::uint8_t> rx, std::uint32_t bit_count) {
    // The polled shift engine drives a single chip select; the argument has no register.
    return polled_shift_transfer(fd_, kShiftRegister, tx, rx, bit_count);
}

Status Qx480Controller::transfer(std::uint8_t chip_select, std::span<const std::uint8_t> tx,
                                 std::span<std::uint8_t> rx, std::uint32_t bit_count) {
    return chunked_transfer(fd_, kSpiEngine, chip_select, tx, rx, bit_count);
}

Status Qx610Controller::transfer(std::uint8_t chip_select, std::span<const std::uint8_t> tx,
                                 std::span<std::uint8_t> rx, std::uint32_t bit_count) {
    return long_frame_transfer(fd_, kSpiEngine, chip_select, tx, rx, bit_count);
}

Status Qx630Controller::transfer(std::uint8_t chip_select, std::span<const std::uint8_t> tx,
                                 std::span<std::uint8_t> rx, std::uint32_t bit_count) {
    return chunked_transfer(fd_, kSpiEngine, chip_select, tx, rx, bit_count);
}

Status Qx1800Controller::transfer(std::uint8_t chip_select, std::span<const std::uint8_t> tx,
                                  std::span<std::uint8_t> rx, std::uint32_t bit_count) {
    return chunked_transfer(fd_, kSpiEngine, chip_select, tx, rx, bit_count);
}

Rc<FlashController> make_controller(ControllerClass controller_class, int fd) {
    switch (controller_class) {
        case ControllerClass::Qx410: return make_rc<Qx410Controller>(fd);
        case ControllerClass::Qx480: return make_rc<Qx480Controller>(fd);
        case ControllerClass::Qx400: return make_rc<Qx400Controller>(fd);
        case ControllerClass::Qx610: return make_rc<Qx610Controller>(fd);
        case ControllerClass::Qx630: return make_rc<Qx630Controller>(fd);
        case ControllerClass::Qx1800: return make_rc<Qx1800Controller>(fd);
        case ControllerClass::None: break;
    }
    return nullptr;
}

}  // namespace tarnvel
