#include "programming/flash_fit.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tarnvel {
namespace {

// What the serial driver sends.
constexpr std::uint32_t kSerialBlock = 0x10000;
constexpr std::uint32_t kSerialPage = 0x100;
constexpr std::uint8_t kBlockErase3 = 0xD8;
constexpr std::uint8_t kBlockErase4 = 0xDC;
constexpr std::uint8_t kRead4 = 0x13;
constexpr std::uint8_t kProgram4 = 0x12;
// What the parallel driver sends.
constexpr std::uint16_t kAmdCommandSet = 0x0002;
constexpr std::uint32_t kParallelSector = 0x20000;
constexpr std::uint32_t kParallelBuffer = 0x200;

// Where the part's answer came from, for the end of a refusal.
std::string source_note(const FlashGeometry& geometry) {
    switch (geometry.source) {
        case GeometrySource::Sfdp: return "from its SFDP tables";
        case GeometrySource::JedecIdTable:
            return fmt::format("as the known part of JEDEC ID {:02x}",
                               fmt::join(geometry.jedec_id, " "));
        case GeometrySource::Cfi: return "from its CFI query";
    }
    return "";
}

Error refusal(const FlashGeometry& geometry, std::string what) {
    return Error::message(ErrorKind::Unsupported,
                          fmt::format("{} ({})", what, source_note(geometry)));
}

Status check_serial(const FlashGeometry& geometry, const BoardInfo& info, FlashUse use) {
    if (!info.four_byte_address && geometry.address_bytes == AddressBytes::FourOnly) {
        return std::unexpected(refusal(
            geometry, "the flash takes 4-byte addresses only, and this board sends 3-byte ones"));
    }
    if (info.four_byte_address) {
        std::vector<std::string> missing;
        if (!geometry.read_4byte) missing.push_back(fmt::format("0x{:02X}", kRead4));
        if (use == FlashUse::Write) {
            if (!geometry.program_4byte) missing.push_back(fmt::format("0x{:02X}", kProgram4));
            const bool erase4 = std::ranges::any_of(geometry.erase_types, [](const auto& e) {
                return e.opcode == kBlockErase3 && e.opcode_4byte == kBlockErase4;
            });
            if (!erase4) missing.push_back(fmt::format("0x{:02X}", kBlockErase4));
        }
        if (!missing.empty()) {
            return std::unexpected(refusal(
                geometry, fmt::format("the flash lacks the 4-byte-address command{} {}, which "
                                      "this board sends",
                                      missing.size() > 1 ? "s" : "", fmt::join(missing, ", "))));
        }
    }
    if (use == FlashUse::Read) return {};

    const auto block =
        std::ranges::find(geometry.erase_types, kBlockErase3, &SerialEraseType::opcode);
    if (block == geometry.erase_types.end()) {
        return std::unexpected(refusal(
            geometry, fmt::format("the flash has no block erase 0x{:02X}, which the update uses",
                                  kBlockErase3)));
    }
    if (block->size != kSerialBlock) {
        return std::unexpected(refusal(
            geometry,
            fmt::format("the flash's block erase 0x{:02X} erases {}, not the {} blocks the update "
                        "writes",
                        kBlockErase3, size_text(block->size), size_text(kSerialBlock))));
    }
    if (geometry.page_size != 0 && geometry.page_size < kSerialPage) {
        return std::unexpected(refusal(
            geometry, fmt::format("the flash programs pages of {}, not the {} the update sends "
                                  "at once",
                                  size_text(geometry.page_size), size_text(kSerialPage))));
    }
    return {};
}

Status check_parallel(const FlashGeometry& geometry, const BoardInfo& info, std::uint64_t length,
                      FlashUse use) {
    if (use == FlashUse::Read) return {};
    if (geometry.command_set != kAmdCommandSet) {
        return std::unexpected(refusal(
            geometry, fmt::format("the flash uses command set 0x{:04X}, not the AMD command set "
                                  "(0x{:04X}) the update speaks",
                                  geometry.command_set, kAmdCommandSet)));
    }
    if (geometry.write_buffer < kParallelBuffer) {
        return std::unexpected(refusal(
            geometry, fmt::format("the flash's write buffer holds {}, not the {} the update "
                                  "programs at once",
                                  size_text(geometry.write_buffer), size_text(kParallelBuffer))));
    }
    // Every erase region that the sectors to be erased touch must erase 128 KiB at a time.
    const std::uint64_t begin = info.base_address;
    const std::uint64_t end =
        begin + (length + kParallelSector - 1) / kParallelSector * kParallelSector;
    std::uint64_t region_start = 0;
    for (const EraseRegion& region : geometry.erase_regions) {
        const std::uint64_t region_end =
            region_start + std::uint64_t{region.block_size} * region.block_count;
        if (region_start < end && begin < region_end && region.block_size != kParallelSector) {
            return std::unexpected(refusal(
                geometry, fmt::format("the flash erases blocks of {} at 0x{:x}, not the {} "
                                      "sectors the update writes",
                                      size_text(region.block_size), std::max(region_start, begin),
                                      size_text(kParallelSector))));
        }
        region_start = region_end;
    }
    return {};
}

}  // namespace

Status check_flash_fits(const FlashGeometry& geometry, BoardKind kind, std::uint64_t length,
                        FlashUse use) {
    const BoardInfo& info = board_info(kind);
    if (geometry.type != info.flash || info.flash == FlashType::None) {
        return std::unexpected(Error::message(
            ErrorKind::Unsupported, "the board's flash answered as another type of flash"));
    }
    Status fits = info.flash == FlashType::Spi ? check_serial(geometry, info, use)
                                               : check_parallel(geometry, info, length, use);
    if (!fits) return fits;

    // The board's addresses may reach less than the part holds (3-byte addresses reach 16 MiB,
    // the parallel bus 32 MiB); check_image_fits refuses what lies beyond that.
    const std::uint64_t end = std::uint64_t{info.base_address} + length;
    if (end > geometry.size) {
        return std::unexpected(Error::message(
            ErrorKind::FileTooLarge,
            fmt::format("{} bytes from 0x{:x} reach past the end of the {} flash ({})", length,
                        info.base_address, size_text(geometry.size), source_note(geometry))));
    }
    return {};
}

}  // namespace tarnvel
