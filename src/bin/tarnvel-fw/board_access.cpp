#include "bin/tarnvel-fw/board_access.hpp"

#include <fmt/format.h>

#include <cerrno>

#include "device/register_channel.hpp"
#include "firmware/firmware_archive.hpp"
#include "firmware/image_fit.hpp"
#include "flash/board_flash.hpp"

namespace tarnvel::fw {

std::expected<void, std::string> open_for_flash(BoardDevice& board) {
    if (auto opened = open_board(board); !opened) {
        const std::int32_t* code = opened.error().os_code();
        if (code != nullptr && *code == EWOULDBLOCK) {
            return std::unexpected(fmt::format("the board is locked by another process ({})",
                                               error_text(opened.error())));
        }
        return std::unexpected(fmt::format("can't open the board: {}", error_text(opened.error())));
    }
    if (auto built = build_flash(board); !built) {
        board.close();
        return std::unexpected(
            fmt::format("can't reach the board's flash: {}", error_text(built.error())));
    }
    return {};
}

std::expected<void, std::string> prepare_flash(BoardDevice& board, std::uint64_t length,
                                               FlashUse use) {
    auto geometry = identify_flash(board);
    if (!geometry) {
        board.close();
        return std::unexpected(
            fmt::format("can't identify the board's flash: {}", error_text(geometry.error())));
    }
    if (auto fits = check_flash_fits(*geometry, board.kind, length, use); !fits) {
        board.close();
        return std::unexpected(
            fmt::format("the flash part does not fit: {}", error_text(fits.error())));
    }
    return {};
}

std::expected<ChosenImage, PassedOver> choose_image(
    const BoardDevice& board, const std::optional<std::vector<std::uint8_t>>& image_file) {
    using Why = PassedOver::Why;
    if (board.kind == BoardKind::Unsupported) {
        return std::unexpected(PassedOver{Why::Unsupported, std::nullopt});
    }
    if (board.kind == BoardKind::Qx1800) {
        return std::unexpected(PassedOver{Why::DynamicFirmware, std::nullopt});
    }
    if (image_file) {
        if (auto fits = check_image_fits(board.kind, image_file->size()); !fits) {
            return std::unexpected(PassedOver{Why::NoImage, error_text(fits.error())});
        }
        return ChosenImage{.image = FirmwareImage{.version = 0, .data = *image_file},
                           .version = std::nullopt};
    }
    auto image = find_firmware_image(board);
    if (!image) {
        return std::unexpected(PassedOver{
            Why::NoImage,
            fmt::format("{}: {}", firmware_archive_path(board.kind, board.hw_major, board.hw_minor),
                        error_text_with_note(image.error()))});
    }
    const std::int32_t version = image->version;
    return ChosenImage{.image = std::move(*image), .version = version};
}

}  // namespace tarnvel::fw
