#include "base/dialogue.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "base/answer_line.hpp"
#include "base/output.hpp"
#include "test_pipe.hpp"

namespace tarnvel {
namespace {

using tarnvel::testing::TestPipe;

class OutputTest : public ::testing::Test {
  protected:
    // A reader that has gone must show up as a failed write, not as a killed test.
    void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
};

struct BufferingCase {
    std::vector<std::string> prints;
    std::string sent;       // what the descriptor has received after the prints
    std::string pending;    // what waits for a line break or a flush
    bool terminal = false;  // erase what is left of a line that is overwritten
};

TEST_F(OutputTest, SendsUpToTheLastLineBreakAndKeepsTheRest) {
    const BufferingCase cases[] = {
        {{"Device /dev/tarnvel0: "}, "", "Device /dev/tarnvel0: "},
        {{"Device /dev/tarnvel0: ", "QX410v3.0\n"}, "Device /dev/tarnvel0: QX410v3.0\n", ""},
        {{"a\nb\nc"}, "a\nb\n", "c"},
        {{"a", "b", "\n"}, "ab\n", ""},
        {{"\r\tUpdating firmware:   0%", "\r\tWrite error, retrying...\n"},
         "\r\tUpdating firmware:   0%\r\tWrite error, retrying...\n",
         ""},
        {{""}, "", ""},
        // On a terminal the overwritten progress line is erased first: "done" is shorter.
        {{"\r\tUpdating firmware:   0%", "\r\tUpdating firmware done\n"},
         "\r\x1b[K\tUpdating firmware:   0%\r\x1b[K\tUpdating firmware done\n",
         "",
         true},
        {{"a\n\rb\n\rc"}, "a\n\r\x1b[Kb\n", "\r\x1b[Kc", true},
        {{"Device /dev/tarnvel0: ", "QX410v3.0\n"}, "Device /dev/tarnvel0: QX410v3.0\n", "", true},
    };
    for (const auto& c : cases) {
        TestPipe pipe;
        Output out(pipe.write_fd());
        out.set_erase_overwritten_lines(c.terminal);
        for (const auto& text : c.prints) ASSERT_TRUE(out.print(text).has_value());
        EXPECT_EQ(pipe.drain(), c.sent) << ::testing::PrintToString(c.prints);
        EXPECT_EQ(out.pending(), c.pending) << ::testing::PrintToString(c.prints);
    }
}

TEST_F(OutputTest, FlushSendsTheUnfinishedLine) {
    TestPipe pipe;
    Output out(pipe.write_fd());
    ASSERT_TRUE(out.print("\tUpdate firmware? (y/N): ").has_value());
    ASSERT_TRUE(out.flush().has_value());
    EXPECT_EQ(pipe.drain(), "\tUpdate firmware? (y/N): ");
    EXPECT_EQ(out.pending(), "");
}

TEST_F(OutputTest, FailedWriteReportsTheErrorAndKeepsTheText) {
    TestPipe pipe;
    pipe.close_read();
    Output out(pipe.write_fd());
    ASSERT_TRUE(out.print("question").has_value());
    const auto flushed = out.flush();
    ASSERT_FALSE(flushed.has_value());
    EXPECT_EQ(error_kind_text(flushed.error()), "broken pipe");
    EXPECT_EQ(out.pending(), "question");
    EXPECT_FALSE(out.print(" line\n").has_value());
}

TEST_F(OutputTest, FailedLineWriteIsAnInternalFault) {
    EXPECT_EXIT(
        {
            std::signal(SIGPIPE, SIG_IGN);
            TestPipe pipe;
            pipe.close_read();
            Output out(pipe.write_fd());
            print(out, "Device /dev/tarnvel0: QX410v3.0\n");
        },
        ::testing::ExitedWithCode(101), "internal fault.*standard output");
}

struct AskCase {
    const char* name;
    std::string typed;  // everything the operator typed ahead, then end of input
    std::vector<bool> answers;
};

class Ask : public ::testing::TestWithParam<AskCase> {};

TEST_P(Ask, ShowsTheQuestionBeforeWaitingAndAnswersInOrder) {
    TestPipe input;
    input.write_all(GetParam().typed);
    input.close_write();
    TestPipe output;
    Output out(output.write_fd());
    AnswerReader in(input.read_fd());
    for (std::size_t i = 0; i < GetParam().answers.size(); ++i) {
        EXPECT_EQ(ask(out, in, "\tUpdate firmware?"), GetParam().answers[i]) << "question " << i;
        EXPECT_EQ(output.drain(), "\tUpdate firmware? (y/N): ") << "question " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Ask,
    ::testing::Values(
        AskCase{"TwoYesTypedAhead", "y\ny\n", {true, true}},
        AskCase{"NoThenYes", "n\ny\n", {false, true}},
        AskCase{"EmptyInputAnswersNoEveryTime", "", {false, false, false}},
        AskCase{"CapitalWithBlanks", "  Y \t\n", {true, false}},
        AskCase{"YesIsNotY", "yes\n", {false}},
        AskCase{"LastLineWithoutLineBreak", "n\ny", {false, true, false}},
        AskCase{"LongLineEndingInY", std::string(9999, 'a') + "y\ny\n", {false, true}},
        // Read across buffer refills as one line: one yes, not a no then a yes.
        AskCase{"LongBlankLineEndingInY", std::string(9999, ' ') + "y\nn\n", {true, false}}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace tarnvel
