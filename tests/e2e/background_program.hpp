#pragma once
// A program (the updater unless told otherwise) running in the background in the simulated
// machine, for tests that act while it runs: answer it later, send it a signal, or start a
// second one beside it. Standard input stays open until the test closes it; standard output
// and error are collected as they come. On request all three are one pseudo-terminal instead
// of pipes, as on an operator's console: what is typed is echoed, the program knows it talks to
// a terminal, and what it writes to either output shows on the same screen.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/testbed/run_program.hpp"
#include "sim/testbed/sandbox.hpp"

namespace tarnvel::testing {

struct BackgroundLaunch {
    std::vector<std::string> argv = {TARNVEL_FLASH_BINARY};
    // Standard input, output and error on one pseudo-terminal, as on an operator's console.
    bool terminal = false;
    // The program's state directory; none: the testbed's.
    std::optional<std::filesystem::path> state_dir = std::nullopt;
};

class BackgroundProgram {
  public:
    BackgroundProgram(const sim::Testbed& testbed, const std::filesystem::path& firmware_root,
                      BackgroundLaunch options = {}) {
        int in[2], out[2], err[2];
        if ((options.terminal ? !open_terminal(in, out)
                              : ::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) ||
            ::pipe2(err, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "no pipes or terminal: " << std::strerror(errno);
            return;
        }
        sim::SandboxLaunch launch;
        launch.argv = sim::launch_argv(std::move(options.argv));
        launch.umockdev_dir = testbed.root_dir();
        launch.firmware_root = firmware_root;
        launch.state_dir = options.state_dir.value_or(testbed.state_dir());
        launch.stdin_fd = in[0];
        launch.stdout_fd = out[1];
        launch.stderr_fd = options.terminal ? out[1] : err[1];
        launch.own_process_group = true;
        // The program must meet the stop signals with their default action even where the
        // tests run with them ignored (as under nohup): an ignored disposition is inherited.
        struct sigaction saved[2]{};
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        ::sigaction(SIGHUP, &default_action, &saved[0]);
        ::sigaction(SIGTERM, &default_action, &saved[1]);
        auto child = sim::spawn_in_sandbox(launch);
        ::sigaction(SIGHUP, &saved[0], nullptr);
        ::sigaction(SIGTERM, &saved[1], nullptr);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        input_ = in[1];
        out_ = out[0];
        err_ = err[0];
        ::fcntl(out_, F_SETFL, O_NONBLOCK);
        ::fcntl(err_, F_SETFL, O_NONBLOCK);
        if (!child) {
            ADD_FAILURE() << error_text(child.error());
            return;
        }
        pid_ = child->pid;
        scratch_ = std::move(child->scratch);
        state_ = std::move(child->state);
    }

    ~BackgroundProgram() {
        if (pid_ > 0 && !ended()) {
            ::kill(-pid_, SIGKILL);
            int status;
            ::waitpid(pid_, &status, 0);
        }
        for (int fd : {input_, out_, err_}) {
            if (fd >= 0) ::close(fd);
        }
    }
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    // Types `text` on the program's standard input. A program that has gone takes nothing,
    // and the broken pipe must not end the test: SIGPIPE is held and taken back.
    void type(std::string_view text) {
        sigset_t pipe_only, saved;
        ::sigemptyset(&pipe_only);
        ::sigaddset(&pipe_only, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &pipe_only, &saved);
        while (!text.empty()) {
            const ssize_t n = ::write(input_, text.data(), text.size());
            if (n <= 0) break;
            text.remove_prefix(static_cast<std::size_t>(n));
        }
        const timespec no_wait{0, 0};
        while (::sigtimedwait(&pipe_only, nullptr, &no_wait) == SIGPIPE) {
        }
        ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    }
    // Ends the program's standard input.
    void close_input() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
    }

    void signal(int number) { ::kill(pid_, number); }

    // Collects output until `condition` holds or `limit` has passed; whether it held.
    bool wait_for(const std::function<bool()>& condition,
                  std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            ::poll(fds, 2, 2);
            collect();
        }
        return true;
    }
    // Waits until the program has printed `text`.
    bool wait_for_output(std::string_view text) {
        return wait_for([&] { return result_.out.find(text) != std::string::npos; });
    }

    // Waits for the program's end and returns what it printed and how it ended; a program
    // still running after `limit` is killed and counts as timed out.
    const sim::RunResult& finish(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        close_input();
        if (!wait_for([this] { return ended(); }, limit)) {
            result_.timed_out = true;
            ::kill(-pid_, SIGKILL);
            int status;
            ::waitpid(pid_, &status, 0);
            record(status);
        }
        // Whatever was still in the pipes.
        wait_for([this] { return out_ < 0 && err_ < 0; }, std::chrono::seconds(5));
        return result_;
    }

    const std::string& out() const { return result_.out; }
    const std::string& err() const { return result_.err; }

  private:
    // A pseudo-terminal: the program's side as in[0] and out[1], the test's (the terminal's
    // master side: what is typed goes in, what the program writes and the echo come out) as
    // in[1] and out[0].
    static bool open_terminal(int in[2], int out[2]) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0) return false;
        char name[64];
        int slave = -1;
        if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
            ::ptsname_r(master, name, sizeof name) != 0 ||
            (slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
            ::close(master);
            return false;
        }
        in[0] = slave;
        out[1] = ::fcntl(slave, F_DUPFD_CLOEXEC, 0);
        in[1] = ::fcntl(master, F_DUPFD_CLOEXEC, 0);
        out[0] = master;
        return out[1] >= 0 && in[1] >= 0;
    }

    bool ended() {
        if (reaped_) return true;
        int status;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
        record(status);
        return true;
    }
    void record(int status) {
        reaped_ = true;
        if (WIFEXITED(status)) result_.exit_status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
    }
    void collect() {
        drain(out_, result_.out);
        drain(err_, result_.err);
    }
    static void drain(int& fd, std::string& into) {
        if (fd < 0) return;
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                into.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
            ::close(fd);
            fd = -1;
            return;
        }
    }

    pid_t pid_ = -1;
    int input_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool reaped_ = false;
    std::optional<sim::TempDir> scratch_;
    std::optional<sim::TempDir> state_;
    sim::RunResult result_;
};

}  // namespace tarnvel::testing
