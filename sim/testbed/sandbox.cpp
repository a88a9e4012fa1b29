#include "sim/testbed/sandbox.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

namespace tarnvel::sim {
namespace {

constexpr std::string_view kPreloadLibrary = "libumockdev-preload.so.0";
// Reports writes to "reboot" to the testbed (sim/preload/reboot_preload.c).
constexpr std::string_view kSimPreloadLibrary = TARNVEL_SIM_PRELOAD;
constexpr const char* kFirmwareMountPoint = "/lib/firmware";
// Where journald takes entries (sd_journal_send writes to its socket there).
constexpr const char* kJournaldDir = "/run/systemd/journal";

// Where the child stopped, sent back to the parent over a close-on-exec pipe.
enum class Step : int {
    Stdio,
    ParentDeath,
    Namespace,
    UserMap,
    PrivateMounts,
    Scratch,
    Overlay,
    FirmwareDir,
    Bind,
    Journal,
    Capabilities,
    Exec,
};

struct ChildFailure {
    int step;
    int error;
};

std::string_view step_text(Step step) {
    switch (step) {
        case Step::Stdio: return "setting up standard descriptors";
        case Step::ParentDeath: return "asking for a signal when the caller ends";
        case Step::Namespace: return "entering a private mount namespace";
        case Step::UserMap: return "mapping the user into the namespace";
        case Step::PrivateMounts: return "making mounts private";
        case Step::Scratch: return "mounting the overlay's scratch space";
        case Step::Overlay: return "mounting a private overlay of /lib";
        case Step::FirmwareDir: return "making /lib/firmware in the overlay";
        case Step::Bind: return "binding the firmware directory onto /lib/firmware";
        case Step::Journal: return "covering the system journal's directory";
        case Step::Capabilities: return "dropping the DAC override capabilities";
        case Step::Exec: return "starting the program";
    }
    return "starting the program";
}

// Everything the child needs, prepared before the fork: after it, in a process that may have
// had other threads, only async-signal-safe calls are made.
struct ChildPlan {
    const char* exec_path = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    const char* firmware_root = nullptr;
    bool overlay = false;
    const char* lib_dir = nullptr;  // the real directory behind /lib
    const char* scratch = nullptr;
    const char* upper = nullptr;
    const char* work = nullptr;
    const char* overlay_options = nullptr;
    const char* journal_dir = nullptr;  // mounted on kJournaldDir in a /run of its own
    bool hide_journald = false;         // the machine has kJournaldDir: covered by an empty one
    bool user_namespace = false;  // not root: a user namespace grants the mounts
    const char* uid_map = nullptr;
    const char* gid_map = nullptr;
    int fds[3] = {kInheritFd, kInheritFd, kInheritFd};
    bool own_process_group = false;
    bool take_terminal = false;
    pid_t parent = 0;  // with die_with_parent: the caller, whose end kills the program
    int error_pipe = -1;
};

// Makes `group` the foreground of the controlling terminal on standard input. A process
// outside the foreground that does so is stopped by SIGTTOU unless it ignores it. Safe
// between fork and exec.
void make_foreground(pid_t group) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction saved {};
    ::sigaction(SIGTTOU, &ignore, &saved);
    ::tcsetpgrp(STDIN_FILENO, group);
    ::sigaction(SIGTTOU, &saved, nullptr);
}

[[noreturn]] void fail_child(int error_pipe, Step step) {
    ChildFailure failure{static_cast<int>(step), errno};
    (void)!::write(error_pipe, &failure, sizeof failure);
    ::_exit(127);
}

bool write_small_file(const char* path, const char* text) {
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const auto length = static_cast<ssize_t>(std::strlen(text));
    bool ok = ::write(fd, text, static_cast<std::size_t>(length)) == length;
    int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

[[noreturn]] void run_child(const ChildPlan& plan) {
    const int report = ::fcntl(plan.error_pipe, F_DUPFD_CLOEXEC, 3);
    if (report < 0) ::_exit(127);

    // Move the given descriptors above 2 first, so that no dup2 overwrites another source.
    int moved[3];
    for (int i = 0; i < 3; ++i) {
        moved[i] = plan.fds[i] >= 0 ? ::fcntl(plan.fds[i], F_DUPFD_CLOEXEC, 3) : plan.fds[i];
        if (plan.fds[i] >= 0 && moved[i] < 0) fail_child(report, Step::Stdio);
    }
    for (int i = 0; i < 3; ++i) {
        if (moved[i] >= 0 && ::dup2(moved[i], i) < 0) fail_child(report, Step::Stdio);
        if (moved[i] == kClosedFd) ::close(i);
    }
    if (plan.parent != 0) {
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0UL, 0UL, 0UL) != 0) {
            fail_child(report, Step::ParentDeath);
        }
        // The caller may have ended before the request was made.
        if (::getppid() != plan.parent) ::_exit(127);
    }
    if (plan.own_process_group) {
        const bool foreground = plan.take_terminal && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
        ::setpgid(0, 0);
        if (foreground) make_foreground(::getpid());
    }

