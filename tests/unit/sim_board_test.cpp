// The simulated board per kind: which registers it decodes, which chips it carries, the
// parallel-flash bus in front of its parallel chip, and what it reports to tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "sim/model/sim_board.hpp"

namespace tarnvel::sim {
namespace {

struct Wiring {
    BoardKind kind;
    std::vector<std::uint32_t> registers;
    bool spi_chip;
    bool parallel_chip;
    std::uint8_t chip_select;
};

class SimBoardWiring : public ::testing::TestWithParam<Wiring> {};

TEST_P(SimBoardWiring, DecodesItsControllersRegistersAndNoOthers) {
    const Wiring& w = GetParam();
    auto board = make_board_model(w.kind);
    EXPECT_EQ(board->spi_chip() != nullptr, w.spi_chip);
    EXPECT_EQ(board->parallel_chip() != nullptr, w.parallel_chip);
    if (w.spi_chip) {
        EXPECT_EQ(board->spi_chip_select(), w.chip_select);
    }
    for (std::uint32_t reg : {0x85u, 0x86u, 0x87u, 0x88u, 0xC7u, 0xC8u, 0xD2u, 0xD3u, 0x100u}) {
        const bool decoded = std::ranges::count(w.registers, reg) != 0;
        const std::size_t before = board->violations().count(ViolationKind::UnknownRegister);
        std::uint32_t value = 0xDEADBEEF;
        ASSERT_EQ(board->read(reg, value), 0);
        EXPECT_EQ(board->violations().count(ViolationKind::UnknownRegister) - before,
                  decoded ? 0u : 1u)
            << std::hex << reg;
        if (!decoded) {
            EXPECT_EQ(value, 0u);
        }
    }
    // The firmware lives in the chip of the kind's flash type.
    FlashStorage* firmware = board->firmware_flash();
    switch (board_info(w.kind).flash) {
        case FlashType::Spi: EXPECT_EQ(firmware, &board->spi_chip()->storage()); break;
        case FlashType::Bpi: EXPECT_EQ(firmware, &board->parallel_chip()->storage()); break;
        case FlashType::None: EXPECT_EQ(firmware, nullptr); break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SimBoardWiring,
    ::testing::Values(Wiring{BoardKind::Unsupported, {}, false, false, 0},
                      Wiring{BoardKind::Qx410, {0x86}, true, false, 1},
                      Wiring{BoardKind::Qx410M2, {0x86}, true, false, 1},
                      Wiring{BoardKind::Qx410Bp, {0x86}, true, false, 1},
                      Wiring{BoardKind::Qx480Bpi, {0xC7, 0xC8, 0xD2, 0xD3}, true, true, 1},
                      Wiring{BoardKind::Qx480Spi, {0xC7, 0xC8, 0xD2, 0xD3}, true, true, 1},
                      Wiring{BoardKind::Qx400, {0x87, 0x88}, false, true, 0},
                      Wiring{BoardKind::Qx610Bpi, {0x85, 0x86, 0x87, 0x88}, true, true, 5},
                      Wiring{BoardKind::Qx630, {0x85, 0x86}, true, false, 1},
                      Wiring{BoardKind::Qx610Spi, {0x85, 0x86, 0x87, 0x88}, true, true, 5},
                      Wiring{BoardKind::Qx1800, {0x85, 0x86}, true, false, 1}));

TEST(SimBoard, LargestImageFitsAboveEveryBaseAddress) {
    for (unsigned k = 1; k < kBoardKindCount; ++k) {
        const auto kind = static_cast<BoardKind>(k);
        auto board = make_board_model(kind);
        const BoardInfo& info = board_info(kind);
        if (info.flash == FlashType::Spi) {
            EXPECT_GE(board->firmware_flash()->size(), info.base_address + (64u << 20)) << k;
        } else {
            // The bus carries a 24-bit word address: the chip fills all of it.
            EXPECT_EQ(board->firmware_flash()->size(), 32u << 20) << k;
        }
        EXPECT_EQ(board->firmware_flash()->pages_in_use(), 0u) << "memory taken up front";
    }
}

TEST(SimBoard, ObserverHearsTheFirstFlashChangeOnce) {
    auto board = make_board_model(BoardKind::Qx610Bpi);
    int calls = 0;
    board->set_flash_changed_observer([&] { ++calls; });
    // A read changes nothing.
    std::uint32_t value = 0;
    board->write(0x87, 0x05000000);
    board->read(0x88, value);
    EXPECT_EQ(calls, 0);
    // Sector erase on the parallel chip, then a write enable and erase on the serial one.
    const std::pair<std::uint32_t, std::uint16_t> erase[] = {
        {0x555, 0xAA}, {0x2AA, 0x55}, {0x555, 0x80}, {0x555, 0xAA}, {0x2AA, 0x55}, {0, 0x30}};
    for (auto [address, data] : erase) {
        board->write(0x87, 0x04000000 | address);
        board->write(0x88, data);
    }
    EXPECT_EQ(calls, 1);
    board->write(0x85, 0xB000 | 5u << 16 | 8);
    board->write(0x86, 0x06000000);
    board->write(0x85, 0xB000 | 5u << 16 | 32);
    board->write(0x86, 0xD8000000);
    EXPECT_EQ(board->spi_chip()->erases_done(), 1u);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(board->register_accesses(), 18u);
}

class SimBpiBus : public ::testing::Test {
  protected:
    void put(std::uint32_t reg, std::uint32_t value) { ASSERT_EQ(board->write(reg, value), 0); }
    std::uint32_t get(std::uint32_t reg) {
        std::uint32_t value = 0;
        EXPECT_EQ(board->read(reg, value), 0);
        return value;
    }
    std::uint16_t cell(std::uint32_t word_address) {
        return board->parallel_chip()->storage().read_le16(word_address * 2);
    }

    std::unique_ptr<SimBoard> board = make_board_model(BoardKind::Qx480Bpi);
};

TEST_F(SimBpiBus, SequentialFlagStepsTheAddressAfterEveryDataAccess) {
    put(0xC7, 0x05000000 | 0x810000);
    EXPECT_EQ(get(0xC8), cell(0x810000));
    EXPECT_EQ(get(0xC8), cell(0x810001));
    EXPECT_EQ(get(0xC8), cell(0x810002));
    // Without it the address stays.
    put(0xC7, 0x04000000 | 0x810000);
    EXPECT_EQ(get(0xC8), cell(0x810000));
    EXPECT_EQ(get(0xC8), cell(0x810000));
    EXPECT_TRUE(board->violations().empty()) << board->violations().summary();
}

TEST_F(SimBpiBus, CommandReadShowsTheFlashBusyInBit27) {
    ParallelNorChip::Options slow;
    slow.erase_time.polls = 1;
    board = make_board_model(BoardKind::Qx480Bpi, {.parallel = slow});
    const std::pair<std::uint32_t, std::uint16_t> erase[] = {{0x555, 0xAA}, {0x2AA, 0x55},
                                                             {0x555, 0x80}, {0x555, 0xAA},
                                                             {0x2AA, 0x55}, {0x810000, 0x30}};
    for (auto [address, data] : erase) {
        put(0xC7, 0x04000000 | address);
        put(0xC8, data);
    }
    EXPECT_EQ(get(0xC7), 0x04000000u | 0x810000 | 1u << 27);
    EXPECT_EQ(get(0xC7), 0x04000000u | 0x810000);
    put(0xC7, 0);
    EXPECT_TRUE(board->violations().empty()) << board->violations().summary();
}

TEST_F(SimBpiBus, DataAccessNeedsTheAccessFlag) {
    put(0xC7, 0x810000);  // address without the access flag
    EXPECT_EQ(get(0xC8), 0xFFFFu);
    put(0xC8, 0x00AA);
    EXPECT_EQ(board->violations().count(ViolationKind::DataAccessWithoutAccessFlag), 2u);
    EXPECT_TRUE(board->parallel_chip()->in_read_mode()) << "the write reached the flash";
}

TEST_F(SimBpiBus, BitsTheBusLacksAreFlagged) {
    put(0xC7, 0x0A000000);  // bits 25 and 27
    put(0xC7, 0x04000555);
    put(0xC8, 0x100AA);  // a 17th data bit
    EXPECT_EQ(board->violations().count(ViolationKind::ReservedBitsSet), 2u);
}

}  // namespace
}  // namespace tarnvel::sim
