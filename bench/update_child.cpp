#include "update_child.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "firmware/firmware_archive.hpp"
#include "simulated_update.hpp"

extern char** environ;

namespace tarnvel::bench {
namespace {

constexpr int kReportFd = 3;

// The process's peak resident set so far, from /proc/self/status (VmHWM, in KiB).
std::uint64_t peak_resident_bytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    }
    return 0;
}

void report(std::string_view text) {
    (void)!::write(kReportFd, text.data(), text.size());
}

}  // namespace

int run_update_child(int argc, char** argv) {
    if (argc != 2) {
        report("error usage: --update-child KIND ARCHIVE\n");
        return 2;
    }
    const auto kind = static_cast<BoardKind>(std::atoi(argv[0]));
    const std::string archive = argv[1];
    report(fmt::format("baseline_bytes {}\n", peak_resident_bytes()));

    SimulatedBoard board(kind);
    auto image = find_firmware_image_at(archive, kind);
    if (!image) {
        report(fmt::format("error {}\n", error_text(image.error())));
        return 2;
    }
    report(fmt::format("image_bytes {}\n", image->data.size()));
    if (auto failure = program_quietly(board.device(), *image); !failure.empty()) {
        report(fmt::format("error {}\n", failure));
        return 2;
    }
    report(fmt::format("chip_bytes {}\n", board.chip_bytes()));
    report(fmt::format("peak_bytes {}\n", peak_resident_bytes()));
    return 0;
}

UpdateMemory measure_update_memory(BoardKind kind, const std::string& archive_path) {
    UpdateMemory result;
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        result.failure = "pipe failed";
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], kReportFd);

    const std::string kind_arg = std::to_string(static_cast<int>(kind));
    std::string self = "/proc/self/exe";
    std::string flag(kUpdateChildFlag);
    char* child_argv[] = {self.data(), flag.data(), const_cast<char*>(kind_arg.c_str()),
                          const_cast<char*>(archive_path.c_str()), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, child_argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[1]);
    if (spawned != 0) {
        ::close(pipe_fds[0]);
        result.failure = "spawn failed";
        return result;
    }

    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipe_fds[0]);
    // The child's own VmHWM, not the ru_maxrss that wait4 gives: a spawned child runs in its
    // parent's address space until it execs, and Linux counts that space's peak as the
    // child's.
    int status = 0;
    ::waitpid(pid, &status, 0);

    std::istringstream lines(text);
    std::string key;
    while (lines >> key) {
        if (key == "error") {
            std::getline(lines, result.failure);
        } else {
            std::uint64_t value = 0;
            lines >> value;
            if (key == "baseline_bytes") result.baseline_bytes = value;
            if (key == "image_bytes") result.image_bytes = value;
            if (key == "chip_bytes") result.chip_bytes = value;
            if (key == "peak_bytes") result.peak_bytes = value;
        }
    }
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && result.failure.empty();
    if (!result.ok && result.failure.empty()) result.failure = "update child failed";
    return result;
}

}  // namespace tarnvel::bench