    // The program starts with default signal handling, whatever the caller ignores or blocks
    // while it waits.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int signal : {SIGINT, SIGQUIT, SIGPIPE}) ::sigaction(signal, &default_action, nullptr);
    sigset_t empty;
    ::sigemptyset(&empty);
    ::sigprocmask(SIG_SETMASK, &empty, nullptr);

    if (plan.user_namespace) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) fail_child(report, Step::Namespace);
        if (!write_small_file("/proc/self/setgroups", "deny") ||
            !write_small_file("/proc/self/uid_map", plan.uid_map) ||
            !write_small_file("/proc/self/gid_map", plan.gid_map)) {
            fail_child(report, Step::UserMap);
        }
    } else if (::unshare(CLONE_NEWNS) != 0) {
        fail_child(report, Step::Namespace);
    }
    // Nothing mounted from here on may reach the machine's own mount table.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fail_child(report, Step::PrivateMounts);
    }
    if (plan.overlay) {
        // The overlay's upper layer lives in a tmpfs of this namespace: the /lib/firmware made
        // below exists for this program only.
        if (::mount("tmpfs", plan.scratch, "tmpfs", 0, "mode=0755") != 0 ||
            ::mkdir(plan.upper, 0755) != 0 || ::mkdir(plan.work, 0755) != 0) {
            fail_child(report, Step::Scratch);
        }
        if (::mount("overlay", plan.lib_dir, "overlay", 0, plan.overlay_options) != 0) {
            fail_child(report, Step::Overlay);
        }
        if (::mkdir(kFirmwareMountPoint, 0755) != 0 && errno != EEXIST) {
            fail_child(report, Step::FirmwareDir);
        }
    }
    if (::mount(plan.firmware_root, kFirmwareMountPoint, nullptr, MS_BIND, nullptr) != 0) {
        fail_child(report, Step::Bind);
    }
    if (plan.journal_dir != nullptr) {
        if (::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 ||
            ::mkdir("/run/systemd", 0755) != 0 || ::mkdir(kJournaldDir, 0755) != 0 ||
            ::mount(plan.journal_dir, kJournaldDir, nullptr, MS_BIND, nullptr) != 0) {
            fail_child(report, Step::Journal);
        }
    } else if (plan.hide_journald &&
               ::mount("tmpfs", kJournaldDir, "tmpfs", MS_RDONLY, "mode=0755") != 0) {
        fail_child(report, Step::Journal);
    }

    // Inherited across exec; see the header.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0UL, 0UL, 0UL) != 0 ||
        ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0UL, 0UL, 0UL) != 0) {
        fail_child(report, Step::Capabilities);
    }

    ::close_range(3, UINT_MAX, CLOSE_RANGE_CLOEXEC);
    ::execve(plan.exec_path, plan.argv, plan.envp);
    fail_child(report, Step::Exec);
}

