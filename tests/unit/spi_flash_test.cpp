// The SPI NOR driver's frames, read back from the register traffic of a QX610 long-frame
// engine (control 0x85, data 0x86), with a small scripted chip answering the data reads.

#include "spi/spi_flash.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "controller/controllers.hpp"
#include "flash/wait.hpp"
#include "scripted_registers.hpp"
#include "sim/in_process.hpp"

namespace tarnvel {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kControl = 0x85;
constexpr std::uint32_t kData = 0x86;

// What the flash holds at a byte address, as the scripted chip answers it.
std::uint8_t content(std::uint32_t address) {
    return static_cast<std::uint8_t>(address * 7 + (address >> 8) * 3 + (address >> 24));
}

struct Frame {
    std::uint32_t chip_select;
    std::uint32_t bits;
    Bytes tx;  // the frame's bytes as they went out
    friend bool operator==(const Frame&, const Frame&) = default;
};

std::ostream& operator<<(std::ostream& out, const Frame& f) {
    out << "cs " << f.chip_select << ", " << f.bits << " bits:" << std::hex;
    for (std::size_t i = 0; i < f.tx.size() && i < 8; ++i) out << " " << int{f.tx[i]};
    return out << (f.tx.size() > 8 ? " ..." : "") << std::dec;
}

std::vector<Frame> frames_of(const std::vector<testing::Access>& log) {
    std::vector<Frame> frames;
    for (const testing::Access& a : log) {
        if (a.op != testing::Op::Write) continue;
        if (a.reg == kControl) {
            frames.push_back({(a.value >> 16) & 7, a.value & 0xFFF, {}});
        } else if (a.reg == kData && !frames.empty()) {
            for (int shift = 24; shift >= 0; shift -= 8) {
                frames.back().tx.push_back(static_cast<std::uint8_t>(a.value >> shift));
            }
        }
    }
    for (Frame& f : frames) f.tx.resize(f.bits / 8);
    return frames;
}

Frame frame(std::uint32_t chip_select, Bytes tx) {
    const auto bits = static_cast<std::uint32_t>(tx.size() * 8);
    return {chip_select, bits, std::move(tx)};
}

// A chip behind the engine answering Read Status and Read Data (either address width). The
// header positions of a Read Data frame answer 0xEE, which must never reach a result.
class ScriptedChip {
  public:
    int busy_status_reads = 0;  // status reads still to answer busy
    bool always_busy = false;
    // When not 0, how long each block erase keeps the chip busy on the monotonic clock.
    std::chrono::nanoseconds erase_time{};

    explicit ScriptedChip(testing::ScriptedRegisters& regs) : regs_(regs) {
        regs.reader = [this](std::uint32_t reg) { return reg == kData ? next_word() : 0U; };
    }

  private:
    // What the engine shifts in while the data word just written goes out; the bits of a
    // partial last word come right-aligned.
    std::uint32_t next_word() {
        std::uint32_t word = 0;  // index of that data word in its frame
        for (auto it = regs_.log().rbegin(); it->reg != kControl; ++it) {
            if (it->op == testing::Op::Write) ++word;
        }
        --word;
        const Frame current = frames_of(regs_.log()).back();
        std::uint32_t value = 0;
        for (std::size_t p = 4 * word; p < 4 * word + 4; ++p) {
            value = value << 8 | chip_byte(current.tx, p);
        }
        const std::uint32_t remaining = current.bits - 32 * word;
        return remaining < 32 ? value >> (32 - remaining) : value;
    }

    std::uint8_t chip_byte(const Bytes& tx, std::size_t p) {
        auto address = [&tx](std::size_t bytes) {
            std::uint32_t a = 0;
            for (std::size_t i = 1; i <= bytes; ++i) a = a << 8 | tx[i];
            return a;
        };
        switch (tx[0]) {
            case 0x05:
                if (p != 1) return 0;
                if (erase_time.count() > 0) return monotonic_now() < erased_at_ + erase_time ? 3 : 2;
                return always_busy || busy_status_reads-- > 0 ? 0x03 : 0x02;
            case 0xD8:
            case 0xDC:
                if (p == 0) erased_at_ = monotonic_now();
                return 0xEE;
            case 0x03:
                return p < 4 ? 0xEE : content(address(3) + static_cast<std::uint32_t>(p - 4));
            case 0x13:
                return p < 5 ? 0xEE : content(address(4) + static_cast<std::uint32_t>(p - 5));
            default: return 0xEE;
        }
    }

