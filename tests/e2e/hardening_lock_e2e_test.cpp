// Two programs never drive one board: the program holds its board's node locked from opening to
// closing, and a board whose node someone else holds is passed over like a node that can't be
// opened, before any of its registers is touched. The run goes on with the next board.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fmt/format.h>

#include "background_program.hpp"
#include "harness.hpp"

namespace tarnvel::testing {
namespace {

constexpr unsigned kBoardFirmware = 5;
constexpr int kImageVersion = 6;

std::string refused_board(unsigned kind, unsigned major, unsigned minor) {
    return device_line("/dev/tarnvel0", kind, major, minor) +
           cannot_open_line("operation would block");
}

class BoardLock : public MachineTest {
  protected:
    // The file the testbed serves as /dev/tarnvel0.
    std::string node_file() { return (testbed().root_dir() / "dev/tarnvel0").string(); }
};

// Another process's lock on the node (here the test's own): the parallel-flash board is not
// even reset, and the board after it is handled as usual.
TEST_F(BoardLock, BoardHeldElsewhereIsPassedOverUntouched) {
    add_hardware(BoardKind::Qx480Bpi, pci_board("0x001a", fmt::format("1.0r{}", kBoardFirmware)));
    add(pci_board("0x0022", "2.0r9"));
    const int held = ::open(node_file().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

    expect_output(run_flash("y\n"),
                  refused_board(4, 1, 0) + board_without_archive("/dev/tarnvel1", 5, 2, 0, 9));
    EXPECT_EQ(hardware(0).register_accesses(), 0u);
    ::close(held);
}

// Two updaters started one after the other: the first waits at its question holding the
// board; the second is refused that board and ends; the first then goes on undisturbed, and
// once it has ended the board is free again.
TEST_F(BoardLock, SecondProgramIsRefusedTheBoardTheFirstHolds) {
    add_hardware(BoardKind::Qx630, pci_board("0x001f", fmt::format("1.0r{}", kBoardFirmware)));
    const std::vector<std::uint8_t> image = sim::firmware_bytes(3000, 3);
    ASSERT_TRUE(firmware().add_board_image(BoardKind::Qx630, 1, 0, kImageVersion, image));
    const std::string up_to_question =
        board_up_to_question("/dev/tarnvel0", 8, 1, 0, kBoardFirmware, kImageVersion);

    BackgroundProgram first(testbed(), firmware().path());
    ASSERT_TRUE(first.wait_for_output(update_question())) << first.out();

    expect_output(run_flash("y\n"), refused_board(8, 1, 0));
    EXPECT_TRUE(flash_untouched(hardware(0)));

    first.type("y\n");
    const sim::RunResult& ended = first.finish();
    EXPECT_EQ(ended.out, up_to_question + progress_lines(1) + update_done_line() +
                             reboot_question() + manual_power_cycle_line());
    EXPECT_TRUE(ended.exited_with(0)) << ended.describe_end() << "\n" << ended.err;
    EXPECT_TRUE(flash_holds_image(hardware(0), image));

    // The lock went with the first program's end.
    expect_output(run_flash(), up_to_question);
}

}  // namespace
}  // namespace tarnvel::testing
