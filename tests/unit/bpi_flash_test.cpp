// The parallel NOR driver's command sequences, read back from the register traffic of a
// QX400 bus (CMD 0x87, DATA 0x88).

#include "bpi/bpi_flash.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "bpi_bus_events.hpp"
#include "controller/controllers.hpp"
#include "flash/wait.hpp"
#include "scripted_registers.hpp"

namespace tarnvel {
namespace {

using namespace std::chrono_literals;
using testing::burst_read;
using testing::burst_write;
using testing::BusEvent;
using testing::busy_poll;
using testing::cycle;
using testing::release;

constexpr std::uint32_t kCmd = 0x87;
constexpr std::uint32_t kData = 0x88;
constexpr std::uint32_t kBusy = 1U << 27;

struct BpiBoard {
    testing::ScriptedBoard board;
    BpiFlash flash;
    explicit BpiBoard(BpiTimeLimits limits = kBpiTimeLimits)
        : flash(make_rc<Qx400Controller>(board.fd()), limits) {}
    testing::ScriptedRegisters& regs() { return board.regs; }
    std::vector<BusEvent> events() const { return testing::bus_events(board.regs.log(), kCmd, kData); }
};

Status status_of(const Result<std::vector<std::uint8_t>>& result) {
    if (!result) return std::unexpected(result.error());
    return {};
}

std::vector<BusEvent> sector_erase(std::uint32_t sector_word, std::size_t polls = 1) {
    std::vector<BusEvent> events{cycle(0x555, 0xAA), cycle(0x2AA, 0x55), cycle(0x555, 0x80),
                                 cycle(0x555, 0xAA), cycle(0x2AA, 0x55), cycle(sector_word, 0x30)};
    events.insert(events.end(), polls, busy_poll());
    events.push_back(release());
    return events;
}

std::vector<BusEvent> buffer_program(std::uint32_t word_address, std::uint32_t sector,
                                     std::vector<std::uint16_t> words) {
    const auto count = static_cast<std::uint32_t>(words.size() - 1);
    return {cycle(0x555, 0xAA),
            cycle(0x2AA, 0x55),
            cycle(sector, 0x25),
            cycle(sector, count),
            burst_write(word_address, std::move(words)),
            cycle(sector, 0x29),
            busy_poll(),
            release()};
}

TEST(BpiFlashErase, OneSectorPerBlockTouched) {
    struct Case {
        std::uint32_t address;
        std::uint32_t length;
        std::vector<std::uint32_t> sectors;
    };
    const Case cases[] = {{0x1020000, 0x20000, {0x810000}},
                          {0x1030000, 0x20000, {0x810000, 0x820000}},
                          {0x103FFFE, 2, {0x810000}},
                          {0x1020000, 0, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.address << " " << c.length);
        BpiBoard bpi;
        ASSERT_TRUE(bpi.flash.erase(c.address, c.length));
        std::vector<BusEvent> expected;
        for (std::uint32_t sector : c.sectors) {
            auto events = sector_erase(sector);
            expected.insert(expected.end(), events.begin(), events.end());
        }
        EXPECT_EQ(bpi.events(), expected);
    }
}

TEST(BpiFlashErase, PollsEvery100MsUntilReady) {
    BpiBoard bpi;
    bpi.regs().queue_reads(kCmd, {kBusy, kBusy, 0});
    const auto start = monotonic_now();
    ASSERT_TRUE(bpi.flash.erase(0x1020000, 0x20000));
    EXPECT_GE(monotonic_now() - start, 300ms);
    EXPECT_EQ(bpi.events(), sector_erase(0x810000, 3));
}

TEST(BpiFlashWrite, FullSectorIs256BufferProgramsOf256Words) {
    BpiBoard bpi;
    std::vector<std::uint8_t> data(0x20000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 5 + 1);
    data[0] = 0x34;
    data[1] = 0x12;

    ASSERT_TRUE(bpi.flash.write(0x1020000, 0x20000, data));

    const auto events = bpi.events();
    ASSERT_EQ(events.size(), 256U * 8);
    for (std::uint32_t p = 0; p < 256; ++p) {
        std::vector<std::uint16_t> words(256);
        for (std::size_t k = 0; k < 256; ++k) {
            words[k] =
                static_cast<std::uint16_t>(data[p * 512 + 2 * k] | data[p * 512 + 2 * k + 1] << 8);
        }
        const auto expected = buffer_program(0x810000 + p * 0x100, 0x810000, words);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), events.begin() + p * 8))
            << "buffer " << p;
    }
    EXPECT_EQ(events[4].words.front(), 0x1234);  // low byte first
}

