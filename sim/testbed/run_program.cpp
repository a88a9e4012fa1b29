#include "sim/testbed/run_program.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <sstream>
#include <string_view>

namespace tarnvel::sim {
namespace {

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

Result<std::pair<Fd, Fd>> make_pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return std::unexpected(Error::os(errno));
    return std::pair{Fd(ends[0]), Fd(ends[1])};
}

// Reads what is there; answers false at end of file (or on an error, which ends it too).
bool drain(Fd& fd, std::string& into) {
    char buffer[65536];
    while (true) {
        ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got > 0) {
            into.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) return true;
        fd.reset();
        return false;
    }
}

// While the program's standard input is fed, a program that stops reading must not kill the
// test with SIGPIPE: the signal is blocked in this thread, and one it raised is taken back.
class SigpipeBlock {
  public:
    SigpipeBlock() {
        sigset_t pipe_only;
        ::sigemptyset(&pipe_only);
        ::sigaddset(&pipe_only, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &pipe_only, &saved_);
    }
    ~SigpipeBlock() {
        if (!::sigismember(&saved_, SIGPIPE)) {
            sigset_t pending;
            ::sigpending(&pending);
            if (::sigismember(&pending, SIGPIPE)) {
                sigset_t pipe_only;
                ::sigemptyset(&pipe_only);
                ::sigaddset(&pipe_only, SIGPIPE);
                const timespec no_wait{0, 0};
                ::sigtimedwait(&pipe_only, nullptr, &no_wait);
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  private:
    sigset_t saved_;
};

void record_end(int status, RunResult& result) {
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
}

}  // namespace

std::string RunResult::describe_end() const {
    std::string text = exit_status ? fmt::format("exit status {}", *exit_status)
                       : signal    ? fmt::format("signal {}", *signal)
                                   : std::string("not ended");
    if (timed_out) text += " (timed out)";
    return text;
}

std::vector<std::string> launch_argv(std::vector<std::string> argv) {
    const char* under = std::getenv("TARNVEL_E2E_RUN_UNDER");
    const auto program =
        argv.empty() ? std::filesystem::path() : std::filesystem::path(argv.front()).filename();
    if (under == nullptr || (program != "tarnvel-flash" && program != "tarnvel-fw")) return argv;
    std::vector<std::string> words;
    std::istringstream split(under);
    for (std::string word; split >> word;) words.push_back(std::move(word));
    words.insert(words.end(), std::make_move_iterator(argv.begin()),
                 std::make_move_iterator(argv.end()));
    return words;
}

Result<RunResult> run_program(const Testbed& testbed, const RunOptions& options) {
    auto out_pipe = make_pipe();
    if (!out_pipe) return std::unexpected(out_pipe.error());
    auto err_pipe = make_pipe();
    if (!err_pipe) return std::unexpected(err_pipe.error());
    std::optional<std::pair<Fd, Fd>> in_pipe;
    Fd in_file;
    if (options.stdin_file) {
        in_file = Fd(::open(options.stdin_file->c_str(), O_RDONLY | O_CLOEXEC));
        if (!in_file) return std::unexpected(Error::os(errno));
    } else if (options.stdin_bytes) {
        auto made = make_pipe();
        if (!made) return std::unexpected(made.error());
        in_pipe = std::move(*made);
    }

    SigpipeBlock sigpipe_block;
    SandboxLaunch launch;
    launch.argv = launch_argv(options.argv);
    launch.umockdev_dir = testbed.root_dir();
    launch.firmware_root = options.firmware_root;
    launch.state_dir = options.state_dir.empty() ? testbed.state_dir() : options.state_dir;
    launch.firmware_mount = options.firmware_mount;
    launch.journal_dir = options.journal_dir;
    launch.stdin_fd = in_file ? in_file.get() : in_pipe ? in_pipe->first.get() : kClosedFd;
    launch.stdout_fd = out_pipe->second.get();
    launch.stderr_fd = err_pipe->second.get();
    launch.own_process_group = true;
    auto child = spawn_in_sandbox(launch);
    if (!child) return std::unexpected(child.error());
    const pid_t pid = child->pid;

    Fd out = std::move(out_pipe->first);
    Fd err = std::move(err_pipe->first);
    out_pipe->second.reset();
    err_pipe->second.reset();
    Fd in;
    std::string_view to_write;
    if (in_pipe) {
        in_pipe->first.reset();
        in = std::move(in_pipe->second);
        to_write = *options.stdin_bytes;
        if (to_write.empty()) in.reset();
    }
    for (const Fd* fd : {&out, &err, &in}) {
        if (*fd) ::fcntl(fd->get(), F_SETFL, O_NONBLOCK);
    }
    // glibc's pidfd_open wrapper lacks C linkage in its header here; the system call is the same.
    Fd exited(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));

    RunResult result;
    bool reaped = false;
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    while (out || err || !reaped) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            break;
        }
        pollfd fds[4] = {{out.get(), POLLIN, 0},
                         {err.get(), POLLIN, 0},
                         {in.get(), POLLOUT, 0},
                         {reaped ? -1 : exited.get(), POLLIN, 0}};
        // Without a pidfd, look at the child every few milliseconds instead.
        const int wait_ms = exited ? static_cast<int>(left.count())
                                   : static_cast<int>(std::min<long>(left.count(), 5));
        if (::poll(fds, 4, wait_ms) < 0 && errno != EINTR) return std::unexpected(Error::os(errno));
        if (out && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) drain(out, result.out);
        if (err && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) drain(err, result.err);
        if (in && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t put = ::write(in.get(), to_write.data(), to_write.size());
            if (put > 0) to_write.remove_prefix(static_cast<std::size_t>(put));
            // A program that has closed its input takes no more: that is its business.
            if (to_write.empty() || (put < 0 && errno != EAGAIN && errno != EINTR)) in.reset();
        }
        if (!reaped) {
            int status;
            pid_t got = ::waitpid(pid, &status, WNOHANG);
            if (got == pid) {
                record_end(status, result);
                reaped = true;
                in.reset();
            }
        }
    }
    if (result.timed_out) {
        ::kill(-pid, SIGKILL);
        if (!reaped) {
            int status;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            record_end(status, result);
        }
        if (out) drain(out, result.out);
        if (err) drain(err, result.err);
    }
    return result;
}

Result<RunResult> run_program(const Testbed& testbed, std::vector<std::string> argv,
                              std::optional<std::string> stdin_bytes,
                              const std::filesystem::path& firmware_root,
                              std::chrono::milliseconds timeout) {
    RunOptions options;
    options.argv = std::move(argv);
    options.stdin_bytes = std::move(stdin_bytes);
    options.firmware_root = firmware_root;
    options.timeout = timeout;
    return run_program(testbed, options);
}

}  // namespace tarnvel::sim
