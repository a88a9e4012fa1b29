#include "spi/spi_flash.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "base/internal_fault.hpp"
#include "flash/nor_commands.hpp"
#include "flash/wait.hpp"

namespace tarnvel {
namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kWriteEnable = 0x06;
constexpr std::uint8_t kWriteDisable = 0x04;
constexpr std::uint8_t kReadStatus = 0x05;
constexpr std::uint8_t kReadId = 0x9F;
using serial_nor::kBlockErase3;
using serial_nor::kBlockErase4;
using serial_nor::kBlockSize;
using serial_nor::kPageProgram3;
using serial_nor::kPageProgram4;
using serial_nor::kPageSize;
using serial_nor::kRead3;
using serial_nor::kRead4;
constexpr std::uint8_t kBusyBit = 0x01;  // status register bit 0: write in progress

constexpr std::uint32_t kBlockShift = 16;
// Opcode and four address bytes. In 3-byte mode one byte of a frame's vector is spare and 0:
// a read clocks it out during the first data byte; erase and program frames end before it.
constexpr std::size_t kCommandBytes = 5;

// Status polls every 100 µs: a page program typically ends within a few hundred µs, so this
// costs one or two polls per page and adds little to an erase. The waits before the polls of
// a page program are spun to their time (they set the pace of the write); those of a block
// erase, which lasts 150 ms and more, are slept: a poll some 20 µs late changes nothing there,
// and spinning the end of some 1,500 waits per block would burn CPU for nothing.
constexpr auto kStatusPollInterval = 100us;
// Page program (256 bytes): common SPI NOR parts specify a few tenths of a millisecond
// typically and 3-5 ms at most; 10 ms is twice the slowest.
constexpr auto kPageProgramLimit = 10ms;
// 64 KiB block erase: typically 0.15-0.5 s, at most 1-2 s on common parts.
constexpr auto kBlockEraseLimit = 2s;

}  // namespace

SpiFlash::SpiFlash(Rc<FlashController> controller, std::uint8_t chip_select, bool four_byte_address)
    : controller_(std::move(controller)),
      chip_select_(chip_select),
      four_byte_address_(four_byte_address) {}

std::uint32_t SpiFlash::erase_size() const {
    return kBlockSize;
}

std::uint32_t SpiFlash::page_size() const {
    return kPageSize;
}

SpiBus& SpiFlash::bus() const {
    SpiBus* bus = controller_->spi_bus();
    if (bus == nullptr) internal_fault("SPI flash driver on a controller without an SPI bus");
    return *bus;
}

// Writes the opcode and the address bytes, most significant first, at the start of `frame`
// and returns how many bytes that took: 5 in 4-byte mode, 4 otherwise (where bits 24-31 of
// the address are not sent).
std::size_t SpiFlash::put_command(std::span<std::uint8_t> frame, std::uint8_t opcode_3byte,
                                  std::uint8_t opcode_4byte, std::uint32_t address) const {
    std::size_t i = 0;
    frame[i++] = four_byte_address_ ? opcode_4byte : opcode_3byte;
    if (four_byte_address_) frame[i++] = static_cast<std::uint8_t>(address >> 24);
    frame[i++] = static_cast<std::uint8_t>(address >> 16);
    frame[i++] = static_cast<std::uint8_t>(address >> 8);
    frame[i++] = static_cast<std::uint8_t>(address);
    return i;
}

Status SpiFlash::send(SpiBus& bus, std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx,
                      std::size_t frame_bytes) const {
    return bus.transfer(chip_select_, tx, rx, static_cast<std::uint32_t>(frame_bytes * 8));
}

Status SpiFlash::set_write_enable(SpiBus& bus, bool enable) const {
    const std::array<std::uint8_t, 1> tx{enable ? kWriteEnable : kWriteDisable};
    return send(bus, tx, {}, tx.size());
}

// Polls the status register until the write-in-progress bit clears. The deadline is looked
// at only after a status read that found the flash busy, so a flash that is done is never
// reported as timed out because the process was held up between polls.
Result<unsigned> SpiFlash::wait_ready(SpiBus& bus, std::chrono::nanoseconds timeout,
                                      WaitEnd poll_wait) const {
    const TimeLimit limit(timeout);
    for (unsigned polls = 1;; ++polls) {
        wait_for(kStatusPollInterval, poll_wait);
        const std::array<std::uint8_t, 1> tx{kReadStatus};
        std::array<std::uint8_t, 2> rx{};
        if (auto sent = send(bus, tx, rx, rx.size()); !sent) return std::unexpected(sent.error());
        if ((rx[1] & kBusyBit) == 0) return polls;
        if (limit.exceeded()) return std::unexpected(flash_write_timeout());
    }
}

Result<std::vector<std::uint8_t>> SpiFlash::read_id() {
    SpiBus& spi = bus();
    const std::array<std::uint8_t, 1> tx{kReadId};
    std::vector<std::uint8_t> rx(4);
    if (auto sent = send(spi, tx, rx, rx.size()); !sent) return std::unexpected(sent.error());
    return rx;
}

