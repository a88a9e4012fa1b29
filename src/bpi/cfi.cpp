#include "bpi/cfi.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "flash/nor_commands.hpp"

namespace tarnvel {
namespace {

// Word addresses of the query's fields.
constexpr std::uint32_t kQry = 0x10;           // "Q", "R", "Y"
constexpr std::uint32_t kCommandSet = 0x13;    // primary command set, low byte first
constexpr std::uint32_t kPrimaryTable = 0x15;  // its table's word address, low byte first
constexpr std::uint32_t kDeviceSize = 0x27;    // 2^n bytes
constexpr std::uint32_t kWriteBuffer = 0x2A;   // 2^n bytes, low byte first; 0: none
constexpr std::uint32_t kRegionCount = 0x2C;   // erase block regions
constexpr std::uint32_t kFirstRegion = 0x2D;   // four words per region
constexpr std::uint32_t kRegionWords = 4;
constexpr std::uint32_t kMaxRegions = (kCfiWords + kCfiFirstWord - kFirstRegion) / kRegionWords;

// A region's block size is given in units of 256 bytes; 0 stands for 128 bytes.
constexpr std::uint32_t kRegionSizeUnit = 256;
constexpr std::uint32_t kSmallestBlock = 128;

// The AMD primary vendor table: "PRI", its version in ASCII digits, and from version 1.1 on
// the top/bottom boot flag at offset 0xF.
constexpr std::uint32_t kPrimaryMajor = 3;
constexpr std::uint32_t kPrimaryMinor = 4;
constexpr std::uint32_t kBootFlag = 0xF;
constexpr std::uint32_t kPrimaryTableWords = kBootFlag + 1;
enum BootFlag : std::uint8_t {
    kUniform = 0x00,   // no boot sectors
    kDualBoot = 0x01,  // boot sectors at the top and the bottom
    kBottomBoot = 0x02,
    kTopBoot = 0x03,
    kUniformLowWp = 0x04,  // uniform, the lowest sector write-protectable
    kUniformHighWp = 0x05,
};

Error bad_cfi(std::string_view what) {
    return Error::message(ErrorKind::InvalidData, fmt::format("the flash's CFI query {}", what));
}

// Only bits 0-7 of each answer carry the query; what was not read counts as 0.
std::uint32_t byte_at(std::span<const std::uint16_t> words, std::uint32_t first,
                      std::uint32_t address) {
    const std::uint32_t i = address - first;
    return address >= first && i < words.size() ? words[i] & 0xFF : 0;
}

std::uint32_t region_count(std::span<const std::uint16_t> words) {
    return byte_at(words, kCfiFirstWord, kRegionCount);
}

std::uint32_t region_units(std::span<const std::uint16_t> words, std::uint32_t region) {
    const std::uint32_t at = kFirstRegion + region * kRegionWords + 2;
    return byte_at(words, kCfiFirstWord, at) | byte_at(words, kCfiFirstWord, at + 1) << 8;
}

// Whether the regions lie as listed (false) or the other way round (true), from the boot flag
// of the primary vendor table; none when the table does not say.
std::optional<bool> regions_reversed(std::span<const std::uint16_t> table) {
    auto byte = [&](std::uint32_t offset) { return byte_at(table, 0, offset); };
    if (byte(0) != 'P' || byte(1) != 'R' || byte(2) != 'I') return std::nullopt;
    // Version 1.0 has no boot flag.
    if (byte(kPrimaryMajor) != '1' || byte(kPrimaryMinor) < '1' || byte(kPrimaryMinor) > '9') {
        return std::nullopt;
    }
    switch (byte(kBootFlag)) {
        case kUniform:
        case kDualBoot:
        case kBottomBoot:
        case kUniformLowWp:
        case kUniformHighWp: return false;
        case kTopBoot: return true;
        default: return std::nullopt;
    }
}

// Whether the query lists regions of different block sizes, whose order then matters.
bool regions_differ(std::span<const std::uint16_t> words) {
    const std::uint32_t regions = std::min(region_count(words), kMaxRegions);
    for (std::uint32_t r = 1; r < regions; ++r) {
        if (region_units(words, r) != region_units(words, 0)) return true;
    }
    return false;
}

}  // namespace

std::optional<CfiTableSpan> cfi_primary_table(std::span<const std::uint16_t> words) {
    auto byte = [&](std::uint32_t address) { return byte_at(words, kCfiFirstWord, address); };
    if ((byte(kCommandSet) | byte(kCommandSet + 1) << 8) != parallel_nor::kAmdCommandSet) {
        return std::nullopt;
    }
    // The order matters only where the regions differ.
    const std::uint32_t address = byte(kPrimaryTable) | byte(kPrimaryTable + 1) << 8;
    if (!regions_differ(words) || address < kCfiFirstWord ||
        address + kPrimaryTableWords > kCfiSpaceWords) {
        return std::nullopt;
    }
    return CfiTableSpan{.address = address, .words = kPrimaryTableWords};
}

Result<FlashGeometry> parse_cfi_query(std::span<const std::uint16_t> words,
                                      std::span<const std::uint16_t> primary_table) {
    auto byte = [&](std::uint32_t address) { return byte_at(words, kCfiFirstWord, address); };
    auto half = [&](std::uint32_t address) { return byte(address) | byte(address + 1) << 8; };

    if (byte(kQry) != 'Q' || byte(kQry + 1) != 'R' || byte(kQry + 2) != 'Y') {
        const std::uint32_t at = kQry - kCfiFirstWord;
        return std::unexpected(Error::message(
            ErrorKind::InvalidData,
            fmt::format("the parallel flash does not answer the CFI query (read {:04x} {:04x} "
                        "{:04x} where \"QRY\" belongs)",
                        at < words.size() ? words[at] : 0,
                        at + 1 < words.size() ? words[at + 1] : 0,
                        at + 2 < words.size() ? words[at + 2] : 0)));
    }

    FlashGeometry geometry{.type = FlashType::Bpi, .source = GeometrySource::Cfi};
    geometry.command_set = static_cast<std::uint16_t>(half(kCommandSet));
    const std::uint32_t size_exponent = byte(kDeviceSize);
    // From 64 KiB to 4 GiB: anything else is not a NOR part's answer.
    if (size_exponent < 16 || size_exponent > 32) {
        return std::unexpected(bad_cfi(fmt::format("gives a size of 2^{} bytes", size_exponent)));
    }
    geometry.size = std::uint64_t{1} << size_exponent;
    const std::uint32_t buffer_exponent = half(kWriteBuffer);
    if (buffer_exponent > 16) {
        return std::unexpected(
            bad_cfi(fmt::format("gives a write buffer of 2^{} bytes", buffer_exponent)));
    }
    geometry.write_buffer = buffer_exponent == 0 ? 0 : 1u << buffer_exponent;

    const std::uint32_t regions = byte(kRegionCount);
    const std::size_t answered = kCfiFirstWord + words.size();
    const std::size_t readable =
        answered > kFirstRegion ? (answered - kFirstRegion) / kRegionWords : 0;
    if (regions == 0 || regions > readable) {
        return std::unexpected(bad_cfi(fmt::format("lists {} erase block regions", regions)));
    }
    std::uint64_t covered = 0;
    for (std::uint32_t r = 0; r < regions; ++r) {
        const std::uint32_t units = region_units(words, r);
        const EraseRegion region{
            .block_size = units == 0 ? kSmallestBlock : units * kRegionSizeUnit,
            .block_count = half(kFirstRegion + r * kRegionWords) + 1};
        covered += std::uint64_t{region.block_size} * region.block_count;
        geometry.erase_regions.push_back(region);
    }
    if (covered != geometry.size) {
        return std::unexpected(bad_cfi(fmt::format("lists erase blocks over {} of a {} part",
                                                   size_text(covered), size_text(geometry.size))));
    }
    // Regions of different sizes lie as the boot flag says; where no primary table says it
    // (none, or one out of the query's space, or one without the flag), either way round.
    if (regions_differ(words)) {
        const std::optional<bool> reversed =
            cfi_primary_table(words) ? regions_reversed(primary_table) : std::nullopt;
        if (reversed.value_or(false)) std::ranges::reverse(geometry.erase_regions);
        geometry.regions_may_be_reversed = !reversed.has_value();
    }
    return geometry;
}

}  // namespace tarnvel
