// Register traffic of the SPI engines, through the real register channel.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <numeric>
#include <vector>

#include "controller/controllers.hpp"
#include "flash/wait.hpp"
#include "scripted_registers.hpp"

namespace tarnvel {
namespace {

using testing::Access;
using testing::Op;
using testing::rd;
using testing::ScriptedBoard;
using testing::ScriptedRegisters;
using testing::wr;

std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return bytes;
}

// Answers data reads like an engine whose input is wired to its output: the bits just sent
// come back, those of a partial last word right-aligned. `frame_bits` gives the bits of the
// chunk or frame that a control value starts.
void loop_back(ScriptedRegisters& regs, std::uint32_t control, std::uint32_t data,
               std::uint32_t (*frame_bits)(std::uint32_t)) {
    regs.reader = [&regs, control, data, frame_bits](std::uint32_t reg) -> std::uint32_t {
        if (reg != data) return 0;
        std::uint32_t words = 0;
        std::uint32_t sent = 0;
        for (auto it = regs.log().rbegin(); it != regs.log().rend(); ++it) {
            if (it->op != Op::Write) continue;
            if (it->reg == data && words++ == 0) sent = it->value;
            if (it->reg == control && it->value != 0) {
                const std::uint32_t remaining = frame_bits(it->value) - 32 * (words - 1);
                return remaining < 32 ? sent >> (32 - remaining) : sent;
            }
        }
        return 0;
    };
}

std::uint32_t chunk_bits(std::uint32_t control) {
    return control & 0xFFF;
}
std::uint32_t long_frame_bits(std::uint32_t control) {
    return (control & 0xFFF) != 0 ? control & 0xFFF : 4096;
}

struct ChunkedCase {
    ControllerClass controller;
    std::uint32_t control;
    std::uint32_t data;
    bool clear_before;
};

class ChunkedEngine2088Bits : public ::testing::TestWithParam<ChunkedCase> {};

// A 256-byte read in 4-byte mode: nine chunks (eight of 256 bits, one of 40) and 66 data
// word pairs, with the class's clearing writes around them.
TEST_P(ChunkedEngine2088Bits, CutsNineChunksAndLoopsBackEveryBit) {
    const ChunkedCase& c = GetParam();
    ScriptedBoard board;
    loop_back(board.regs, c.control, c.data, chunk_bits);
    auto controller = make_controller(c.controller, board.fd());
    const auto tx = pattern(261);
    std::vector<std::uint8_t> rx(261, 0xCC);

    ASSERT_TRUE(controller->spi_bus()->transfer(3, tx, rx, 2088));

    std::vector<std::uint32_t> controls;
    if (c.clear_before) controls.push_back(0);
    for (int k = 0; k < 8; ++k) controls.push_back(3U << 24 | 256U << 12 | 256U);
    controls.push_back(3U << 24 | 40U << 12 | 40U);
    controls.push_back(0);
    EXPECT_EQ(board.regs.writes_to(c.control), controls);
    EXPECT_EQ(board.regs.count(Op::Write, c.data), 66U);
    EXPECT_EQ(board.regs.count(Op::Read, c.data), 66U);
    EXPECT_EQ(board.regs.log().size(), controls.size() + 132);
    EXPECT_EQ(board.regs.writes_to(c.data).front(), 0x030A1118U);  // tx[0..3], first on top
    EXPECT_EQ(rx, tx);
}

INSTANTIATE_TEST_SUITE_P(Classes, ChunkedEngine2088Bits,
                         ::testing::Values(ChunkedCase{ControllerClass::Qx480, 0xD2, 0xD3, true},
                                           ChunkedCase{ControllerClass::Qx630, 0x85, 0x86, false},
                                           ChunkedCase{ControllerClass::Qx1800, 0x85, 0x86, true}));

TEST(ChunkedEngine, EightBitFrameSendsTopByteAndShiftsReplyUp) {
    ScriptedBoard board;
    board.regs.queue_reads(0x86, {0xAB});
    Qx630Controller controller(board.fd());
    const std::vector<std::uint8_t> tx{0x06};
    std::vector<std::uint8_t> rx(1);

    ASSERT_TRUE(controller.transfer(1, tx, rx, 8));

    const std::vector<Access> expected{wr(0x85, 1U << 24 | 8U << 12 | 8U), wr(0x86, 0x06000000),
                                       rd(0x86, 0xAB), wr(0x85, 0)};
    EXPECT_EQ(board.regs.log(), expected);
    EXPECT_EQ(rx[0], 0xAB);
}

// A partial word lands at the frame's first bytes; rx bytes past the frame inside that word
// get 0, and an empty rx takes nothing but costs the same traffic.
TEST(ChunkedEngine, SixteenBitPartialWordFillsOnlyWhatRxHolds) {
    const std::vector<std::uint8_t> tx{0x05};
    for (std::size_t rx_size : {0, 2, 3}) {
        SCOPED_TRACE(rx_size);
        ScriptedBoard board;
        board.regs.queue_reads(0xD3, {0xBEEF});
        Qx480Controller controller(board.fd());
        std::vector<std::uint8_t> rx(rx_size, 0xCC);

        ASSERT_TRUE(controller.transfer(1, tx, rx, 16));

        const std::vector<Access> expected{wr(0xD2, 0), wr(0xD2, 1U << 24 | 16U << 12 | 16U),
                                           wr(0xD3, 0x05000000), rd(0xD3, 0xBEEF), wr(0xD2, 0)};
        EXPECT_EQ(board.regs.log(), expected);
        const std::vector<std::uint8_t> stored{0xBE, 0xEF, 0x00};
        EXPECT_EQ(rx, std::vector<std::uint8_t>(stored.begin(), stored.begin() + rx_size));
    }
}

TEST(LongFrameEngine, OneControlWriteWithChipSelectAndNoClearing) {
    ScriptedBoard board;
    loop_back(board.regs, 0x85, 0x86, long_frame_bits);
    Qx610Controller controller(board.fd());
    const auto tx = pattern(261);
    std::vector<std::uint8_t> rx(261);

    ASSERT_TRUE(controller.transfer(5, tx, rx, 2088));

    EXPECT_EQ(board.regs.writes_to(0x85), std::vector<std::uint32_t>{0xB000U | 5U << 16 | 2088U});
    EXPECT_EQ(board.regs.log().front(), wr(0x85, 0xB000U | 5U << 16 | 2088U));
    EXPECT_EQ(board.regs.count(Op::Write, 0x86), 66U);
    EXPECT_EQ(board.regs.count(Op::Read, 0x86), 66U);
    EXPECT_EQ(rx, tx);
}

TEST(LongFrameEngine, ChipSelectKeepsThreeBits) {
    ScriptedBoard board;
    Qx610Controller controller(board.fd());
    const std::vector<std::uint8_t> tx{0x06};
    ASSERT_TRUE(controller.transfer(13, tx, {}, 8));
    EXPECT_EQ(board.regs.writes_to(0x85), std::vector<std::uint32_t>{0xB000U | 5U << 16 | 8U});
}

TEST(LongFrameEngine, TransferOver4096BitsGoesOutAsSeveralFrames) {
    ScriptedBoard board;
    loop_back(board.regs, 0x85, 0x86, long_frame_bits);
    Qx610Controller controller(board.fd());
    const auto tx = pattern(625);
    std::vector<std::uint8_t> rx(625);

    ASSERT_TRUE(controller.transfer(1, tx, rx, 5000));

    EXPECT_EQ(board.regs.writes_to(0x85),
              (std::vector<std::uint32_t>{0xB000U | 1U << 16 | 4096U, 0xB000U | 1U << 16 | 904U}));
    EXPECT_EQ(board.regs.count(Op::Write, 0x86), 128U + 29U);
    EXPECT_EQ(rx, tx);
}

TEST(SpiEngines, ZeroBitTransferTouchesNoRegister) {
    for (auto cls : {ControllerClass::Qx410, ControllerClass::Qx480, ControllerClass::Qx610,
                     ControllerClass::Qx630, ControllerClass::Qx1800}) {
        SCOPED_TRACE(static_cast<int>(cls));
        ScriptedBoard board;
        auto controller = make_controller(cls, board.fd());
        const std::vector<std::uint8_t> tx{0x06};
        std::vector<std::uint8_t> rx(1, 0xCC);
        EXPECT_TRUE(controller->spi_bus()->transfer(1, tx, rx, 0));
        EXPECT_TRUE(board.regs.log().empty());
        EXPECT_EQ(rx[0], 0xCC);
    }
}

// 24 bits: a 16-bit step, then an 8-bit step whose command carries the status word read at
// the end of the first step, with bit 25 cleared.
TEST(PolledShiftEngine, SixteenThenEightBitStepCarriesStatus) {
    ScriptedBoard board;
    board.regs.queue_reads(0x86, {0x07001111, 0x0380CAFE, 0x018000EE});
    Qx410Controller controller(board.fd());
    const std::vector<std::uint8_t> tx{0xA1, 0xB2, 0xC3};
    std::vector<std::uint8_t> rx(3);

    ASSERT_TRUE(controller.transfer(1, tx, rx, 24));

    const std::vector<Access> expected{
        wr(0x86, 0x01000000),
        wr(0x86, 0x0700A1B2),  // start, 16 bits, tx[0] and tx[1]
        rd(0x86, 0x07001111),  // still busy
        rd(0x86, 0x0380CAFE),
        wr(0x86, 0x0580C300),  // start, 8 bits, tx[2] in bits 8-15, bit 23 carried
        rd(0x86, 0x018000EE),
        wr(0x86, 0),
    };
    EXPECT_EQ(board.regs.log(), expected);
    EXPECT_EQ(rx, (std::vector<std::uint8_t>{0xCA, 0xFE, 0xEE}));
}

TEST(PolledShiftEngine, StepThatNeverEndsTimesOutWithoutFinalWrite) {
    ScriptedBoard board;
    board.regs.reader = [](std::uint32_t) { return 1U << 26; };
    Qx410Controller controller(board.fd());
    const std::vector<std::uint8_t> tx{0x05};
    std::vector<std::uint8_t> rx(2);

    const auto start = monotonic_now();
    auto result = controller.transfer(1, tx, rx, 16);
    const auto elapsed = monotonic_now() - start;

    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), flash_write_timeout());
    EXPECT_GE(elapsed, kPolledShiftStepLimit);
    EXPECT_EQ(board.regs.log().back().op, Op::Read);
}

