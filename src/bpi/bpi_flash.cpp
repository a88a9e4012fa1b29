#include "bpi/bpi_flash.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <initializer_list>

#include "base/error.hpp"
#include "base/internal_fault.hpp"
#include "flash/nor_commands.hpp"
#include "flash/wait.hpp"

namespace tarnvel {
namespace {

using namespace std::chrono_literals;

// A sector of 0x10000 words, a write buffer of 256.
constexpr std::uint32_t kSectorSize = parallel_nor::kSectorSize;
constexpr std::uint32_t kBufferBytes = parallel_nor::kBufferSize;
constexpr std::uint32_t kSectorShift = 17;      // byte address to sector number
constexpr std::uint32_t kSectorWordShift = 16;  // sector number to word address
constexpr std::uint32_t kSectorWordMask = 0x7FFF0000;
constexpr std::uint32_t kReadChunkBytes = 256;  // one read_words call: 128 words

// A sector erase takes hundreds of milliseconds: polled every 100 ms, the first look after
// 100 ms, each wait slept to its end (some 20 µs late is nothing against the erase). A buffer
// program takes hundreds of microseconds: polled every 100 µs, each wait spun to its time, as
// these set the pace of the write.
constexpr auto kErasePollInterval = 100ms;
constexpr auto kProgramPollInterval = 100us;

struct Cycle {
    std::uint32_t address;  // word address
    std::uint16_t value;
};

constexpr Cycle kUnlock1{0x555, 0xAA};
constexpr Cycle kUnlock2{0x2AA, 0x55};
constexpr Cycle kEraseSetup{0x555, 0x80};
constexpr std::uint16_t kSectorErase = 0x30;
constexpr std::uint16_t kWriteToBuffer = 0x25;
constexpr std::uint16_t kProgramBufferToFlash = 0x29;

Status run_cycles(BpiBus& bus, std::initializer_list<Cycle> cycles) {
    for (const Cycle& cycle : cycles) {
        if (auto written = bus.write_word(cycle.address, cycle.value); !written) return written;
    }
    return {};
}

// Waits, then asks whether the flash is still busy, until it is not. The deadline is looked
// at only after a busy answer, so a delay of the process never turns a finished operation
// into a timeout.
Status wait_while_busy(BpiBus& bus, std::chrono::nanoseconds interval, WaitEnd poll_wait,
                       std::chrono::nanoseconds limit) {
    const TimeLimit deadline(limit);
    for (;;) {
        wait_for(interval, poll_wait);
        auto busy = bus.is_busy();
        if (!busy) return std::unexpected(busy.error());
        if (!*busy) return {};
        if (deadline.exceeded()) return std::unexpected(flash_write_timeout());
    }
}

Status release(BpiBus& bus) {
    return bus.set_control(0, 0, 0);
}

Error odd_access(const char* operation, std::uint32_t address, std::uint32_t length) {
    return Error::message(
        ErrorKind::InvalidInput,
        fmt::format("parallel flash {} of {} bytes at 0x{:x}: the flash holds 16-bit words, so "
                    "address and length must be even",
                    operation, length, address));
}

}  // namespace

BpiFlash::BpiFlash(Rc<FlashController> controller, BpiTimeLimits limits)
    : controller_(std::move(controller)), limits_(limits) {}

std::uint32_t BpiFlash::erase_size() const {
    return kSectorSize;
}

std::uint32_t BpiFlash::page_size() const {
    return kBufferBytes;
}

BpiBus& BpiFlash::bus() const {
    BpiBus* bus = controller_->bpi_bus();
    if (bus == nullptr) internal_fault("parallel flash driver on a controller without a BPI bus");
    return *bus;
}

Result<std::vector<std::uint8_t>> BpiFlash::read_id() {
    return std::vector<std::uint8_t>{};
}

Result<std::vector<std::uint8_t>> BpiFlash::read(std::uint32_t address, std::uint32_t length) {
    if (address % 2 != 0 || length % 2 != 0) {
        return std::unexpected(odd_access("read", address, length));
    }
    BpiBus& bpi = bus();
    std::vector<std::uint8_t> result(length);
    std::array<std::uint16_t, kReadChunkBytes / 2> words;
    for (std::uint32_t offset = 0; offset < length; offset += kReadChunkBytes) {
        const std::span<std::uint16_t> chunk(words.data(),
                                             std::min(kReadChunkBytes, length - offset) / 2);
        // The bus is left with the access flags set; reads need no release.
        if (auto read = bpi.read_words((address + offset) >> 1, chunk); !read) {
            return std::unexpected(read.error());
        }
        for (std::size_t k = 0; k < chunk.size(); ++k) {
            result[offset + 2 * k] = static_cast<std::uint8_t>(chunk[k]);
            result[offset + 2 * k + 1] = static_cast<std::uint8_t>(chunk[k] >> 8);
        }
        note_progress(offset + 2 * static_cast<std::uint32_t>(chunk.size()));
    }
    return result;
}

Status BpiFlash::write(std::uint32_t address, std::uint32_t length,
                       std::span<const std::uint8_t> data) {
    if (length == 0) return {};
    if (address % 2 != 0 || length % 2 != 0) {
        return std::unexpected(odd_access("write", address, length));
    }
    if (data.size() < length) {
        return std::unexpected(
            Error::message(ErrorKind::InvalidInput,
                           fmt::format("flash write of {} bytes given only {} bytes of data",
                                       length, data.size())));
    }
    BpiBus& bpi = bus();
    std::array<std::uint16_t, kBufferBytes / 2> words;
    for (std::uint32_t offset = 0; offset < length; offset += kBufferBytes) {
        const std::span<std::uint16_t> buffer(words.data(),
                                              std::min(kBufferBytes, length - offset) / 2);
        for (std::size_t k = 0; k < buffer.size(); ++k) {
            buffer[k] =
                static_cast<std::uint16_t>(data[offset + 2 * k] | data[offset + 2 * k + 1] << 8);
        }
        const std::uint32_t word_address = (address + offset) >> 1;
        const std::uint32_t sector = word_address & kSectorWordMask;
        const auto word_count = static_cast<std::uint16_t>(buffer.size() - 1);

        // A failure ends the write where it is: no release, no reset of the flash.
        if (auto loaded = run_cycles(
                bpi, {kUnlock1, kUnlock2, {sector, kWriteToBuffer}, {sector, word_count}});
            !loaded) {
            return loaded;
        }
        if (auto written = bpi.write_words(word_address, buffer); !written) return written;
        // The buffer only reaches the array with the confirm cycle.
        note_change_command();
        if (auto started = bpi.write_word(sector, kProgramBufferToFlash); !started) return started;
        if (auto done =
                wait_while_busy(bpi, kProgramPollInterval, WaitEnd::Spun, limits_.buffer_program);
            !done) {
            return done;
        }
        if (auto released = release(bpi); !released) return released;
        note_progress(offset + 2 * static_cast<std::uint32_t>(buffer.size()));
    }
    return {};
}

Status BpiFlash::erase(std::uint32_t address, std::uint32_t length) {
    if (length == 0) return {};
    BpiBus& bpi = bus();
    // Every sector that holds a byte of [address, address + length).
    const std::uint64_t first = address >> kSectorShift;
    const std::uint64_t last = (std::uint64_t{address} + length - 1) >> kSectorShift;
    for (std::uint64_t sector = first; sector <= last; ++sector) {
        const auto sector_word = static_cast<std::uint32_t>(sector << kSectorWordShift);
        if (auto unlocked = run_cycles(bpi, {kUnlock1, kUnlock2, kEraseSetup, kUnlock1, kUnlock2});
            !unlocked) {
            return unlocked;
        }
        // The sector erase starts with its last cycle; the unlock cycles change nothing.
        note_change_command();
        if (auto started = bpi.write_word(sector_word, kSectorErase); !started) return started;
        if (auto done =
                wait_while_busy(bpi, kErasePollInterval, WaitEnd::Slept, limits_.sector_erase);
            !done) {
            return done;
        }
        if (auto released = release(bpi); !released) return released;
    }
    return {};
}

// A run killed during a sector erase, the longest operation this driver starts, leaves the
// flash busy for up to the erase's time limit; one killed during a buffer program for far
// less. Polled every millisecond, the first look at once, with slept waits: nothing is paced
// by this wait.
Status BpiFlash::wait_until_ready() {
    BpiBus& bpi = bus();
    const TimeLimit deadline(limits_.sector_erase);
    for (;;) {
        auto busy = bpi.is_busy();
        if (!busy) return std::unexpected(busy.error());
        if (!*busy) return {};
        if (deadline.exceeded()) return std::unexpected(flash_write_timeout());
        wait_for(1ms, WaitEnd::Slept);
    }
}

}  // namespace tarnvel
