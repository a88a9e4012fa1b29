// The boards' SPI engines decoded at register level: frames built here by hand, register by
// register, as each engine's host side sends them.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "sim/model/sim_board.hpp"

namespace tarnvel::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Engine {
    std::uint32_t control;
    std::uint32_t data;
};
constexpr Engine kQx480Chunked{0xD2, 0xD3};
constexpr Engine kQx630Chunked{0x85, 0x86};  // also QX1800
constexpr Engine kQx610LongFrame{0x85, 0x86};
constexpr std::uint32_t kShiftRegister = 0x86;

void put(SimBoard& board, std::uint32_t reg, std::uint32_t value) {
    ASSERT_EQ(board.write(reg, value), 0);
}
std::uint32_t get(SimBoard& board, std::uint32_t reg) {
    std::uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(board.read(reg, value), 0);
    return value;
}

std::uint32_t word_at(const Bytes& tx, std::size_t j) {
    std::uint32_t w = 0;
    for (std::size_t i = 0; i < 4; ++i) w = w << 8 | (j + i < tx.size() ? tx[j + i] : 0u);
    return w;
}

// Moves `bits` bits in data words from byte offset `j` on; the received bytes go to rx.
void move_words(SimBoard& board, std::uint32_t data_reg, const Bytes& tx, Bytes& rx, std::size_t j,
                unsigned bits) {
    for (unsigned done = 0; done < bits; done += 32, j += 4) {
        put(board, data_reg, word_at(tx, j));
        std::uint32_t v = get(board, data_reg);
        const unsigned left = bits - done;
        if (left < 32) v <<= 32 - left;
        for (std::size_t i = 0; i < 4 && j + i < rx.size(); ++i) {
            rx[j + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
        }
    }
}

struct ChunkedFraming {
    bool clear_before = true;
    bool clear_after = true;
};

Bytes chunked(SimBoard& board, Engine engine, std::uint8_t cs, const Bytes& tx, unsigned bits,
              ChunkedFraming framing = {}) {
    Bytes rx((bits + 7) / 8);
    if (framing.clear_before) put(board, engine.control, 0);
    for (unsigned first = 0; first < bits; first += 256) {
        const unsigned n = std::min(256u, bits - first);
        put(board, engine.control, std::uint32_t{cs} << 24 | n << 12 | n);
        move_words(board, engine.data, tx, rx, first / 8, n);
    }
    if (framing.clear_after) put(board, engine.control, 0);
    return rx;
}

Bytes long_frame(SimBoard& board, std::uint8_t cs, const Bytes& tx, unsigned bits) {
    Bytes rx((bits + 7) / 8);
    put(board, kQx610LongFrame.control, 0xB000u | (cs & 7u) << 16 | (bits & 0xFFF));
    move_words(board, kQx610LongFrame.data, tx, rx, 0, bits);
    return rx;
}

// Returns the status word that ended the step, or 0 if it never ended.
std::uint32_t shift_step(SimBoard& board, std::uint32_t command, unsigned* polls = nullptr) {
    put(board, kShiftRegister, command);
    for (unsigned i = 1; i <= 100; ++i) {
        const std::uint32_t s = get(board, kShiftRegister);
        if ((s & PolledShiftSpiEngine::kShift) == 0) {
            if (polls != nullptr) *polls = i;
            return s;
        }
    }
    ADD_FAILURE() << "shift step never ends";
    return 0;
}

Bytes polled_shift(SimBoard& board, const Bytes& tx, unsigned bits) {
    Bytes rx((bits + 7) / 8);
    put(board, kShiftRegister, 0x01000000);
    std::uint32_t s = 0x01000000;
    for (unsigned i = 0; i * 16 < bits; ++i) {
        const bool wide = bits - 16 * i > 8;
        std::uint32_t out = (2 * i < tx.size() ? tx[2 * i] : 0u) << 8;
        if (wide) out |= 2 * i + 1 < tx.size() ? tx[2 * i + 1] : 0u;
        s = wide ? s | PolledShiftSpiEngine::kWide : s & ~PolledShiftSpiEngine::kWide;
        s = shift_step(board, (s & 0xFBFF0000) + out + 0x04000000);
        if (wide) {
            rx[2 * i] = static_cast<std::uint8_t>(s >> 8);
            rx[2 * i + 1] = static_cast<std::uint8_t>(s);
        } else {
            rx[2 * i] = static_cast<std::uint8_t>(s);
        }
    }
    put(board, kShiftRegister, 0);
    return rx;
}

Bytes command(std::uint8_t opcode, std::uint32_t address, bool four_byte) {
    Bytes b{opcode};
    if (four_byte) b.push_back(static_cast<std::uint8_t>(address >> 24));
    for (int shift : {16, 8, 0}) b.push_back(static_cast<std::uint8_t>(address >> shift));
    return b;
}

TEST(SimChunkedEngine, PartialLastWordReadsRightAligned) {
    auto board = make_board_model(BoardKind::Qx630);
    chunked(*board, kQx630Chunked, 1, {0x06}, 8, {.clear_before = false});
    put(*board, 0x85, 1u << 24 | 16u << 12 | 16u);
    put(*board, 0x86, 0x05000000);
    // The opcode's byte (idle line) and then the status with the write-enable latch set.
    EXPECT_EQ(get(*board, 0x86), 0xFF02u);
    put(*board, 0x85, 0);
    EXPECT_TRUE(board->violations().empty()) << board->violations().summary();
}

struct ClearingCase {
    BoardKind kind;
    Engine engine;
    bool requires_clear_before;
};

class SimChunkedEngineClearing : public ::testing::TestWithParam<ClearingCase> {};

TEST_P(SimChunkedEngineClearing, FrameWithoutLeadingClearIsFlaggedWhereTheEngineNeedsIt) {
    auto board = make_board_model(GetParam().kind);
    chunked(*board, GetParam().engine, 1, {0x06}, 8);  // a first frame, properly framed
    chunked(*board, GetParam().engine, 1, {0x04}, 8, {.clear_before = false});
    EXPECT_EQ(board->violations().count(ViolationKind::MissingClearingWrite),
              GetParam().requires_clear_before ? 1u : 0u)
        << board->violations().summary();
}

TEST_P(SimChunkedEngineClearing, FramesRunTogetherWithoutTrailingClear) {
    auto board = make_board_model(GetParam().kind);
    chunked(*board, GetParam().engine, 1, {0x06}, 8, {.clear_after = false});
    chunked(*board, GetParam().engine, 1, command(0xDC, 0x1000000, true), 40,
            {.clear_before = false});
    // The chip saw one frame: 06 followed by an erase command, which is no write enable.
    EXPECT_FALSE(board->spi_chip()->write_enabled());
    EXPECT_EQ(board->spi_chip()->erases_done(), 0u);
    EXPECT_EQ(board->violations().count(ViolationKind::BadCommandLength), 1u)
        << board->violations().summary();
}

INSTANTIATE_TEST_SUITE_P(Classes, SimChunkedEngineClearing,
                         ::testing::Values(ClearingCase{BoardKind::Qx480Spi, kQx480Chunked, true},
                                           ClearingCase{BoardKind::Qx630, kQx630Chunked, false},
                                           ClearingCase{BoardKind::Qx1800, kQx630Chunked, true}));

// Register traffic an engine cannot make sense of, sent to an otherwise idle board.
struct BadTraffic {
    const char* name;
    BoardKind kind;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> writes;
    ViolationKind expected;
};

class SimSpiEngineRejects : public ::testing::TestWithParam<BadTraffic> {};

TEST_P(SimSpiEngineRejects, FlagsTheFault) {
    auto board = make_board_model(GetParam().kind);
    for (auto [reg, value] : GetParam().writes) put(*board, reg, value);
    EXPECT_GE(board->violations().count(GetParam().expected), 1u) << board->violations().summary();
    EXPECT_FALSE(board->spi_chip()->write_enabled());
}

constexpr std::uint32_t chunk(std::uint32_t cs, std::uint32_t bits) {
    return cs << 24 | bits << 12 | bits;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimSpiEngineRejects,
    ::testing::Values(
        BadTraffic{"ChunkCountsDisagree",
                   BoardKind::Qx630,
                   {{0x85, 1u << 24 | 8u << 12 | 16u}, {0x86, 0x06000000}, {0x85, 0}},
                   ViolationKind::MalformedControl},
        BadTraffic{"ChunkLargerThanBuffer",
                   BoardKind::Qx630,
                   {{0x85, chunk(1, 288)}},
                   ViolationKind::MalformedControl},
        BadTraffic{"ChunkedNoChipAtSelect",
                   BoardKind::Qx630,
                   {{0x85, chunk(2, 8)}, {0x86, 0x06000000}, {0x85, 0}},
                   ViolationKind::NoChipAtChipSelect},
        BadTraffic{"ChunkedDataWithoutChunk",
                   BoardKind::Qx1800,
                   {{0x85, 0}, {0x86, 0x06000000}},
                   ViolationKind::DataOutsideFrame},
        BadTraffic{"ChunkedClearBeforeAllBits",
                   BoardKind::Qx480Spi,
                   {{0xD2, 0}, {0xD2, chunk(1, 40)}, {0xD3, 0x06000000}, {0xD2, 0}},
                   ViolationKind::FrameCutShort},
        BadTraffic{"ChunkedHalfByte",
                   BoardKind::Qx480Spi,
                   {{0xD2, 0}, {0xD2, chunk(1, 12)}, {0xD3, 0x06000000}, {0xD2, 0}},
                   ViolationKind::FrameNotWholeBytes},
        BadTraffic{"LongFrameWrongChipSelect",
                   BoardKind::Qx610Spi,
                   {{0x85, 0xB000 | 1u << 16 | 8}, {0x86, 0x06000000}},
                   ViolationKind::NoChipAtChipSelect},
        BadTraffic{"LongFrameNotAFrameCommand",
                   BoardKind::Qx610Spi,
                   {{0x85, 0xA000 | 5u << 16 | 8}, {0x86, 0x06000000}},
                   ViolationKind::MalformedControl},
        BadTraffic{
            "LongFrameRestartedEarly",
            BoardKind::Qx610Spi,
            {{0x85, 0xB000 | 5u << 16 | 40}, {0x86, 0x06000000}, {0x85, 0xB000 | 5u << 16 | 8}},
            ViolationKind::FrameCutShort},
        BadTraffic{"LongFrameDataPastFrame",
                   BoardKind::Qx610Spi,
                   {{0x85, 0xB000 | 5u << 16 | 8}, {0x86, 0x04000000}, {0x86, 0x06000000}},
                   ViolationKind::DataOutsideFrame},
        BadTraffic{"ShiftStepUnselected",
                   BoardKind::Qx410,
                   {{0x86, 0x04000600}},
                   ViolationKind::StepWithoutChipSelect},
        BadTraffic{"ShiftByteInLowBits",
                   BoardKind::Qx410,
                   {{0x86, 0x01000000}, {0x86, 0x05000006}, {0x86, 0}},
                   ViolationKind::MalformedControl},
        BadTraffic{"ShiftStepBeforePolledDone",
                   BoardKind::Qx410,
                   {{0x86, 0x01000000}, {0x86, 0x05000600}, {0x86, 0x05000400}},
                   ViolationKind::StepWhileShifting}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(SimLongFrameEngine, ReleasesChipSelectAfterTheLastBitWithoutClearingWrite) {
    auto board = make_board_model(BoardKind::Qx610Spi);
    long_frame(*board, 5, {0x06}, 8);
    long_frame(*board, 5, {0xDC, 0x01, 0x00, 0x00, 0x00}, 40);
    EXPECT_EQ(board->spi_chip()->erases_done(), 1u);
    EXPECT_EQ(get(*board, 0x85), 0xB000u | 5u << 16 | 40u) << "the control value stays";
    EXPECT_TRUE(board->violations().empty()) << board->violations().summary();
}

TEST(SimLongFrameEngine, FieldOfZeroIsA4096BitFrame) {
    auto board = make_board_model(BoardKind::Qx610Spi);
    const Bytes rx = long_frame(*board, 5, command(0x13, 0x1000000, true), 4096);
    EXPECT_EQ(Bytes(rx.begin() + 5, rx.end()), board->spi_chip()->storage().dump(0x1000000, 507));
    EXPECT_TRUE(board->violations().empty()) << board->violations().summary();
}

TEST(SimPolledShiftEngine, SixteenAndEightBitStepsCarryTheirBytes) {
    auto board = make_board_model(BoardKind::Qx410);
    // 24 bits: a 16-bit step (opcode, first ID byte) and an 8-bit step (second ID byte).
    EXPECT_EQ(polled_shift(*board, {0x9F}, 24), (Bytes{0xFF, 0x3D, 0x71}));
    // Done by hand to look at the status words: 8-bit step of WREN.
    put(*board, kShiftRegister, 0x01000000);
    EXPECT_EQ(shift_step(*board, 0x01000000 | 0x04000000 | 0x0600), 0x010000FFu);
    put(*board, kShiftRegister, 0);
    EXPECT_TRUE(board->spi_chip()->write_enabled());
    EXPECT_TRUE(board->violations().empty()) << board->violations().summary();
}

TEST(SimPolledShiftEngine, StepTakesTheConfiguredNumberOfPolls) {
    for (std::uint32_t polls : {1u, 3u}) {
        auto board = make_board_model(BoardKind::Qx410, {.shift_polls = polls});
        put(*board, kShiftRegister, 0x01000000);
        unsigned seen = 0;
        // 16-bit step: opcode 05 and the status byte.
        EXPECT_EQ(shift_step(*board, 0x07000500, &seen), 0x0200FF00u | 0x01000000u);
        EXPECT_EQ(seen, polls);
        put(*board, kShiftRegister, 0);
        EXPECT_TRUE(board->violations().empty()) << board->violations().summary();
    }
}

}  // namespace
}  // namespace tarnvel::sim