    testing::ScriptedRegisters& regs_;
    std::chrono::nanoseconds erased_at_{};
};

struct SpiBoard {
    testing::ScriptedBoard board;
    ScriptedChip chip{board.regs};
    SpiFlash flash;
    SpiBoard(std::uint8_t chip_select, bool four_byte)
        : flash(make_rc<Qx610Controller>(board.fd()), chip_select, four_byte) {}
    std::vector<Frame> frames() const { return frames_of(board.regs.log()); }
};

Bytes expected_content(std::uint32_t address, std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = content(address + static_cast<std::uint32_t>(i));
    return bytes;
}

const Frame kWriteEnable = frame(5, {0x06});
const Frame kWriteDisable = frame(5, {0x04});
const Frame kReadStatus = frame(5, {0x05, 0x00});

TEST(SpiFlashRead, ThreeByteModeCutsPiecesOf256ByCount) {
    SpiBoard spi(5, false);
    auto result = spi.flash.read(0x400000, 300);
    ASSERT_TRUE(result);
    const auto frames = spi.frames();
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0].bits, 2080U);
    EXPECT_EQ(Bytes(frames[0].tx.begin(), frames[0].tx.begin() + 5),
              (Bytes{0x03, 0x40, 0x00, 0x00, 0x00}));
    EXPECT_EQ(frames[1].bits, 384U);
    EXPECT_EQ(Bytes(frames[1].tx.begin(), frames[1].tx.begin() + 5),
              (Bytes{0x03, 0x40, 0x01, 0x00, 0x00}));
    EXPECT_EQ(*result, expected_content(0x400000, 300));
}

