// An operator's Ctrl-C, a hang-up or a termination request while the flash is written must not
// leave a half-written block: the operator is told at the next block that the stop was seen,
// the programming runs to its end, every block written and verified, the closing line and a
// notice are printed, and then the signal ends the program.
// Anywhere else the signal ends the program at once, as usual.

#include <signal.h>
#include <string.h>

#include <fmt/format.h>

#include "background_program.hpp"
#include "harness.hpp"

namespace tarnvel::testing {
namespace {

constexpr unsigned kBoardFirmware = 12;
constexpr int kImageVersion = 13;
constexpr unsigned kBlocks = 2;

// What the program prints at the next block once it has seen a stop signal.
constexpr const char* kStopSeenNotice =
    "\r\tStop signal received: the flash write finishes first, then the program stops. DO NOT "
    "POWER OFF system\n";
// What the program prints before a held stop signal ends it.
constexpr const char* kHeldSignalNotice =
    "\tStop signal received during the flash write: the write was allowed to end, stopping now\n";

class StopSignal : public MachineTestWithParam<int> {
  protected:
    // A QX630 whose archive holds a two-block image; answers the image.
    std::vector<std::uint8_t> add_board() {
        add_hardware(BoardKind::Qx630, pci_board("0x001f", fmt::format("1.0r{}", kBoardFirmware)));
        std::vector<std::uint8_t> image = sim::firmware_bytes(kBlocks * 0x10000, 5);
        EXPECT_TRUE(firmware().add_board_image(BoardKind::Qx630, 1, 0, kImageVersion, image));
        return image;
    }
    std::string up_to_question() {
        return board_up_to_question("/dev/tarnvel0", 8, 1, 0, kBoardFirmware, kImageVersion);
    }
    bool flash_changed() {
        return testbed().with_model(0, [](sim::RegisterModel& model) {
            return dynamic_cast<sim::SimBoard&>(model).firmware_flash()->changed();
        });
    }
};

TEST_P(StopSignal, DuringProgrammingWaitsForTheWriteToEnd) {
    const int signal = GetParam();
    const std::vector<std::uint8_t> image = add_board();
    BackgroundProgram program(testbed(), firmware().path());
    program.type("y\n");
    program.close_input();
    // The first erase has reached the flash: programming is under way.
    ASSERT_TRUE(program.wait_for([this] { return flash_changed(); })) << program.out();
    program.signal(signal);

    const sim::RunResult& ended = program.finish();
    EXPECT_EQ(ended.signal, signal) << ended.describe_end() << "\n" << ended.err;
    // The signal came during the first block: the operator hears of it before the second one
    // is written, not only when the write has ended.
    EXPECT_EQ(ended.out, up_to_question() + progress_line(0) + kStopSeenNotice + progress_line(50) +
                             update_done_line() + kHeldSignalNotice);
    EXPECT_TRUE(flash_holds_image(hardware(0), image));
    EXPECT_TRUE(no_violations(hardware(0)));
}

// Waiting at the update question, nothing is held: the signal ends the program at once and
// the flash is never touched.
TEST_P(StopSignal, AtTheQuestionEndsTheProgramAtOnce) {
    const int signal = GetParam();
    add_board();
    BackgroundProgram program(testbed(), firmware().path());
    ASSERT_TRUE(program.wait_for_output(update_question())) << program.out();
    program.signal(signal);

    const sim::RunResult& ended = program.finish();
    EXPECT_EQ(ended.signal, signal) << ended.describe_end() << "\n" << ended.err;
    EXPECT_EQ(ended.out, up_to_question());
    EXPECT_TRUE(flash_untouched(hardware(0)));
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& param_info) {
                             return std::string(sigabbrev_np(param_info.param));
                         });

}  // namespace
}  // namespace tarnvel::testing
