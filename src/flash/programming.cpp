#include "flash/programming.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "bin/tarnvel-flash/dialogue.hpp"
#include "firmware/image_fit.hpp"

namespace tarnvel {
namespace {

// A block is written at most six times: the first pass and five retries.
constexpr unsigned kMaxRetries = 5;

constexpr std::array<std::uint8_t, 256> kBitReversed = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        unsigned reversed = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if ((value & (1u << bit)) != 0) reversed |= 0x80u >> bit;
        }
        table[value] = static_cast<std::uint8_t>(reversed);
    }
    return table;
}();

// The parallel flash takes every 16-bit little-endian word of the image with its sixteen bits
// mirrored: byte pair (b0, b1) becomes (reverse(b1), reverse(b0)). The length is even
// (checked before).
std::vector<std::uint8_t> mirror_words(std::span<const std::uint8_t> image) {
    std::vector<std::uint8_t> mirrored(image.size());
    for (std::size_t i = 0; i + 1 < image.size(); i += 2) {
        mirrored[i] = kBitReversed[image[i + 1]];
        mirrored[i + 1] = kBitReversed[image[i]];
    }
    return mirrored;
}

// One erase, write and read-back pass over a block. True when the flash now holds the block;
// a read-back of the wrong length counts as a mismatch, never as a partial success.
Result<bool> program_block(FlashDevice& flash, std::uint32_t address, std::uint32_t block_size,
                           std::span<const std::uint8_t> block) {
    const auto length = static_cast<std::uint32_t>(block.size());
    // Always a whole block, also under a short last block: the flash erases no less.
    if (auto erased = flash.erase(address, block_size); !erased) {
        return std::unexpected(std::move(erased.error()));
    }
    if (auto written = flash.write(address, length, block); !written) {
        return std::unexpected(std::move(written.error()));
    }
    auto read_back = flash.read(address, length);
    if (!read_back) return std::unexpected(std::move(read_back.error()));
    return std::ranges::equal(*read_back, block);
}

}  // namespace

Status program_firmware(BoardDevice& board, const FirmwareImage& image) {
    if (!board.flash) internal_fault("programming a board that has no flash driver");
    FlashDevice& flash = *board.flash;
    const BoardInfo& info = board_info(board.kind);
    if (auto fits = check_image_fits(board.kind, image.data.size()); !fits) return fits;

    const std::uint32_t block_size = flash.erase_size();
    if (block_size == 0) internal_fault("flash reports an erase block of 0 bytes");
    // Fits in 32 bits: check_image_fits keeps the image inside the flash address range.
    const auto length = static_cast<std::uint32_t>(image.data.size());
    const std::uint32_t block_count = (length - 1) / block_size + 1;

    // The one image-sized copy, for the parallel flash only; serial flash is written straight
    // from the image.
    std::vector<std::uint8_t> mirrored;
    std::span<const std::uint8_t> data = image.data;
    if (info.flash == FlashType::Bpi) {
        mirrored = mirror_words(image.data);
        data = mirrored;
    }

    for (std::uint32_t i = 0; i < block_count; ++i) {
        const std::uint32_t offset = i * block_size;
        const std::uint32_t address = info.base_address + offset;
        const auto block = data.subspan(offset, std::min(block_size, length - offset));
        for (unsigned retries = 0;; ++retries) {
            // Shown before each pass; never reaches 100, the caller's "done" line follows.
            print_progress((i * 100) / block_count);
            auto verified = program_block(flash, address, block_size, block);
            if (!verified) return std::unexpected(std::move(verified.error()));
            if (*verified) break;
            if (retries == kMaxRetries) {
                return std::unexpected(Error::message(ErrorKind::InvalidData, kCantWriteFlash));
            }
            print("\r\tWrite error, retrying...\n");
        }
    }
    return {};
}

}  // namespace tarnvel