TEST(BpiFlashWrite, SixBytesAreOneBufferOfThreeWords) {
    BpiBoard bpi;
    const std::vector<std::uint8_t> data{0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A, 0xFF};
    ASSERT_TRUE(bpi.flash.write(0x1020400, 6, data));
    EXPECT_EQ(bpi.events(), buffer_program(0x810200, 0x810000, {0x1234, 0x5678, 0x9ABC}));
}

TEST(BpiFlashRead, ChunksOf128WordsLowByteFirst) {
    BpiBoard bpi;
    std::uint32_t next = 0;
    bpi.regs().reader = [&next](std::uint32_t reg) {
        return reg == kData ? 0xAB000000 | next++ : 0;
    };

    auto result = bpi.flash.read(0x1020000, 0x300);

    ASSERT_TRUE(result);
    EXPECT_EQ(bpi.events(), (std::vector{burst_read(0x810000, 128), burst_read(0x810080, 128),
                                         burst_read(0x810100, 128)}));
    ASSERT_EQ(result->size(), 0x300U);
    for (std::size_t k = 0; k < 0x180; ++k) {
        ASSERT_EQ((*result)[2 * k], k & 0xFF) << k;
        ASSERT_EQ((*result)[2 * k + 1], k >> 8) << k;
    }
}

TEST(BpiFlash, EmptyRequestsAndReadIdTouchNoRegister) {
    BpiBoard bpi;
    EXPECT_EQ(bpi.flash.read(0x1020000, 0), std::vector<std::uint8_t>{});
    EXPECT_TRUE(bpi.flash.write(0x1020000, 0, {}));
    EXPECT_TRUE(bpi.flash.erase(0, 0));
    EXPECT_EQ(bpi.flash.read_id(), std::vector<std::uint8_t>{});
    EXPECT_TRUE(bpi.regs().log().empty());
    EXPECT_EQ(bpi.flash.erase_size(), 0x20000U);
    EXPECT_EQ(bpi.flash.page_size(), 0x200U);
}

// The flash holds 16-bit words: an odd address or length cannot be served and is refused
// before any bus cycle; so is data shorter than the length to write.
TEST(BpiFlash, OddOrShortRequestsAreInvalidInput) {
    const std::vector<std::uint8_t> data(8);
    BpiBoard bpi;
    const Status refused[] = {
        status_of(bpi.flash.read(0x1020001, 2)), status_of(bpi.flash.read(0x1020000, 3)),
        bpi.flash.write(0x1020000, 7, data),     bpi.flash.write(0x1020001, 2, data),
        bpi.flash.write(0x1020000, 10, data),
    };
    for (const Status& status : refused) {
        ASSERT_FALSE(status);
        EXPECT_EQ(error_kind_text(status.error()), "invalid input parameter");
    }
    EXPECT_TRUE(bpi.regs().log().empty());
}

TEST(BpiFlash, FailedBusyReadEndsEraseWithoutRelease) {
    BpiBoard bpi;
    bpi.regs().fail_access(12, EIO);  // after the six command cycles
    auto result = bpi.flash.erase(0x1020000, 0x20000);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), Error::os(EIO));
    auto expected = sector_erase(0x810000, 0);
    expected.pop_back();
    EXPECT_EQ(bpi.events(), expected);
}

TEST(BpiFlash, FailedWordEndsWriteAtOnce) {
    BpiBoard bpi;
    bpi.regs().fail_access(10, ENODEV);  // the second data word of the buffer
    const std::vector<std::uint8_t> data(8, 0x11);
    auto result = bpi.flash.write(0x1020000, 8, data);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), Error::os(ENODEV));
    EXPECT_EQ(bpi.regs().log().size(), 10U);
}

// A flash that never leaves busy ends the operation with the flash write timeout once the
// time limit has passed, without releasing the bus.
TEST(BpiFlash, BusyPastTheLimitTimesOut) {
    BpiBoard bpi(BpiTimeLimits{.sector_erase = 0ns, .buffer_program = 5ms});
    bpi.regs().reader = [](std::uint32_t reg) { return reg == kCmd ? kBusy : 0; };
    const std::vector<std::uint8_t> data(2);

    auto erased = bpi.flash.erase(0x1020000, 0x20000);
    ASSERT_FALSE(erased);
    EXPECT_EQ(erased.error(), flash_write_timeout());
    EXPECT_EQ(bpi.events(), (std::vector{cycle(0x555, 0xAA), cycle(0x2AA, 0x55), cycle(0x555, 0x80),
                                         cycle(0x555, 0xAA), cycle(0x2AA, 0x55),
                                         cycle(0x810000, 0x30), busy_poll()}));

    const auto start = monotonic_now();
    auto written = bpi.flash.write(0x1020000, 2, data);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), flash_write_timeout());
    EXPECT_GE(monotonic_now() - start, 5ms);
    EXPECT_EQ(bpi.events().back(), busy_poll());
}

}  // namespace
}  // namespace tarnvel