TEST(SpiFlashRead, FourByteModeSendsFullAddress) {
    SpiBoard spi(5, true);
    auto result = spi.flash.read(0x1000000, 256);
    ASSERT_TRUE(result);
    const auto frames = spi.frames();
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0].bits, 2088U);
    EXPECT_EQ(Bytes(frames[0].tx.begin(), frames[0].tx.begin() + 5),
              (Bytes{0x13, 0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(*result, expected_content(0x1000000, 256));
}

TEST(SpiFlashRead, ThreeByteModeDropsTheTopAddressByte) {
    SpiBoard spi(5, false);
    auto result = spi.flash.read(0x12345678, 4);
    ASSERT_TRUE(result);
    EXPECT_EQ(spi.frames(), (std::vector{frame(5, {0x03, 0x34, 0x56, 0x78, 0, 0, 0, 0})}));
    EXPECT_EQ(*result, expected_content(0x345678, 4));
}

TEST(SpiFlash, EmptyRequestsSendNothing) {
    SpiBoard spi(5, true);
    EXPECT_EQ(spi.flash.read(0x1000000, 0), Bytes{});
    EXPECT_TRUE(spi.flash.write(0x1000000, 0, {}));
    EXPECT_TRUE(spi.flash.erase(0x1000000, 0));
    EXPECT_TRUE(spi.board.regs.log().empty());
    EXPECT_EQ(spi.flash.erase_size(), 0x10000U);
    EXPECT_EQ(spi.flash.page_size(), 0x100U);
}

TEST(SpiFlash, ReadIdReturnsTheFourBytesClockedIn) {
    SpiBoard spi(5, true);
    spi.board.regs.queue_reads(kData, {0xEEC22019});
    EXPECT_EQ(spi.flash.read_id(), (Bytes{0xEE, 0xC2, 0x20, 0x19}));
    EXPECT_EQ(spi.frames(), (std::vector{frame(5, {0x9F, 0, 0, 0})}));
}

TEST(SpiFlashErase, FourByteBlockIsEnableEraseStatusPollsDisable) {
    SpiBoard spi(5, true);
    spi.chip.busy_status_reads = 2;
    ASSERT_TRUE(spi.flash.erase(0x1000000, 0x10000));
    EXPECT_EQ(spi.frames(), (std::vector{kWriteEnable, frame(5, {0xDC, 0x01, 0x00, 0x00, 0x00}),
                                         kReadStatus, kReadStatus, kReadStatus, kWriteDisable}));
}

// Polled late, an erase is slept through for 7/8 of the quickest erase so far before its polls
// start, and its end is still seen within a poll interval; otherwise every erase is polled
// from its start, every 100 µs.
TEST(SpiFlashErase, PolledLateAnEraseIsPolledOnlyNearItsEnd) {
    for (const bool late : {false, true}) {
        SCOPED_TRACE(late ? "polled late" : "polled from the start");
        const sim::SimulatedClock clock;
        SpiBoard spi(5, true);
        spi.chip.erase_time = 1ms;  // ready at the 10th poll
        spi.flash.set_erase_polls_late(late);
        const auto start = monotonic_now();
        ASSERT_TRUE(spi.flash.erase(0x1000000, 3 * 0x10000));
        EXPECT_EQ(std::ranges::count(spi.frames(), kReadStatus), late ? 10 + 3 + 3 : 3 * 10);
        EXPECT_EQ(monotonic_now() - start, 3 * 1ms);
    }
}

// Every 64 KiB block that holds a byte of the range is erased, from the block boundary.
TEST(SpiFlashErase, ErasesEachBlockTheRangeTouches) {
    struct Case {
        bool four_byte;
        std::uint32_t address;
        std::uint32_t length;
        std::vector<Frame> erase_frames;
    };
    const Case cases[] = {
        {false, 0x408000, 1, {frame(5, {0xD8, 0x40, 0x00, 0x00})}},
        {true,
         0x1000000,
         0x10001,
         {frame(5, {0xDC, 0x01, 0x00, 0x00, 0x00}), frame(5, {0xDC, 0x01, 0x01, 0x00, 0x00})}},
        {false,
         0x8000,
         0x10000,
         {frame(5, {0xD8, 0x00, 0x00, 0x00}), frame(5, {0xD8, 0x01, 0x00, 0x00})}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.address << " " << c.length);
        SpiBoard spi(5, c.four_byte);
        ASSERT_TRUE(spi.flash.erase(c.address, c.length));
        std::vector<Frame> erase_frames;
        for (const Frame& f : spi.frames()) {
            if (f.tx[0] == 0xD8 || f.tx[0] == 0xDC) erase_frames.push_back(f);
        }
        EXPECT_EQ(erase_frames, c.erase_frames);
    }
}

TEST(SpiFlashWrite, PagesOf256WithEnableWaitDisable) {
    SpiBoard spi(5, false);
    Bytes data(257);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    ASSERT_TRUE(spi.flash.write(0x400000, 257, data));

    Bytes first{0x02, 0x40, 0x00, 0x00};
    first.insert(first.end(), data.begin(), data.begin() + 256);
    EXPECT_EQ(
        spi.frames(),
        (std::vector{kWriteEnable, frame(5, first), kReadStatus, kWriteDisable, kWriteEnable,
                     frame(5, {0x02, 0x40, 0x01, 0x00, data[256]}), kReadStatus, kWriteDisable}));
    EXPECT_EQ(spi.frames()[1].bits, 2080U);
}

TEST(SpiFlashWrite, ShortDataIsInvalidInputAndSendsNothing) {
    SpiBoard spi(5, false);
    const Bytes data(10);
    auto result = spi.flash.write(0x400000, 11, data);
    ASSERT_FALSE(result);
    EXPECT_EQ(error_kind_text(result.error()), "invalid input parameter");
    EXPECT_TRUE(spi.board.regs.log().empty());
}

// A flash that stays busy fails the page with the flash write timeout after about 10 ms
// and is left write-enabled: the last frame is a status read.
TEST(SpiFlashWrite, BusyPastTenMillisecondsTimesOutWithoutWriteDisable) {
    SpiBoard spi(5, false);
    spi.chip.always_busy = true;
    const Bytes data(1);
    const auto start = monotonic_now();
    auto result = spi.flash.write(0x400000, 1, data);
    const auto elapsed = monotonic_now() - start;
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), flash_write_timeout());
    EXPECT_GE(elapsed, 10ms);
    EXPECT_LT(elapsed, 1s);
    EXPECT_EQ(spi.frames().back(), kReadStatus);
}

TEST(SpiFlashErase, BusyPastTwoSecondsTimesOutWithoutWriteDisable) {
    SpiBoard spi(5, true);
    spi.chip.always_busy = true;
    const auto start = monotonic_now();
    auto result = spi.flash.erase(0x1000000, 0x10000);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), flash_write_timeout());
    EXPECT_GE(monotonic_now() - start, 2s);
    EXPECT_EQ(spi.frames().back(), kReadStatus);
}

TEST(SpiFlashWrite, RegisterFailureIsReturnedAtOnce) {
    SpiBoard spi(5, false);
    spi.board.regs.fail_access(3, EIO);  // the Page Program frame's control write
    const Bytes data(4);
    auto result = spi.flash.write(0x400000, 4, data);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), Error::os(EIO));
    EXPECT_EQ(spi.board.regs.log().size(), 3U);
}

}  // namespace
}  // namespace tarnvel
