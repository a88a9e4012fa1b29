#include "base/answer_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_pipe.hpp"

namespace tarnvel {
namespace {

using tarnvel::testing::TestPipe;

struct AnswerCase {
    std::string line;
    bool yes;
};

TEST(YesAnswer, OnlyALoneYAfterLowerCasingAndTrimmingUnicodeWhiteSpace) {
    const AnswerCase cases[] = {
        {"y\n", true},
        {"Y\n", true},
        {"y", true},
        {"  y\t\n", true},
        {"\tY \r\n", true},
        {"Y\xc2\xa0\n", true},                // no-break space
        {"\xe3\x80\x80y\xe2\x80\xa8", true},  // ideographic space, line separator
        {"\xc2\x85Y\x0b\x0c", true},          // next line, vertical tab, form feed
        {"\xe2\x80\x8ay\xe2\x80\xaf", true},  // hair space, narrow no-break space
        {"", false},
        {"\n", false},
        {"yes\n", false},
        {"ye\n", false},
        {"n\n", false},
        {"N\n", false},
        {"yy\n", false},
        {"y y\n", false},
        {"\xc5\xb8\n", false},       // Y with diaeresis lower-cases to y with diaeresis
        {"\xef\xbd\x99\n", false},   // full-width y
        {"\xe2\x80\x8by\n", false},  // zero-width space is not white space
        {std::string("y\0\n", 3), false},
        {"y\xff\n", false},  // not UTF-8
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_yes_answer(c.line), c.yes) << ::testing::PrintToString(c.line);
    }
}

struct ReaderCase {
    const char* name;
    std::string input;               // written before the first question, then end of input
    std::vector<std::string> lines;  // one read_answer_line each
    std::size_t limit = AnswerReader::kLineLimit;
};

class AnswerLines : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(AnswerLines, ComeOutOneLineAtATimeFromTheSharedBuffer) {
    TestPipe pipe;
    pipe.write_all(GetParam().input);
    pipe.close_write();
    AnswerReader reader(pipe.read_fd(), GetParam().limit);
    for (const auto& expected : GetParam().lines) {
        EXPECT_EQ(reader.read_answer_line(), expected);
    }
}

const std::string kLongLine = std::string(9999, 'a') + "y\n";

INSTANTIATE_TEST_SUITE_P(
    Table, AnswerLines,
    ::testing::Values(
        ReaderCase{"TypedAheadLinesAnswerLaterQuestions", "y\nn\ny", {"y\n", "n\n", "y", ""}},
        ReaderCase{"EndOfInputAnswersEveryQuestionEmpty", "", {"", "", ""}},
        ReaderCase{"LineLongerThanTheBufferIsReadWhole", kLongLine + "y\n", {kLongLine, "y\n"}},
        ReaderCase{"InvalidUtf8LineIsEmptyAndConsumed", "\xff\xfe\ny\n", {"", "y\n", ""}},
        // Past the limit a line is no; the next question passes over its rest, at most a
        // limit's worth each time, and the line after it answers.
        ReaderCase{"LineOfTheLimitIsRead", "  y\n", {"  y\n", ""}, 4},
        ReaderCase{"OverlongLineIsNoAndItsRestIsPassedOver", "    y\ny\n", {"", "y\n", ""}, 4},
        ReaderCase{"RestPastTheLimitAnswersNoAgain", "aaaaaaaaaay\ny\n", {"", "", "y\n", ""}, 4},
        ReaderCase{"RestEndedByEndOfInput", "aaaaaa", {"", "", ""}, 4}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(AnswerLines, ClosedDescriptorReadsAsEndOfInput) {
    AnswerReader reader(-1);
    EXPECT_EQ(reader.read_answer_line(), "");
    EXPECT_EQ(reader.read_answer_line(), "");
}

TEST(AnswerLines, BytesAfterTheLineWaitForTheNextQuestionEvenWhenMoreArrives) {
    TestPipe pipe;
    pipe.write_all("y\nn");
    AnswerReader reader(pipe.read_fd());
    EXPECT_EQ(reader.read_answer_line(), "y\n");
    pipe.write_all("o\n");
    EXPECT_EQ(reader.read_answer_line(), "no\n");
}

}  // namespace
}  // namespace tarnvel