struct FailureCase {
    ControllerClass controller;
    std::size_t failing_access;
    int errnum;
};

class SpiEngineFailure : public ::testing::TestWithParam<FailureCase> {};

// The failing access ends the transfer: no further access, in particular no clearing write.
TEST_P(SpiEngineFailure, StopsAtTheFailedAccess) {
    const FailureCase& c = GetParam();
    ScriptedBoard board;
    board.regs.fail_access(c.failing_access, c.errnum);
    board.regs.reader = [](std::uint32_t) { return 0U; };
    auto controller = make_controller(c.controller, board.fd());
    const auto tx = pattern(261);
    std::vector<std::uint8_t> rx(261);

    auto result = controller->spi_bus()->transfer(1, tx, rx, 2088);

    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), Error::os(c.errnum));
    EXPECT_EQ(board.regs.log().size(), c.failing_access);
}

INSTANTIATE_TEST_SUITE_P(
    Engines, SpiEngineFailure,
    ::testing::Values(FailureCase{ControllerClass::Qx480, 5, EIO},     // a data read, chunk 1
                      FailureCase{ControllerClass::Qx480, 18, EBUSY},  // chunk 2's control
                      FailureCase{ControllerClass::Qx630, 141, EIO},   // the clearing write
                      FailureCase{ControllerClass::Qx610, 0, ENODEV},  // the control write
                      FailureCase{ControllerClass::Qx410, 2, EIO},     // the first poll
                      FailureCase{ControllerClass::Qx410, 1, EIO}));   // the first step

}  // namespace
}  // namespace tarnvel
