#include "bpi/cfi.hpp"

#include <fmt/format.h>

namespace tarnvel {
namespace {

// Word addresses of the query's fields.
constexpr std::uint32_t kQry = 0x10;          // "Q", "R", "Y"
constexpr std::uint32_t kCommandSet = 0x13;   // primary command set, low byte first
constexpr std::uint32_t kDeviceSize = 0x27;   // 2^n bytes
constexpr std::uint32_t kWriteBuffer = 0x2A;  // 2^n bytes, low byte first; 0: none
constexpr std::uint32_t kRegionCount = 0x2C;  // erase block regions
constexpr std::uint32_t kFirstRegion = 0x2D;  // four words per region
constexpr std::uint32_t kRegionWords = 4;

// A region's block size is given in units of 256 bytes; 0 stands for 128 bytes.
constexpr std::uint32_t kRegionSizeUnit = 256;
constexpr std::uint32_t kSmallestBlock = 128;

Error bad_cfi(std::string_view what) {
    return Error::message(ErrorKind::InvalidData, fmt::format("the flash's CFI query {}", what));
}

}  // namespace

Result<FlashGeometry> parse_cfi_query(std::span<const std::uint16_t> words) {
    // Only bits 0-7 of each answer carry the query.
    auto byte = [&](std::uint32_t address) -> std::uint32_t {
        const std::uint32_t i = address - kCfiFirstWord;
        return i < words.size() ? words[i] & 0xFF : 0;
    };
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
    const std::uint32_t readable =
        (kCfiFirstWord + static_cast<std::uint32_t>(words.size()) - kFirstRegion) / kRegionWords;
    if (regions == 0 || regions > readable) {
        return std::unexpected(bad_cfi(fmt::format("lists {} erase block regions", regions)));
    }
    std::uint64_t covered = 0;
    for (std::uint32_t r = 0; r < regions; ++r) {
        const std::uint32_t at = kFirstRegion + r * kRegionWords;
        const std::uint32_t units = half(at + 2);
        const EraseRegion region{
            .block_size = units == 0 ? kSmallestBlock : units * kRegionSizeUnit,
            .block_count = half(at) + 1};
        covered += std::uint64_t{region.block_size} * region.block_count;
        geometry.erase_regions.push_back(region);
    }
    if (covered != geometry.size) {
        return std::unexpected(bad_cfi(fmt::format("lists erase blocks over {} of a {} part",
                                                   size_text(covered), size_text(geometry.size))));
    }
    return geometry;
}

}  // namespace tarnvel
