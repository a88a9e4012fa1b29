// How the serial flash describes itself: its JEDEC ID and its SFDP tables.

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <array>
#include <string>

#include "spi/sfdp.hpp"
#include "spi/spi_flash.hpp"

namespace tarnvel {
namespace {

// Read SFDP: the opcode, always a 3-byte address, and one dummy byte before the data.
constexpr std::uint8_t kReadSfdp = 0x5A;
constexpr std::size_t kSfdpHeaderBytes = 5;
constexpr std::uint32_t kSfdpPiece = 256;

}  // namespace

Result<std::vector<std::uint8_t>> SpiFlash::read_sfdp(SpiBus& bus, std::uint32_t address,
                                                      std::uint32_t length) const {
    std::vector<std::uint8_t> result(length);
    std::array<std::uint8_t, kSfdpHeaderBytes + kSfdpPiece> rx;
    for (std::uint32_t offset = 0; offset < length;) {
        const std::uint32_t n = std::min(length - offset, kSfdpPiece);
        const std::uint32_t a = address + offset;
        const std::array<std::uint8_t, kSfdpHeaderBytes> tx{
            kReadSfdp, static_cast<std::uint8_t>(a >> 16), static_cast<std::uint8_t>(a >> 8),
            static_cast<std::uint8_t>(a), 0x00};
        const std::span<std::uint8_t> frame_rx(rx.data(), kSfdpHeaderBytes + n);
        std::ranges::fill(frame_rx, 0);
        if (auto sent = send(bus, tx, frame_rx, frame_rx.size()); !sent) {
            return std::unexpected(sent.error());
        }
        std::ranges::copy(frame_rx.subspan(kSfdpHeaderBytes), result.begin() + offset);
        offset += n;
    }
    return result;
}

Result<FlashGeometry> SpiFlash::read_geometry() {
    auto id = read_id();
    if (!id) return std::unexpected(std::move(id.error()));
    // rx[0] came in while the opcode went out; the identification follows it.
    const std::span<const std::uint8_t> jedec_id = std::span(*id).subspan(1, 3);
    SpiBus& spi = bus();
    auto from_sfdp =
        read_sfdp_geometry([&](std::uint32_t address,
                               std::uint32_t length) { return read_sfdp(spi, address, length); },
                           jedec_id);
    if (!from_sfdp) return std::unexpected(std::move(from_sfdp.error()));
    if (from_sfdp->geometry) return std::move(*from_sfdp->geometry);
    if (auto known = known_serial_part(jedec_id)) return std::move(*known);

    // With no part answering, the data line stays where its pull-up or pull-down holds it.
    const bool silent = std::ranges::all_of(jedec_id, [](std::uint8_t b) { return b == 0xFF; }) ||
                        std::ranges::all_of(jedec_id, [](std::uint8_t b) { return b == 0x00; });
    if (silent) {
        return std::unexpected(Error::message(
            ErrorKind::Unsupported,
            fmt::format("no serial flash answers (JEDEC ID {:02x})", fmt::join(jedec_id, " "))));
    }
    const std::string sfdp =
        from_sfdp->unknown_major_revision
            ? fmt::format(
                  "the flash's SFDP is of major revision {}, which this program does not "
                  "read",
                  *from_sfdp->unknown_major_revision)
            : std::string("the flash has no SFDP tables");
    return std::unexpected(Error::message(
        ErrorKind::Unsupported,
        fmt::format("{}, and its JEDEC ID {:02x} is not a known part: its size and erase blocks "
                    "are unknown",
                    sfdp, fmt::join(jedec_id, " "))));
}

}  // namespace tarnvel
