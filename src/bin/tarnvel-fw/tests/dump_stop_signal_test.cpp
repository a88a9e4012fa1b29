// A stop signal that comes while dump saves its copy: the copy has its name by the time the
// signal ends the program, so the result line says it was written and no notice says
// otherwise. Runs dump in a child process on an in-process simulated board, since the signal
// ends it; the test binary is linked with -Wl,--wrap=fsync so that the signal can come while
// the copy is flushed to disk.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <string>

#include "base/dialogue.hpp"
#include "bin/tarnvel-fw/dump_command.hpp"
#include "sim/in_process.hpp"
#include "sim/model/sim_board.hpp"
#include "sim/support/temp_dir.hpp"

extern "C" int __real_fsync(int fd);

namespace {

// Called before every fsync the program makes, when set.
void (*g_before_fsync)() = nullptr;

}  // namespace

extern "C" int __wrap_fsync(int fd) {
    if (g_before_fsync != nullptr) g_before_fsync();
    return __real_fsync(fd);
}

namespace tarnvel::fw {
namespace {

namespace fs = std::filesystem;

std::string read_all(int fd) {
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

TEST(DumpStopSignal, WhileTheCopyIsSavedItIsWrittenAndSaidToBeOnce) {
    const sim::TempDir scratch("tarnvel-dump.");
    ASSERT_FALSE(scratch.path().empty());
    const std::string dir = scratch.path().string();
    const std::string node = dir + "/tarnvel0";
    const std::string copy = dir + "/late.bin";
    ::close(::open(node.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    sim::SimBoard model(BoardKind::Qx630);
    sim::InProcessPath route(node, model);
    std::vector<BoardDevice> boards(1);
    boards[0].devnode = node;
    boards[0].kind = BoardKind::Qx630;

    int out[2], err[2];
    ASSERT_TRUE(::pipe(out) == 0 && ::pipe(err) == 0);
    std::cout.flush();
    flush_output();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        g_before_fsync = [] { ::raise(SIGTERM); };
        const int status = run_dump(boards, {.board = node, .output = copy, .length = 64});
        flush_output();
        ::_exit(status);
    }
    ::close(out[1]);
    ::close(err[1]);
    const std::string printed = read_all(out[0]);
    const std::string noticed = read_all(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);

    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(printed, node + ": 64 bytes of the image region written to " + copy + "\n");
    EXPECT_EQ(noticed, "");
    EXPECT_EQ(fs::file_size(copy), 64u);
}

}  // namespace
}  // namespace tarnvel::fw
