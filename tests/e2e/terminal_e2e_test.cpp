// On an operator's terminal, every line that overwrites the progress line clears it first: the
// "done" line is shorter than the progress line, and nothing of the longer line may stay on
// the screen. (Piped and redirected output keeps its exact bytes; the other tests hold it.)

#include <fmt/format.h>

#include "background_program.hpp"
#include "harness.hpp"
#include "terminal_screen.hpp"

namespace tarnvel::testing {
namespace {

TEST(TerminalScreen, DrawsCarriageReturnsTabsAndErasures) {
    EXPECT_EQ(render_terminal("ab\tc\r\n\tlonger line\r\tshort\n"),
              (std::vector<std::string>{"ab      c", "        shortr line"}));
    EXPECT_EQ(render_terminal("\tlonger line\r\x1b[K\tshort\r\n"),
              (std::vector<std::string>{"        short"}));
}

// tarnvel-fw redraws one progress line per board in place: up to a line, rewritten, back down;
// and erases them all from the first down.
TEST(TerminalScreen, MovesTheCursorUpAndDownAndErasesBelow) {
    EXPECT_EQ(render_terminal("one\ntwo\n\x1b[2A\r\x1b[KONE\r\x1b[2Bthree\n"),
              (std::vector<std::string>{"ONE", "two", "three"}));
    EXPECT_EQ(render_terminal("kept\nbar 1\nbar 2\n\x1b[2A\r\x1b[Jresult\n"),
              (std::vector<std::string>{"kept", "result"}));
}

class OperatorTerminal : public MachineTest {};

TEST_F(OperatorTerminal, ShowsEveryOverwrittenLineClean) {
    constexpr unsigned kBoardFirmware = 12;
    constexpr int kImageVersion = 13;
    add_hardware(BoardKind::Qx630, pci_board("0x001f", fmt::format("1.0r{}", kBoardFirmware)));
    const std::vector<std::uint8_t> image = sim::firmware_bytes(512, 5);
    ASSERT_TRUE(firmware().add_board_image(BoardKind::Qx630, 1, 0, kImageVersion, image));
    // The block reads back wrong once: a retry line overwrites the progress line, and the
    // progress line drawn again below it is overwritten by the shorter "done" line.
    hardware(0).spi_chip()->faults().corrupt_read(firmware_base_address(BoardKind::Qx630), 1);

    BackgroundProgram program(testbed(), firmware().path(), {.terminal = true});
    ASSERT_TRUE(program.wait_for_output(update_question())) << program.out();
    program.type("y\n");
    ASSERT_TRUE(program.wait_for_output(reboot_question())) << program.out();
    program.type("n\n");
    const sim::RunResult& ended = program.finish();
    EXPECT_TRUE(ended.exited_with(0)) << ended.describe_end() << "\n" << ended.err;

    const std::string tab(8, ' ');
    EXPECT_EQ(render_terminal(ended.out),
              (std::vector<std::string>{
                  "Device /dev/tarnvel0: QX630v1.0",
                  tab + fmt::format("Current firmware: {},", kBoardFirmware),
                  tab + fmt::format("Firmware available: {},", kImageVersion),
                  tab + "Update firmware? (y/N): y",
                  tab + "Write error, retrying...",
                  tab + "Updating firmware done",
                  tab + "Reboot device? This can crash systems that doesn't support PCIe hot-plug. "
                        "(y/N): n",
                  tab + "Please power off and power on system manually to apply update",
              }))
        << ::testing::PrintToString(ended.out);
    EXPECT_TRUE(flash_holds_image(hardware(0), image));
}

}  // namespace
}  // namespace tarnvel::testing