std::optional<std::string> find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = ::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        std::size_t colon = dirs.find(':');
        std::string_view dir = dirs.substr(0, colon);
        std::string candidate = fmt::format("{}/{}", dir.empty() ? "." : dir, name);
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (colon == std::string_view::npos) return std::nullopt;
        dirs.remove_prefix(colon + 1);
    }
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    result.reserve(texts.size() + 1);
    for (auto& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

Error child_error(const ChildFailure& failure) {
    const auto step = static_cast<Step>(failure.step);
    return Error::message(
        error_kind_for_errno(failure.error),
        fmt::format("sandbox: {}: {}", step_text(step), std::strerror(failure.error)));
}

// `old` (an LD_PRELOAD list) with the simulator's library and umockdev's in it, in that order.
std::string with_preload_libraries(std::string_view old) {
    std::vector<std::string_view> libraries;
    while (!old.empty()) {
        const std::size_t end = old.find_first_of(": ");
        if (end != 0) libraries.push_back(old.substr(0, end));
        if (end == std::string_view::npos) break;
        old.remove_prefix(end + 1);
    }
    std::erase(libraries, kSimPreloadLibrary);
    auto umockdev = std::ranges::find_if(
        libraries, [](std::string_view library) { return library.ends_with(kPreloadLibrary); });
    if (umockdev == libraries.end()) {
        libraries.insert(libraries.begin(), {kSimPreloadLibrary, kPreloadLibrary});
    } else {
        libraries.insert(umockdev, kSimPreloadLibrary);
    }
    std::string joined;
    for (std::string_view library : libraries) {
        if (!joined.empty()) joined += ':';
        joined += library;
    }
    return joined;
}

}  // namespace

std::vector<std::string> sandbox_environment(const std::filesystem::path& umockdev_dir,
                                             const std::filesystem::path& state_dir) {
    std::string old_preload;
    std::string old_asan;
    bool configuration_named = false;
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        configuration_named = configuration_named || text.starts_with("TARNVEL_CONFIG=");
        if (text.starts_with("LD_PRELOAD=")) {
            old_preload = text.substr(11);
        } else if (text.starts_with("ASAN_OPTIONS=")) {
            old_asan = text.substr(13);
        } else if (!text.starts_with("UMOCKDEV_DIR=") && !text.starts_with("TARNVEL_STATE_DIR=")) {
            env.emplace_back(text);
        }
    }
    // The simulator's library comes right before umockdev's, which hands calls on to the C
    // library directly: the other way round it would never see a write. An existing order
    // (a sanitizer runtime first, say) is kept.
    const std::string preload = with_preload_libraries(old_preload);
    env.push_back("LD_PRELOAD=" + preload);
    // A sanitized program wants its runtime first in LD_PRELOAD; the preload comes first here.
    env.push_back("ASAN_OPTIONS=" + (old_asan.empty() ? std::string() : old_asan + ":") +
                  "verify_asan_link_order=0");
    env.push_back("UMOCKDEV_DIR=" + umockdev_dir.string());
    env.push_back("TARNVEL_STATE_DIR=" + state_dir.string());
    // tarnvel-fw's configuration is the machine's own too, beside its state directory: the
    // host's /etc/tarnvel never decides what a simulated board gets.
    if (!configuration_named) {
        env.push_back("TARNVEL_CONFIG=" + (state_dir.parent_path() / "tarnvel-fw.toml").string());
    }
    return env;
}

void take_back_terminal() {
    make_foreground(::getpgrp());
}

void give_terminal(pid_t group) {
    make_foreground(group);
}

