#include "programming/programming.hpp"

#include <algorithm>
#include <span>
#include <vector>

#include "base/internal_fault.hpp"
#include "firmware/image_fit.hpp"
#include "flash/wait.hpp"
#include "flash/word_mirror.hpp"

namespace tarnvel {
namespace {

// A block is written at most six times: the first pass and five retries.
constexpr unsigned kMaxRetries = 5;

// One erase, write and read-back pass over a block. True when the flash now holds the block;
// a read-back of the wrong length counts as a mismatch, never as a partial success.
Result<bool> program_block(FlashDevice& flash, std::uint32_t address, std::uint32_t block_size,
                           std::span<const std::uint8_t> block, ProgrammingReport& report) {
    const auto length = static_cast<std::uint32_t>(block.size());
    // Always a whole block, also under a short last block: the flash erases no less.
    auto erased = flash.erase(address, block_size);
    // An erase that failed before its command went out left the flash as it was.
    report.flash_changed = report.flash_changed || erased || flash.change_command_sent();
    if (!erased) return std::unexpected(std::move(erased.error()));
    if (auto written = flash.write(address, length, block); !written) {
        return std::unexpected(std::move(written.error()));
    }
    auto read_back = flash.read(address, length);
    if (!read_back) return std::unexpected(std::move(read_back.error()));
    return std::ranges::equal(*read_back, block);
}

// Whether the flash already holds `block` at `address`, read one program page at a time (the
// same register traffic as one read of the whole block) so that the reading stops at the first
// page that differs: the rest of a block that is about to be erased is not worth its read. A
// page read back at the wrong length counts as differing.
Result<bool> holds_block(FlashDevice& flash, std::uint32_t address,
                         std::span<const std::uint8_t> block) {
    const std::uint32_t page = flash.page_size();
    if (page == 0) internal_fault("flash reports a program page of 0 bytes");
    const auto length = static_cast<std::uint32_t>(block.size());
    for (std::uint32_t offset = 0; offset < length; offset += page) {
        const std::uint32_t n = std::min(page, length - offset);
        auto held = flash.read(address + offset, n);
        if (!held) return std::unexpected(std::move(held.error()));
        if (!std::ranges::equal(*held, block.subspan(offset, n))) return false;
    }
    return true;
}

}  // namespace

Status program_firmware(BoardDevice& board, const FirmwareImage& image,
                        ProgrammingObserver& observer, ProgrammingReport* report,
                        ProgrammingMode mode, std::span<const std::uint8_t> held) {
    ProgrammingReport unused;
    ProgrammingReport& done = report != nullptr ? *report : unused;
    done = {};
    if (!board.flash) internal_fault("programming a board that has no flash driver");
    FlashDevice& flash = *board.flash;
    const BoardInfo& info = board_info(board.kind);
    if (auto fits = check_image_fits(board.kind, image.data.size()); !fits) return fits;
    if (!held.empty() && held.size() != image.data.size()) {
        internal_fault("the flash's span read before the write is not the image's length");
    }
    // A run that compares first polls the serial flash's long erases only near their end; a
    // full run keeps the register traffic of polling every erase from its start.
    flash.set_erase_polls_late(mode == ProgrammingMode::Differing);

    const std::uint32_t block_size = flash.erase_size();
    if (block_size == 0) internal_fault("flash reports an erase block of 0 bytes");
    // Fits in 32 bits: check_image_fits keeps the image inside the flash address range.
    const auto length = static_cast<std::uint32_t>(image.data.size());
    const std::uint32_t block_count = (length - 1) / block_size + 1;
    done.block_count = block_count;

    // The parallel flash is written from a bit-mirrored copy of each block, made block by
    // block so that the image is never held twice (blocks start at even offsets and the length
    // is even, so no word straddles two blocks); serial flash straight from the image.
    const bool mirrored_words = info.flash == FlashType::Bpi;
    std::vector<std::uint8_t> mirrored;

    // Programming is where the waits are: a status poll 100 µs after every page program and
    // every parallel-flash buffer, each sleeping until shortly before its end and spinning the
    // rest (at the default timer slack the sleep would often wake only after the end, up to
    // 50 µs late), and the slept polls of the erases, which then wake closer to their time.
    const FineTimerSlack prompt_wakeups;

    for (std::uint32_t i = 0; i < block_count; ++i) {
        const std::uint32_t offset = i * block_size;
        const std::uint32_t address = info.base_address + offset;
        BlockPass pass{.block = i,
                       .block_count = block_count,
                       .offset = offset,
                       .length = std::min(block_size, length - offset),
                       .image_length = length};
        std::span<const std::uint8_t> block = std::span(image.data).subspan(offset, pass.length);
        // Compared in image byte order: mirroring is the same on both sides.
        const bool held_already =
            !held.empty() && std::ranges::equal(block, held.subspan(offset, pass.length));
        if (mirrored_words) {
            mirror_words(block, mirrored);
            block = mirrored;
        }
        if (mode == ProgrammingMode::Differing) {
            observer.compare_started(pass);
            auto holds = held.empty() ? holds_block(flash, address, block) : held_already;
            if (!holds) return std::unexpected(std::move(holds.error()));
            if (*holds) {
                ++done.blocks_unchanged;
                observer.block_unchanged(pass);
                continue;
            }
        }
        for (;; ++pass.retry) {
            observer.pass_started(pass);
            auto verified = program_block(flash, address, block_size, block, done);
            if (!verified) return std::unexpected(std::move(verified.error()));
            if (*verified) break;
            if (pass.retry == kMaxRetries) {
                return std::unexpected(Error::message(ErrorKind::InvalidData, kCantWriteFlash));
            }
            ++done.retries;
            observer.retrying(pass);
        }
        ++done.blocks_written;
    }
    return {};
}

}  // namespace tarnvel