Result<std::vector<std::uint8_t>> SpiFlash::read(std::uint32_t address, std::uint32_t length) {
    SpiBus& spi = bus();
    std::vector<std::uint8_t> result(length);
    std::array<std::uint8_t, kCommandBytes + kPageSize> rx;
    for (std::uint32_t offset = 0; offset < length;) {
        const std::uint32_t n = std::min(length - offset, kPageSize);
        // In 3-byte mode the fifth byte stays 0 and goes out during the first data byte.
        std::array<std::uint8_t, kCommandBytes> tx{};
        const std::size_t header = put_command(tx, kRead3, kRead4, address + offset);
        const std::span<std::uint8_t> frame_rx(rx.data(), header + n);
        std::ranges::fill(frame_rx, 0);
        if (auto sent = send(spi, tx, frame_rx, frame_rx.size()); !sent) {
            return std::unexpected(sent.error());
        }
        std::ranges::copy(frame_rx.subspan(header), result.begin() + offset);
        offset += n;
        note_progress(offset);
    }
    return result;
}

Status SpiFlash::write(std::uint32_t address, std::uint32_t length,
                       std::span<const std::uint8_t> data) {
    SpiBus& spi = bus();
    if (data.size() < length) {
        return std::unexpected(
            Error::message(ErrorKind::InvalidInput,
                           fmt::format("flash write of {} bytes given only {} bytes of data",
                                       length, data.size())));
    }
    std::array<std::uint8_t, kCommandBytes + kPageSize> frame;
    for (std::uint32_t offset = 0; offset < length;) {
        const std::uint32_t n = std::min(length - offset, kPageSize);
        const std::span<std::uint8_t> tx(frame.data(), kCommandBytes + n);
        std::ranges::fill(tx, 0);
        const std::size_t header = put_command(tx, kPageProgram3, kPageProgram4, address + offset);
        std::ranges::copy(data.subspan(offset, n), tx.begin() + header);

        // A failure ends the write where it is, without Write Disable: the programming
        // sequence decides whether to try the block again.
        if (auto enabled = set_write_enable(spi, true); !enabled) return enabled;
        // With write enable latched, the page program frame is what changes the chip.
        note_change_command();
        if (auto sent = send(spi, tx, {}, header + n); !sent) return sent;
        if (auto ready = wait_ready(spi, kPageProgramLimit, WaitEnd::Spun); !ready) {
            return std::unexpected(ready.error());
        }
        if (auto disabled = set_write_enable(spi, false); !disabled) return disabled;
        offset += n;
        note_progress(offset);
    }
    return {};
}

Status SpiFlash::erase(std::uint32_t address, std::uint32_t length) {
    SpiBus& spi = bus();
    if (length == 0) return {};
    // Every block that holds a byte of [address, address + length).
    const std::uint64_t first = address >> kBlockShift;
    const std::uint64_t last = (std::uint64_t{address} + length - 1) >> kBlockShift;
    for (std::uint64_t block = first; block <= last; ++block) {
        const auto block_address = static_cast<std::uint32_t>(block << kBlockShift);
        // The low address bytes of a block are 0; in 3-byte mode the frame's fifth byte is
        // not sent.
        std::array<std::uint8_t, kCommandBytes> tx{};
        const std::size_t header = put_command(tx, kBlockErase3, kBlockErase4, block_address);

        if (auto enabled = set_write_enable(spi, true); !enabled) return enabled;
        note_change_command();
        if (auto sent = send(spi, tx, {}, header); !sent) return sent;
        // Polled late, the erase is first slept through for seven eighths of the quickest one
        // so far: a chip's block erases take about the same time, and the rest of the polls
        // still see the end within an interval. The time limit counts from the polls.
        unsigned skipped = 0;
        if (poll_erases_late_) {
            skipped = fewest_erase_intervals_ / 8 * 7;
            wait_for(skipped * kStatusPollInterval, WaitEnd::Slept);
        }
        auto ready = wait_ready(spi, kBlockEraseLimit, WaitEnd::Slept);
        if (!ready) return std::unexpected(ready.error());
        const unsigned intervals = skipped + *ready;
        if (fewest_erase_intervals_ == 0 || intervals < fewest_erase_intervals_) {
            fewest_erase_intervals_ = intervals;
        }
        if (auto disabled = set_write_enable(spi, false); !disabled) return disabled;
    }
    return {};
}

// The longest operation this driver starts is a block erase: a run killed during one leaves
// the flash busy for up to its time limit. Polled as an erase is, with slept waits: nothing is
// paced by this wait.
Status SpiFlash::wait_until_ready() {
    if (auto ready = wait_ready(bus(), kBlockEraseLimit, WaitEnd::Slept); !ready) {
        return std::unexpected(ready.error());
    }
    return {};
}

}  // namespace tarnvel
