// The operator's answers, typed ahead into a pipe or missing altogether: which board each line
// answers, what a declined update or reboot leaves behind, and that an equal or older image is
// still offered and written when the operator wants it.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "harness.hpp"

namespace tarnvel::testing {
namespace {

// What the operator's answers make of one board.
enum class Outcome : std::uint8_t {
    Declined,          // no to the update: nothing more is printed for the board
    ManualPowerCycle,  // yes to the update, no to the reboot
    Rebooted,          // yes to both
};

struct BoardSetup {
    BoardKind kind;
    const char* device;
    const char* hw;
    unsigned major, minor;
    unsigned fw;
    int image_version;
    std::size_t image_size;
};

// Everything a board with a readable archive prints, from its announcement on.
std::string board_output(std::size_t index, const BoardSetup& board, Outcome outcome) {
    std::string text = board_up_to_question("/dev/tarnvel" + std::to_string(index),
                                            static_cast<unsigned>(board.kind), board.major,
                                            board.minor, board.fw, board.image_version);
    if (outcome == Outcome::Declined) return text;
    text += progress_lines(1) + update_done_line() + reboot_question();
    if (outcome == Outcome::ManualPowerCycle) return text + manual_power_cycle_line();
    return text + rebooting_line() +
           firmware_after_reboot_line(static_cast<unsigned>(board.image_version));
}

template <class Base>
class AnswersFixture : public MachineFixture<Base> {
  protected:
    // Adds the board on its simulated hardware with its archive; answers the image.
    std::vector<std::uint8_t> add_board_with_image(const BoardSetup& board) {
        const std::size_t index = this->add_hardware(
            board.kind,
            pci_board(board.device, std::string(board.hw) + "r" + std::to_string(board.fw)));
        std::vector<std::uint8_t> image =
            sim::firmware_bytes(board.image_size, static_cast<std::uint32_t>(index + 1));
        EXPECT_TRUE(this->firmware().add_board_image(
            board.kind, static_cast<std::uint8_t>(board.major),
            static_cast<std::uint8_t>(board.minor), board.image_version, image));
        return image;
    }

    // The board's flash and reboot attribute after the run, as its outcome says.
    void expect_board_state(std::size_t index, const std::vector<std::uint8_t>& image,
                            Outcome outcome) {
        sim::SimBoard& board = this->hardware(index);
        if (outcome == Outcome::Declined) {
            EXPECT_TRUE(flash_untouched(board)) << "board " << index;
        } else {
            EXPECT_TRUE(flash_holds_image(board, image)) << "board " << index;
        }
        EXPECT_TRUE(no_violations(board)) << "board " << index;
        EXPECT_EQ(this->testbed().reboot_written(index), outcome == Outcome::Rebooted ? "1" : "")
            << "board " << index;
    }
};

// Two boards with newer images in their archives; the input is all there is.
const BoardSetup kFirstBoard{BoardKind::Qx480Spi, "0x0022", "2.0", 2, 0, 41, 42, 2000};
const BoardSetup kSecondBoard{BoardKind::Qx630, "0x001f", "1.0", 1, 0, 50, 51, 1800};

struct InputCase {
    const char* name;
    std::optional<std::string> input;  // none: standard input closed
    Outcome first, second;
    const char* input_file = nullptr;  // standard input read from this file instead
};

void PrintTo(const InputCase& c, std::ostream* os) {
    *os << c.name;
}

class TypedAhead : public AnswersFixture<::testing::TestWithParam<InputCase>> {};

TEST_P(TypedAhead, EachLineAnswersTheNextQuestionOfTheRun) {
    const InputCase& c = GetParam();
    const auto first_image = add_board_with_image(kFirstBoard);
    const auto second_image = add_board_with_image(kSecondBoard);

    expect_output(
        c.input_file ? run_reading({TARNVEL_FLASH_BINARY}, c.input_file) : run_flash(c.input),
        board_output(0, kFirstBoard, c.first) + board_output(1, kSecondBoard, c.second));
    expect_board_state(0, first_image, c.first);
    expect_board_state(1, second_image, c.second);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, TypedAhead,
    ::testing::Values(
        // Every question meets the end of the input and is answered no.
        InputCase{"StandardInputClosed", std::nullopt, Outcome::Declined, Outcome::Declined},
        InputCase{"EmptyInput", "", Outcome::Declined, Outcome::Declined},
        // The second line answers the second board's update, not the first board's reboot.
        InputCase{"NoThenYes", "n\ny\n", Outcome::Declined, Outcome::ManualPowerCycle},
        InputCase{"YesNoNo", "y\nn\nn\n", Outcome::ManualPowerCycle, Outcome::Declined},
        InputCase{"AllYes", "y\ny\ny\ny\n", Outcome::Rebooted, Outcome::Rebooted},
        // Case and surrounding blanks don't matter; a word is not a y; the last line needs
        // no line break.
        InputCase{"BlanksCaseAndWords", " Y\t\nyes\n\tn\ny", Outcome::ManualPowerCycle,
                  Outcome::Declined},
        // A line that never ends is no answer, however much of it comes, to every question.
        InputCase{"EndlessLine", std::nullopt, Outcome::Declined, Outcome::Declined, "/dev/zero"}),
    [](const ::testing::TestParamInfo<InputCase>& param) { return std::string(param.param.name); });

// The image in the archive is newer, the same or older than the board's firmware: the remark
// differs, the question is asked every time, and a yes writes the image whatever its version.
class AnyVersionOnRequest : public AnswersFixture<::testing::TestWithParam<int>> {};

TEST_P(AnyVersionOnRequest, IsWrittenWhenTheOperatorSaysYes) {
    BoardSetup board = kFirstBoard;
    board.image_version = GetParam();
    const auto image = add_board_with_image(board);

    expect_output(run_flash("y\nn\n"), board_output(0, board, Outcome::ManualPowerCycle));
    expect_board_state(0, image, Outcome::ManualPowerCycle);
}

INSTANTIATE_TEST_SUITE_P(Versions, AnyVersionOnRequest,
                         ::testing::Values(42, 41, 40),  // the board runs 41
                         [](const ::testing::TestParamInfo<int>& param) {
                             const auto board_fw = static_cast<int>(kFirstBoard.fw);
                             return param.param > board_fw    ? std::string("Newer")
                                    : param.param == board_fw ? std::string("Equal")
                                                              : std::string("Older");
                         });

}  // namespace
}  // namespace tarnvel::testing
