#pragma once
// Opening a board for its flash, and the image meant for it, as the commands need them.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "device/board_device.hpp"
#include "firmware/firmware_image.hpp"
#include "flash/flash_fit.hpp"

namespace tarnvel::fw {

// Opens the board's node with the board lock and builds its flash objects, without a word to
// the flash yet. On failure the board is closed again and the reason, in words, comes back: a
// board another process holds says so.
std::expected<void, std::string> open_for_flash(BoardDevice& board);

// Before the first erase or read of an opened board: waits (bounded) for a flash that a
// killed run left busy, resets a parallel flash to read mode, identifies the part and checks
// that it takes what `use` sends to `length` bytes from the kind's base address. On failure
// the board is closed and the reason comes back, naming what the part said.
std::expected<void, std::string> prepare_flash(BoardDevice& board, std::uint64_t length,
                                               FlashUse use);

struct ChosenImage {
    FirmwareImage image;
    std::optional<std::int32_t> version;  // none for an image file, whose name carries none
};

// Why a board gets no image: it is not a known board, it loads its firmware itself (QX1800),
// or there is no usable image for it (`error` says why).
struct PassedOver {
    enum class Why : std::uint8_t { Unsupported, DynamicFirmware, NoImage } why;
    std::optional<std::string> error;
};

// The image from `image_file` when given (checked as an archive's image is: not empty, within
// the kind's window, whole words on parallel flash), otherwise the board's archive's image.
std::expected<ChosenImage, PassedOver> choose_image(
    const BoardDevice& board, const std::optional<std::vector<std::uint8_t>>& image_file);

}  // namespace tarnvel::fw
