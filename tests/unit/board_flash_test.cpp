// What attach_flash builds for each board kind, and the reset of the parallel-flash boards.

#include "programming/board_flash.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include "bpi/bpi_flash.hpp"
#include "controller/controllers.hpp"
#include "scripted_registers.hpp"
#include "spi/spi_flash.hpp"

namespace tarnvel {
namespace {

struct KindCase {
    BoardKind kind;
    bool (*is_controller)(FlashController*);
    FlashType flash;
    std::uint8_t chip_select;
    bool four_byte_address;
    std::uint32_t reset_cmd;  // the BPI bus's CMD register, 0 for SPI boards
};

template <class C>
bool is(FlashController* c) {
    return dynamic_cast<C*>(c) != nullptr;
}

using enum BoardKind;
constexpr KindCase kKinds[] = {
    {Qx410, is<Qx410Controller>, FlashType::Spi, 1, false, 0},
    {Qx410M2, is<Qx410Controller>, FlashType::Spi, 1, false, 0},
    {Qx410Bp, is<Qx410Controller>, FlashType::Spi, 1, false, 0},
    {Qx480Bpi, is<Qx480Controller>, FlashType::Bpi, 0, false, 0xC7},
    {Qx480Spi, is<Qx480Controller>, FlashType::Spi, 1, true, 0},
    {Qx400, is<Qx400Controller>, FlashType::Bpi, 0, false, 0x87},
    {Qx610Bpi, is<Qx610Controller>, FlashType::Bpi, 0, false, 0x87},
    {Qx630, is<Qx630Controller>, FlashType::Spi, 1, true, 0},
    {Qx610Spi, is<Qx610Controller>, FlashType::Spi, 5, true, 0},
    {Qx1800, is<Qx1800Controller>, FlashType::Spi, 1, true, 0},
};

TEST(AttachFlash, BuildsControllerAndFlashOfTheKind) {
    for (const KindCase& k : kKinds) {
        SCOPED_TRACE(static_cast<int>(k.kind));
        testing::ScriptedBoard scripted;
        BoardDevice board;
        board.kind = k.kind;
        board.fd = scripted.node.release();

        ASSERT_TRUE(attach_flash(board));

        EXPECT_TRUE(k.is_controller(board.controller.get()));
        EXPECT_EQ(board.controller->channel().fd(), board.fd);
        EXPECT_EQ(board.controller.use_count(), 2U);  // the record and the flash driver
        if (k.flash == FlashType::Spi) {
            auto* spi = dynamic_cast<SpiFlash*>(board.flash.get());
            ASSERT_NE(spi, nullptr);
            EXPECT_EQ(spi->chip_select(), k.chip_select);
            EXPECT_EQ(spi->four_byte_address(), k.four_byte_address);
            EXPECT_TRUE(scripted.regs.log().empty());
        } else {
            EXPECT_NE(dynamic_cast<BpiFlash*>(board.flash.get()), nullptr);
            EXPECT_EQ(scripted.regs.writes_to(k.reset_cmd).size(), 7U);
            EXPECT_EQ(scripted.regs.log().size(), 13U);
            EXPECT_EQ(scripted.regs.log().back(), testing::wr(k.reset_cmd, 0));
        }
    }
}

TEST(AttachFlash, FailedResetIsReturnedAndTheObjectsStay) {
    testing::ScriptedBoard scripted;
    scripted.regs.fail_access(4, EIO);
    BoardDevice board;
    board.kind = BoardKind::Qx400;
    board.fd = scripted.node.release();

    auto result = attach_flash(board);

    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), Error::os(EIO));
    EXPECT_TRUE(board.controller);
    EXPECT_TRUE(board.flash);
    EXPECT_EQ(scripted.regs.log().size(), 4U);
}

TEST(AttachFlash, UnsupportedKindGetsNothing) {
    testing::ScriptedBoard scripted;
    BoardDevice board;
    board.fd = scripted.node.release();
    EXPECT_FALSE(attach_flash(board));
    EXPECT_FALSE(board.controller);
    EXPECT_FALSE(board.flash);
    EXPECT_TRUE(scripted.regs.log().empty());
}

// A driver paired with a controller that lacks its bus is a fault of the program.
TEST(FlashDriversDeathTest, MissingBusIsAnInternalFault) {
    EXPECT_EXIT(
        {
            SpiFlash flash(make_rc<Qx400Controller>(-1), 1, false);
            (void)flash.read(0, 1);
        },
        ::testing::ExitedWithCode(101), "internal fault");
    EXPECT_EXIT(
        {
            BpiFlash flash(make_rc<Qx630Controller>(-1));
            (void)flash.erase(0, 1);
        },
        ::testing::ExitedWithCode(101), "internal fault");
}

}  // namespace
}  // namespace tarnvel