Result<SandboxedChild> spawn_in_sandbox(const SandboxLaunch& launch) {
    if (launch.argv.empty()) {
        return std::unexpected(Error::os(EINVAL));
    }
    auto exec_path = find_program(launch.argv.front());
    if (!exec_path) {
        return std::unexpected(
            Error::message(ErrorKind::NotFound,
                           fmt::format("sandbox: {}: command not found", launch.argv.front())));
    }
    SandboxedChild child;
    std::filesystem::path state_dir = launch.state_dir;
    if (state_dir.empty()) {
        auto made = TempDir::create("tarnvel-state.");
        if (!made) return std::unexpected(made.error());
        state_dir = made->path();
        child.state.emplace(std::move(*made));
    }
    std::vector<std::string> argv_texts = launch.argv;
    std::vector<std::string> env_texts = sandbox_environment(launch.umockdev_dir, state_dir);
    std::vector<char*> argv = pointers(argv_texts);
    std::vector<char*> envp = pointers(env_texts);
    const std::string firmware_root = launch.firmware_root.string();

    ChildPlan plan;
    plan.exec_path = exec_path->c_str();
    plan.argv = argv.data();
    plan.envp = envp.data();
    plan.firmware_root = firmware_root.c_str();
    plan.fds[0] = launch.stdin_fd;
    plan.fds[1] = launch.stdout_fd;
    plan.fds[2] = launch.stderr_fd;
    plan.own_process_group = launch.own_process_group;
    plan.take_terminal = launch.take_terminal;
    const std::string journal_dir = launch.journal_dir.string();
    if (!launch.journal_dir.empty()) plan.journal_dir = journal_dir.c_str();
    struct stat journald {};
    plan.hide_journald = ::stat(kJournaldDir, &journald) == 0 && S_ISDIR(journald.st_mode);
    if (launch.die_with_parent) plan.parent = ::getpid();

    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    plan.user_namespace = uid != 0;
    const std::string uid_map = fmt::format("0 {} 1", uid);
    const std::string gid_map = fmt::format("0 {} 1", gid);
    plan.uid_map = uid_map.c_str();
    plan.gid_map = gid_map.c_str();

    std::string lib_dir, scratch, upper, work, overlay_options;
    struct stat st;
    const bool machine_has_firmware_dir =
        ::stat(kFirmwareMountPoint, &st) == 0 && S_ISDIR(st.st_mode);
    if (launch.firmware_mount == FirmwareMount::Bind && !machine_has_firmware_dir) {
        return std::unexpected(Error::message(
            ErrorKind::NotFound,
            "sandbox: this machine has no /lib/firmware to bind the firmware directory onto"));
    }
    plan.overlay = launch.firmware_mount == FirmwareMount::Overlay ||
                   (launch.firmware_mount == FirmwareMount::Auto && !machine_has_firmware_dir);
    if (plan.overlay) {
        char resolved[PATH_MAX];
        if (::realpath("/lib", resolved) == nullptr) {
            return std::unexpected(Error::message(
                ErrorKind::NotFound, "sandbox: this machine has no /lib to lay /lib/firmware in"));
        }
        auto dir = TempDir::create("tarnvel-sandbox.");
        if (!dir) return std::unexpected(dir.error());
        lib_dir = resolved;
        scratch = dir->path().string();
        upper = scratch + "/upper";
        work = scratch + "/work";
        overlay_options = fmt::format("lowerdir={},upperdir={},workdir={}{}", lib_dir, upper, work,
                                      plan.user_namespace ? ",userxattr" : "");
        plan.lib_dir = lib_dir.c_str();
        plan.scratch = scratch.c_str();
        plan.upper = upper.c_str();
        plan.work = work.c_str();
        plan.overlay_options = overlay_options.c_str();
        child.scratch = std::move(*dir);
    }

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return std::unexpected(Error::os(errno));
    plan.error_pipe = report[1];

    const pid_t pid = ::fork();
    if (pid < 0) {
        int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return std::unexpected(Error::os(error));
    }
    if (pid == 0) run_child(plan);

    ::close(report[1]);
    ChildFailure failure{};
    ssize_t got;
    do {
        got = ::read(report[0], &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof failure)) {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return std::unexpected(child_error(failure));
    }
    child.pid = pid;
    return child;
}

}  // namespace tarnvel::sim
