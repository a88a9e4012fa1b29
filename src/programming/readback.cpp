#include "programming/readback.hpp"

#include <algorithm>
#include <cerrno>

#include "base/internal_fault.hpp"
#include "firmware/image_fit.hpp"
#include "flash/word_mirror.hpp"

namespace tarnvel {
namespace {

// Reads the image region block by block and hands each block, in image byte order, to
// `take(pass, bytes)`, stopping at its first error. `length` has been checked against the
// kind's window.
template <class Take>
Status read_blocks(BoardDevice& board, std::uint32_t length, ProgrammingObserver& observer,
                   Take take) {
    if (!board.flash) internal_fault("reading a board that has no flash driver");
    FlashDevice& flash = *board.flash;
    const BoardInfo& info = board_info(board.kind);
    const bool mirrored_words = info.flash == FlashType::Bpi;
    const std::uint32_t block_size = flash.erase_size();
    if (block_size == 0) internal_fault("flash reports an erase block of 0 bytes");
    const std::uint32_t block_count = (length - 1) / block_size + 1;

    std::vector<std::uint8_t> image_order;
    for (std::uint32_t i = 0; i < block_count; ++i) {
        BlockPass pass{.block = i,
                       .block_count = block_count,
                       .offset = i * block_size,
                       .length = std::min(block_size, length - i * block_size),
                       .image_length = length};
        observer.pass_started(pass);
        // The parallel flash is read in whole words: an odd length reads the last word whole.
        const std::uint32_t read_length =
            mirrored_words ? pass.length + pass.length % 2 : pass.length;
        auto bytes = [&] {
            const PagesReported pages(flash, observer, pass, BlockStep::Read);
            return flash.read(info.base_address + pass.offset, read_length);
        }();
        if (!bytes) return std::unexpected(std::move(bytes.error()));
        if (bytes->size() != read_length) internal_fault("flash read returned a short block");
        std::span<const std::uint8_t> block = *bytes;
        if (mirrored_words) {
            mirror_words(block, image_order);
            block = image_order;
        }
        if (auto taken = take(pass, block.first(pass.length)); !taken) return taken;
    }
    return {};
}

}  // namespace

Status read_firmware_region(BoardDevice& board, std::uint32_t length, ProgrammingObserver& observer,
                            const RegionSink& sink) {
    if (length == 0 || length > firmware_window(board.kind)) {
        return std::unexpected(Error::os(EINVAL));
    }
    return read_blocks(
        board, length, observer,
        [&](const BlockPass&, std::span<const std::uint8_t> bytes) { return sink(bytes); });
}

Result<ImageComparison> compare_firmware(BoardDevice& board, std::span<const std::uint8_t> image,
                                         ProgrammingObserver& observer) {
    if (auto fits = check_image_fits(board.kind, image.size()); !fits) {
        return std::unexpected(std::move(fits.error()));
    }
    ImageComparison comparison;
    auto read =
        read_blocks(board, static_cast<std::uint32_t>(image.size()), observer,
                    [&](const BlockPass& pass, std::span<const std::uint8_t> bytes) {
                        comparison.block_count = pass.block_count;
                        const auto expected = image.subspan(pass.offset, pass.length);
                        const auto [held, wanted] = std::ranges::mismatch(bytes, expected);
                        if (held == bytes.end()) return Status();
                        ++comparison.differing_blocks;
                        if (!comparison.first_difference) {
                            comparison.first_difference =
                                pass.offset + static_cast<std::uint32_t>(held - bytes.begin());
                        }
                        return Status();
                    });
    if (!read) return std::unexpected(std::move(read.error()));
    return comparison;
}

}  // namespace tarnvel
