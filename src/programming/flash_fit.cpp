#include "programming/flash_fit.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <string>
#include <vector>

#include "flash/nor_commands.hpp"

namespace tarnvel {
namespace {

using parallel_nor::kAmdCommandSet;
using parallel_nor::kBufferSize;
using parallel_nor::kSectorSize;
using serial_nor::kBlockErase3;
using serial_nor::kBlockErase4;
using serial_nor::kBlockSize;
using serial_nor::kPageProgram4;
using serial_nor::kPageSize;
using serial_nor::kRead4;

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

// The whole blocks of `block` bytes that `length` bytes from `base` touch.
struct Span {
    std::uint64_t begin;
    std::uint64_t end;
};
Span blocks_touched(std::uint64_t base, std::uint64_t length, std::uint64_t block) {
    return {base / block * block, (base + length + block - 1) / block * block};
}

// Every sector map must let the board's block erase erase 64 KiB wherever the update erases:
// the erase types it works as must work in every region there.
Status check_sector_maps(const FlashGeometry& geometry, std::uint8_t erase_opcode,
                         std::uint8_t erase_type_bits, Span span) {
    for (std::size_t m = 0; m < geometry.sector_maps.size(); ++m) {
        std::uint64_t region_start = 0;
        for (const SectorMapRegion& region : geometry.sector_maps[m]) {
            const std::uint64_t region_end = region_start + region.size;
            if (region_start < span.end && span.begin < region_end &&
                (region.erase_types & erase_type_bits) == 0) {
                return std::unexpected(refusal(
                    geometry, fmt::format("the flash's sector map {} has sectors at 0x{:x} that "
                                          "its block erase 0x{:02X} does not erase {} at a time",
                                          m + 1, std::max(region_start, span.begin), erase_opcode,
                                          size_text(kBlockSize))));
            }
            region_start = region_end;
        }
        if (region_start < span.end) {
            return std::unexpected(refusal(
                geometry, fmt::format("the flash's sector map {} ends at 0x{:x}, before the "
                                      "blocks the update erases do",
                                      m + 1, region_start)));
        }
    }
    return {};
}

// The block erase the board sends (0xD8, or 0xDC with 4-byte addresses) must be one erase type
// of the part, of 64 KiB, wherever the update erases.
Status check_block_erase(const FlashGeometry& geometry, const BoardInfo& info, Span span) {
    const std::uint8_t opcode = info.four_byte_address ? kBlockErase4 : kBlockErase3;
    std::vector<std::uint32_t> sizes;
    std::uint8_t type_bits = 0;
    for (const SerialEraseType& erase : geometry.erase_types) {
        const bool sent = info.four_byte_address ? erase.opcode_4byte == kBlockErase4
                                                 : erase.opcode == kBlockErase3;
        if (!sent) continue;
        if (std::ranges::find(sizes, erase.size) == sizes.end()) sizes.push_back(erase.size);
        if (erase.number >= 1 && erase.number <= 4) {
            type_bits = static_cast<std::uint8_t>(type_bits | 1u << (erase.number - 1));
        }
    }
    if (sizes.empty()) {
        return std::unexpected(refusal(
            geometry,
            fmt::format("the flash has no block erase 0x{:02X}, which the update uses", opcode)));
    }
    if (sizes.size() > 1) {
        std::ranges::sort(sizes);
        std::vector<std::string> texts;
        for (std::uint32_t size : sizes) texts.push_back(size_text(size));
        return std::unexpected(refusal(
            geometry, fmt::format("the flash lists its block erase 0x{:02X} as erasing {}: what "
                                  "it erases depends on how the part is configured",
                                  opcode, fmt::join(texts, " and "))));
    }
    if (sizes.front() != kBlockSize) {
        return std::unexpected(refusal(
            geometry,
            fmt::format("the flash's block erase 0x{:02X} erases {}, not the {} blocks the update "
                        "writes",
                        opcode, size_text(sizes.front()), size_text(kBlockSize))));
    }
    return check_sector_maps(geometry, opcode, type_bits, span);
}

Status check_serial(const FlashGeometry& geometry, const BoardInfo& info, std::uint64_t length,
                    FlashUse use) {
    if (!info.four_byte_address && geometry.address_bytes == AddressBytes::FourOnly) {
        return std::unexpected(refusal(
            geometry, "the flash takes 4-byte addresses only, and this board sends 3-byte ones"));
    }
    if (info.four_byte_address) {
        std::vector<std::string> missing;
        if (!geometry.read_4byte) missing.push_back(fmt::format("0x{:02X}", kRead4));
        if (use == FlashUse::Write) {
            if (!geometry.program_4byte) missing.push_back(fmt::format("0x{:02X}", kPageProgram4));
            const bool erase4 = std::ranges::any_of(
                geometry.erase_types, [](const auto& e) { return e.opcode_4byte == kBlockErase4; });
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

    if (auto erase = check_block_erase(geometry, info,
                                       blocks_touched(info.base_address, length, kBlockSize));
        !erase) {
        return erase;
    }
    if (geometry.page_size != 0 && geometry.page_size < kPageSize) {
        return std::unexpected(refusal(
            geometry, fmt::format("the flash programs pages of {}, not the {} the update sends "
                                  "at once",
                                  size_text(geometry.page_size), size_text(kPageSize))));
    }
    return {};
}

// Every erase region that the sectors to be erased touch must erase 128 KiB at a time.
Status check_regions(const FlashGeometry& geometry, const std::vector<EraseRegion>& regions,
                     Span span) {
    std::uint64_t region_start = 0;
    for (const EraseRegion& region : regions) {
        const std::uint64_t region_end =
            region_start + std::uint64_t{region.block_size} * region.block_count;
        if (region_start < span.end && span.begin < region_end &&
            region.block_size != kSectorSize) {
            return std::unexpected(refusal(
                geometry,
                fmt::format("the flash erases blocks of {} at 0x{:x}{}, not the {} sectors the "
                            "update writes",
                            size_text(region.block_size), std::max(region_start, span.begin),
                            geometry.regions_may_be_reversed
                                ? " (if its boot sectors are where its query does not say)"
                                : "",
                            size_text(kSectorSize))));
        }
        region_start = region_end;
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
    if (geometry.write_buffer < kBufferSize) {
        return std::unexpected(refusal(
            geometry, fmt::format("the flash's write buffer holds {}, not the {} the update "
                                  "programs at once",
                                  size_text(geometry.write_buffer), size_text(kBufferSize))));
    }
    const Span span = blocks_touched(info.base_address, length, kSectorSize);
    if (auto as_listed = check_regions(geometry, geometry.erase_regions, span); !as_listed) {
        return as_listed;
    }
    if (!geometry.regions_may_be_reversed) return {};
    std::vector<EraseRegion> reversed(geometry.erase_regions.rbegin(),
                                      geometry.erase_regions.rend());
    return check_regions(geometry, reversed, span);
}

}  // namespace

Status check_flash_fits(const FlashGeometry& geometry, BoardKind kind, std::uint64_t length,
                        FlashUse use) {
    const BoardInfo& info = board_info(kind);
    if (geometry.type != info.flash || info.flash == FlashType::None) {
        return std::unexpected(Error::message(
            ErrorKind::Unsupported, "the board's flash answered as another type of flash"));
    }
    // A part too small for the bytes is too small whatever else it lacks. The board's addresses
    // may reach less than the part holds (3-byte addresses reach 16 MiB, the parallel bus
    // 32 MiB); check_image_fits refuses what lies beyond that.
    const std::uint64_t end = std::uint64_t{info.base_address} + length;
    if (end > geometry.size) {
        return std::unexpected(Error::message(
            ErrorKind::FileTooLarge,
            fmt::format("{} bytes from 0x{:x} reach past the end of the {} flash ({})", length,
                        info.base_address, size_text(geometry.size), source_note(geometry))));
    }
    return info.flash == FlashType::Spi ? check_serial(geometry, info, length, use)
                                        : check_parallel(geometry, info, length, use);
}

}  // namespace tarnvel
