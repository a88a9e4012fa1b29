#include "controller/spi_engines.hpp"

#include <algorithm>
#include <optional>

#include "controller/register_access.hpp"
#include "flash/wait.hpp"

namespace tarnvel {
namespace {

std::uint32_t byte_at(std::span<const std::uint8_t> bytes, std::size_t index) {
    return index < bytes.size() ? bytes[index] : 0U;
}

// Four frame bytes from `offset` on, the first in the top byte; bytes past tx's end are 0.
std::uint32_t load_word(std::span<const std::uint8_t> tx, std::size_t offset) {
    return byte_at(tx, offset) << 24 | byte_at(tx, offset + 1) << 16 |
           byte_at(tx, offset + 2) << 8 | byte_at(tx, offset + 3);
}

// The reverse of load_word; bytes that would land past rx's end are dropped.
void store_word(std::span<std::uint8_t> rx, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4 && offset + i < rx.size(); ++i) {
        rx[offset + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
}

// Shifts `bit_count` frame bits starting at byte `offset`, 32 per data write and read. The
// engine returns the bits of a partial last word right-aligned; they are moved to the top so
// that they land at their frame positions.
Status exchange_words(int fd, std::uint32_t data, std::span<const std::uint8_t> tx,
                      std::span<std::uint8_t> rx, std::size_t offset, std::uint32_t bit_count) {
    for (std::uint32_t done = 0; done < bit_count; done += 32, offset += 4) {
        if (auto written = write_register(fd, data, load_word(tx, offset)); !written) {
            return written;
        }
        auto value = read_register(fd, data);
        if (!value) return std::unexpected(value.error());
        const std::uint32_t remaining = bit_count - done;
        store_word(rx, offset, remaining < 32 ? *value << (32 - remaining) : *value);
    }
    return {};
}

}  // namespace

Status chunked_transfer(int fd, const ChunkedEngine& engine, std::uint8_t chip_select,
                        std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx,
                        std::uint32_t bit_count) {
    if (bit_count == 0) return {};
    if (engine.clear_before) {
        if (auto cleared = write_register(fd, engine.control, 0); !cleared) return cleared;
    }
    for (std::uint64_t first = 0; first < bit_count; first += kChunkBits) {
        const auto bits =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkBits, bit_count - first));
        // Chip select in bits 24-31; the chunk's bit count twice, in bits 12-23 and 0-11.
        const std::uint32_t control = std::uint32_t{chip_select} << 24 | bits << 12 | bits;
        if (auto started = write_register(fd, engine.control, control); !started) return started;
        if (auto moved = exchange_words(fd, engine.data, tx, rx, first / 8, bits); !moved) {
            return moved;
        }
    }
    return write_register(fd, engine.control, 0);
}

Status long_frame_transfer(int fd, const LongFrameEngine& engine, std::uint8_t chip_select,
                           std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx,
                           std::uint32_t bit_count) {
    constexpr std::uint32_t kFrameStart = 0xB000;
    for (std::uint64_t first = 0; first < bit_count; first += kLongFrameBits) {
        const auto bits =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(kLongFrameBits, bit_count - first));
        // Chip select 0-7 in bits 16-18, the frame's bit count in the low bits.
        const std::uint32_t control = kFrameStart | (chip_select & 7U) << 16 | bits;
        if (auto started = write_register(fd, engine.control, control); !started) return started;
        if (auto moved = exchange_words(fd, engine.data, tx, rx, first / 8, bits); !moved) {
            return moved;
        }
    }
    return {};
}

Status polled_shift_transfer(int fd, std::uint32_t reg, std::span<const std::uint8_t> tx,
                             std::span<std::uint8_t> rx, std::uint32_t bit_count) {
    constexpr std::uint32_t kOpen = 0x01000000;       // written first; carried through every step
    constexpr std::uint32_t kSixteenBits = 1U << 25;  // the step shifts 16 bits, not 8
    constexpr std::uint32_t kStart = 1U << 26;        // written: start the step; read: busy
    // The status bits the next command carries over: all high bits but start.
    constexpr std::uint32_t kCarried = 0xFBFF0000;
    // The engine finishes a step in microseconds; polling sooner gains nothing.
    constexpr auto kStepPollInterval = std::chrono::microseconds(1);

    if (bit_count == 0) return {};
    if (auto selected = write_register(fd, reg, kOpen); !selected) return selected;
    std::uint32_t status = kOpen;
    for (std::uint64_t first = 0; first < bit_count; first += 16) {
        const std::size_t j = first / 8;
        const bool sixteen = bit_count - first > 8;
        // An 8-bit step sends its byte in bits 8-15 and receives into bits 0-7.
        std::uint32_t out = byte_at(tx, j) << 8;
        if (sixteen) {
            out |= byte_at(tx, j + 1);
            status |= kSixteenBits;
        } else {
            status &= ~kSixteenBits;
        }
        if (auto started = write_register(fd, reg, (status & kCarried) | out | kStart); !started) {
            return started;
        }
        // Started at the first busy answer: the step is nearly always seen done at the first
        // poll, and a clock reading per step would lengthen every step of the transfer.
        std::optional<TimeLimit> limit;
        for (;;) {
            wait_for(kStepPollInterval);
            auto read = read_register(fd, reg);
            if (!read) return std::unexpected(read.error());
            status = *read;
            if ((status & kStart) == 0) break;
            if (!limit) {
                limit.emplace(kPolledShiftStepLimit);
            } else if (limit->exceeded()) {
                return std::unexpected(flash_write_timeout());
            }
        }
        if (sixteen) {
            if (j < rx.size()) rx[j] = static_cast<std::uint8_t>(status >> 8);
            if (j + 1 < rx.size()) rx[j + 1] = static_cast<std::uint8_t>(status);
        } else if (j < rx.size()) {
            rx[j] = static_cast<std::uint8_t>(status);
        }
    }
    return write_register(fd, reg, 0);
}

}  // namespace tarnvel
