#include "firmware/image_fit.hpp"

namespace tarnvel {
namespace {

// One past the highest byte address the board's flash addressing reaches.
std::uint64_t address_space_end(const BoardInfo& info) {
    switch (info.flash) {
        case FlashType::Spi:
            return info.four_byte_address ? std::uint64_t{1} << 32 : std::uint64_t{1} << 24;
        case FlashType::Bpi:
            // The bus command register holds a 24-bit address of 16-bit words.
            return std::uint64_t{1} << 25;
        case FlashType::None: return 0;
    }
    return 0;
}

}  // namespace

std::uint64_t firmware_window(BoardKind kind) {
    const BoardInfo& info = board_info(kind);
    // Kinds that are never programmed have no archive and no base address of their own.
    if (info.archive_form == ArchiveForm::None) return 0;
    const std::uint64_t end = address_space_end(info);
    return end > info.base_address ? end - info.base_address : 0;
}

Status check_image_fits(BoardKind kind, std::uint64_t size) {
    if (size == 0) return std::unexpected(Error::message(ErrorKind::InvalidData, kImageEmpty));
    if (size > firmware_window(kind)) {
        return std::unexpected(Error::message(ErrorKind::FileTooLarge, kImageTooLarge));
    }
    if (board_info(kind).flash == FlashType::Bpi && size % 2 != 0) {
        return std::unexpected(Error::message(ErrorKind::InvalidData, kImageOddLength));
    }
    return {};
}

}  // namespace tarnvel
