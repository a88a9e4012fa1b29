#include "expected_traffic.hpp"

#include <algorithm>

namespace tarnvel::bench {
namespace {

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) {
    return (a + b - 1) / b;
}

// One SPI frame of `bits` bits on the controller's engine.
std::uint64_t spi_frame(ControllerClass controller, std::uint64_t bits, const BusyPolls& polls) {
    switch (controller) {
        case ControllerClass::Qx410:
            // Open write, one write and its polls per 16-bit (or last 8-bit) step, close write.
            return 1 + ceil_div(bits, 16) * (1 + polls.shift_reads) + 1;
        case ControllerClass::Qx610:
            // One control write, then a data write and read per 32 bits; no clearing write.
            return 1 + 2 * ceil_div(bits, 32);
        case ControllerClass::Qx480:
        case ControllerClass::Qx630:
        case ControllerClass::Qx1800: {
            // Per 256-bit chunk a control write and a data write and read per 32 bits; the
            // control cleared after the frame, and before it too except on the QX630.
            std::uint64_t accesses = controller == ControllerClass::Qx630 ? 1 : 2;
            for (std::uint64_t first = 0; first < bits; first += 256) {
                accesses += 1 + 2 * ceil_div(std::min<std::uint64_t>(256, bits - first), 32);
            }
            return accesses;
        }
        case ControllerClass::Qx400:
        case ControllerClass::None: break;
    }
    return 0;
}

struct SpiCosts {
    ControllerClass controller;
    std::uint64_t header_bytes;  // opcode and address: 4, or 5 with 4-byte addresses
    const BusyPolls& polls;

    std::uint64_t frame(std::uint64_t bits) const { return spi_frame(controller, bits, polls); }
    // Write Enable or Write Disable: 8 bits.
    std::uint64_t write_latch() const { return frame(8); }
    // Read Status Register, 16 bits, once per busy answer and once more for the ready one.
    std::uint64_t wait_ready(std::uint32_t busy) const { return (busy + 1) * frame(16); }

    std::uint64_t erase_block() const {
        return write_latch() + frame(header_bytes * 8) + wait_ready(polls.spi_erase) +
               write_latch();
    }
    std::uint64_t program_page(std::uint64_t bytes) const {
        return write_latch() + frame((header_bytes + bytes) * 8) + wait_ready(polls.spi_program) +
               write_latch();
    }
    // 256 bytes per Read Data frame.
    std::uint64_t read(std::uint64_t bytes) const {
        std::uint64_t accesses = 0;
        for (std::uint64_t done = 0; done < bytes; done += 256) {
            accesses += frame((header_bytes + std::min<std::uint64_t>(256, bytes - done)) * 8);
        }
        return accesses;
    }
    std::uint64_t write(std::uint64_t bytes) const {
        std::uint64_t accesses = 0;
        for (std::uint64_t done = 0; done < bytes; done += 256) {
            accesses += program_page(std::min<std::uint64_t>(256, bytes - done));
        }
        return accesses;
    }
};

// Parallel flash: a bus cycle (command register, data register) is two writes; a release is
// one command write; a busy look is one command read.
struct BpiCosts {
    const BusyPolls& polls;

    static constexpr std::uint64_t kCycle = 2;
    static constexpr std::uint64_t kRelease = 1;
    // Reset to read mode: six cycles and a clearing command write.
    static constexpr std::uint64_t kReset = 6 * kCycle + 1;

    // Unlock, unlock, erase setup, unlock, unlock, sector erase; busy looks; release.
    std::uint64_t erase_sector() const { return 6 * kCycle + (polls.bpi_erase + 1) + kRelease; }
    // Unlock, unlock, write to buffer, word count; a sequential command write and one data
    // write per word; program buffer to flash; busy looks; release.
    std::uint64_t program_buffer(std::uint64_t bytes) const {
        return 4 * kCycle + 1 + bytes / 2 + kCycle + (polls.bpi_program + 1) + kRelease;
    }
    std::uint64_t write(std::uint64_t bytes) const {
        std::uint64_t accesses = 0;
        for (std::uint64_t done = 0; done < bytes; done += 512) {
            accesses += program_buffer(std::min<std::uint64_t>(512, bytes - done));
        }
        return accesses;
    }
    // 128 words per sequential read: one command write, one data read per word.
    static std::uint64_t read(std::uint64_t bytes) {
        std::uint64_t accesses = 0;
        for (std::uint64_t done = 0; done < bytes; done += 256) {
            accesses += 1 + std::min<std::uint64_t>(256, bytes - done) / 2;
        }
        return accesses;
    }
};

}  // namespace

std::uint64_t expected_update_accesses(BoardKind kind, std::uint64_t image_bytes,
                                       const BusyPolls& polls) {
    const BoardInfo& info = board_info(kind);
    std::uint64_t accesses = 0;
    if (info.flash == FlashType::Spi) {
        const SpiCosts spi{info.controller, info.four_byte_address ? 5u : 4u, polls};
        constexpr std::uint64_t kBlock = 0x10000;
        for (std::uint64_t offset = 0; offset < image_bytes; offset += kBlock) {
            const std::uint64_t length = std::min(kBlock, image_bytes - offset);
            // A whole block is erased also under a short last block.
            accesses += spi.erase_block() + spi.write(length) + spi.read(length);
        }
    } else if (info.flash == FlashType::Bpi) {
        const BpiCosts bpi{polls};
        constexpr std::uint64_t kBlock = 0x20000;
        accesses += BpiCosts::kReset;
        for (std::uint64_t offset = 0; offset < image_bytes; offset += kBlock) {
            const std::uint64_t length = std::min(kBlock, image_bytes - offset);
            accesses += bpi.erase_sector() + bpi.write(length) + BpiCosts::read(length);
        }
    }
    return accesses;
}

std::uint64_t expected_read_accesses(BoardKind kind, std::uint64_t bytes) {
    const BoardInfo& info = board_info(kind);
    const BusyPolls polls{};
    if (info.flash == FlashType::Spi) {
        return SpiCosts{info.controller, info.four_byte_address ? 5u : 4u, polls}.read(bytes);
    }
    if (info.flash == FlashType::Bpi) return BpiCosts::read(bytes);
    return 0;
}

}  // namespace tarnvel::bench
