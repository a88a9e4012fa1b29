// The stop signals wait while the flash is written and then end the program the usual way. Each
// case runs in a child process, since the signal is meant to end it.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "base/dialogue.hpp"
#include "base/stop_signals.hpp"
#include "bin/tarnvel-flash/progress_line.hpp"

namespace tarnvel {
namespace {

constexpr char kStillRunning[] = "still running after the signal\n";
constexpr char kHoldEnded[] = "hold ended\n";

struct ChildEnd {
    std::string out;
    int exit_status = -1;
    int signal = 0;
};

// Runs `body` in a child whose standard output the parent collects.
template <class Body>
ChildEnd in_child(Body body) {
    flush_output();
    int out[2];
    if (::pipe(out) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        ::dup2(out[1], 1);
        // SIGQUIT would dump core.
        const rlimit no_core{0, 0};
        ::setrlimit(RLIMIT_CORE, &no_core);
        body();
        flush_output();
        ::_exit(0);
    }
    ::close(out[1]);
    ChildEnd end;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) {
        end.out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) end.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
    return end;
}

class StopSignalHeld : public ::testing::TestWithParam<int> {};

TEST_P(StopSignalHeld, TakesEffectWhenTheHoldEndsAfterTheNotice) {
    const int signal = GetParam();
    const ChildEnd end = in_child([signal] {
        StopSignalHold hold([] { print(kHeldSignalNotice); });
        ::raise(signal);
        print(kStillRunning);
        hold.end();
        print(kHoldEnded);
    });
    EXPECT_EQ(end.signal, signal);
    EXPECT_EQ(end.out, std::string(kStillRunning) + kHeldSignalNotice);
}

// The progress line tells the operator at the next block that the stop was seen, once, and
// goes on drawing the progress below the notice.
TEST_P(StopSignalHeld, IsAnnouncedOnceAtTheNextBlock) {
    const int signal = GetParam();
    const ChildEnd end = in_child([signal] {
        StopSignalHold hold([] { print(kHeldSignalNotice); });
        ProgressLine progress(hold);
        progress.pass_started({.block = 0, .block_count = 4});
        ::raise(signal);
        progress.pass_started({.block = 1, .block_count = 4});
        progress.pass_started({.block = 2, .block_count = 4});
        print(kStillRunning);
    });
    EXPECT_EQ(end.signal, signal);
    EXPECT_EQ(end.out, std::string("\r\tUpdating firmware:   0%") + kStopSeenNotice +
                           "\r\tUpdating firmware:  25%\r\tUpdating firmware:  50%" +
                           kStillRunning + kHeldSignalNotice);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalHeld,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT),
                         [](const ::testing::TestParamInfo<int>& param_info) {
                             return std::string(sigabbrev_np(param_info.param));
                         });

// A signal the program was started with blocked stays blocked: the hold gives back the mask
// it found, and says nothing about a signal that will not take effect.
TEST(StopSignalHold, KeepsASignalBlockedBeforeItBlocked) {
    const ChildEnd end = in_child([] {
        sigset_t term;
        ::sigemptyset(&term);
        ::sigaddset(&term, SIGTERM);
        ::sigprocmask(SIG_BLOCK, &term, nullptr);
        {
            StopSignalHold hold([] { print(kHeldSignalNotice); });
            ProgressLine progress(hold);
            ::raise(SIGTERM);
            progress.pass_started({.block = 0, .block_count = 1});
        }
        print(kHoldEnded);
    });
    EXPECT_EQ(end.exit_status, 0);
    EXPECT_EQ(end.out, std::string("\r\tUpdating firmware:   0%") + kHoldEnded);
}

}  // namespace
}  // namespace tarnvel
