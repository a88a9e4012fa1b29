#include "bin/tarnvel-fw/board_access.hpp"

#include <fmt/format.h>

#include <cerrno>

#include "update/flashing.hpp"

namespace tarnvel::fw {

std::expected<void, std::string> open_for_flash(BoardDevice& board) {
    auto opened = open_for_flashing(board, FlashOpening::Untouched);
    if (opened) return {};
    board.close();
    const Error& error = opened.error().error;
    if (opened.error().node_opened) {
        return std::unexpected(fmt::format("can't reach the board's flash: {}", error_text(error)));
    }
    const std::int32_t* code = error.os_code();
    if (code != nullptr && *code == EWOULDBLOCK) {
        return std::unexpected(
            fmt::format("the board is locked by another process ({})", error_text(error)));
    }
    return std::unexpected(fmt::format("can't open the board: {}", error_text(error)));
}

std::expected<void, std::string> prepare_flash(BoardDevice& board, std::uint64_t length,
                                               FlashUse use) {
    auto part = identify_flash_part(board, length, use);
    if (part) return {};
    board.close();
    const std::string error = error_text(part.error().error);
    return std::unexpected(part.error().identified
                               ? fmt::format("the flash part does not fit: {}", error)
                               : fmt::format("can't identify the board's flash: {}", error));
}

}  // namespace tarnvel::fw
