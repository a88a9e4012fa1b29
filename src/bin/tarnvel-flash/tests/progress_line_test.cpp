#include "bin/tarnvel-flash/progress_line.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <utility>

#include "base/answer_line.hpp"
#include "base/dialogue.hpp"
#include "base/output.hpp"
#include "test_pipe.hpp"

namespace tarnvel {
namespace {

using tarnvel::testing::TestPipe;

TEST(ProgressLine, FailedFlushOfAQuestionOrProgressLineIsIgnored) {
    // A reader that has gone must show up as a failed write, not as a killed test.
    std::signal(SIGPIPE, SIG_IGN);
    TestPipe answers;
    answers.close_write();
    TestPipe pipe;
    pipe.close_read();
    Output out(pipe.write_fd());
    AnswerReader in(answers.read_fd());
    print_progress(out, 5);
    EXPECT_FALSE(ask(out, in, "\tUpdate firmware?"));
    EXPECT_EQ(out.pending(), "\r\tUpdating firmware:   5%\tUpdate firmware? (y/N): ");
}

TEST(ProgressLine, RightAlignsThePercentageInThreeColumnsAndFlushes) {
    const std::pair<std::uint32_t, std::string> cases[] = {
        {0, "\r\tUpdating firmware:   0%"},   {5, "\r\tUpdating firmware:   5%"},
        {42, "\r\tUpdating firmware:  42%"},  {99, "\r\tUpdating firmware:  99%"},
        {100, "\r\tUpdating firmware: 100%"}, {1234, "\r\tUpdating firmware: 1234%"},
    };
    for (const auto& [percent, line] : cases) {
        TestPipe pipe;
        Output out(pipe.write_fd());
        print_progress(out, percent);
        EXPECT_EQ(pipe.drain(), line);
    }
}

}  // namespace
}  // namespace tarnvel
