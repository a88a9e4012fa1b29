#pragma once
// Starts a program inside the simulated machine: it sees the testbed through
// libumockdev-preload, and its own firmware directory on /lib/firmware through a private
// mount namespace. Nothing on the real machine changes: /lib/firmware is covered only inside
// the namespace, and if the machine has no /lib/firmware the directory is made in a private
// overlay of /lib instead of in the real tree.
//
// The program keeps its state (the journal of board writes) in a directory of its own, named
// to it in TARNVEL_STATE_DIR: the caller's, or a fresh temporary one. It never reaches the
// machine's /var/lib/tarnvel.
//
// The program does not reach the machine's system journal: where journald runs, an empty
// directory covers /run/systemd/journal, so that what a simulated write logs stays out of the
// machine's log; a caller may put a directory of its own there instead (journal_dir), with a
// socket of its own to read what the program logs.
//
// The program runs without the DAC override capabilities, so file modes in the testbed
// refuse it what they would refuse an operator (a device node of mode 0000, a read-only
// "reboot"), even when the tests run as root. Its timer slack is 1 ns: every emulated ioctl
// is a socket round trip with sleeps in it, and the default 50 µs slack roughly doubles it.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "sim/support/temp_dir.hpp"

namespace tarnvel::sim {

enum class FirmwareMount : std::uint8_t {
    Auto,  // Bind when the machine has /lib/firmware, otherwise Overlay
    // The firmware root is bound onto the existing /lib/firmware; on a machine without one
    // (a minimal system: only some packages make it) the launch fails with NotFound.
    Bind,
    Overlay,  // /lib gets a private overlay in which /lib/firmware is made, then the bind
};

// What a standard descriptor of the program becomes.
inline constexpr int kInheritFd = -1;  // the caller's own
inline constexpr int kClosedFd = -2;   // closed

struct SandboxLaunch {
    std::vector<std::string> argv;         // argv[0] is looked up in PATH unless it holds a '/'
    std::filesystem::path umockdev_dir;    // the testbed's root
    std::filesystem::path firmware_root;   // a directory holding tarnvel/*.zip
    std::filesystem::path state_dir = {};  // TARNVEL_STATE_DIR; empty: a temporary one of its own
    FirmwareMount firmware_mount = FirmwareMount::Auto;
    int stdin_fd = kInheritFd;  // or a descriptor to put on 0
    int stdout_fd = kInheritFd;
    int stderr_fd = kInheritFd;
    bool own_process_group = false;  // so that a time-out can kill all it started
    // With own_process_group, and when standard input is the caller's controlling terminal
    // with the caller in the foreground: the program's group becomes the terminal's
    // foreground, as a shell does for a job. The caller takes it back with
    // take_back_terminal once the program has ended.
    bool take_terminal = false;
    // The program is killed (SIGKILL) when the thread that started it ends, also when the
    // caller is killed: it never runs on without the machine that serves its boards.
    bool die_with_parent = false;
    // The directory the program finds on /run/systemd/journal, in a /run of its own: a socket
    // named "socket" there takes what it sends to journald. Empty: the machine's journal
    // hidden, as above.
    std::filesystem::path journal_dir = {};
};

struct SandboxedChild {
    pid_t pid = -1;
    std::optional<TempDir> scratch;  // the overlay's upper layer: keep it until the child ends
    std::optional<TempDir> state;    // the state directory made for it, if the caller gave none
};

// Forks and execs. Fails, with the child already reaped, when the namespace, the mounts or
// the exec fail.
Result<SandboxedChild> spawn_in_sandbox(const SandboxLaunch& launch);

// The libc environment of this process with the preload and sanitizer settings the program
// needs to run in the testbed, its state directory, and (unless this process names one)
// tarnvel-fw's configuration file beside it.
std::vector<std::string> sandbox_environment(const std::filesystem::path& umockdev_dir,
                                             const std::filesystem::path& state_dir);

// Makes this process's group the foreground of its controlling terminal on standard input
// again, when it was before a program took it (SandboxLaunch::take_terminal).
void take_back_terminal();
// Makes `group` the foreground of that terminal, as take_terminal did at the start.
void give_terminal(pid_t group);

}  // namespace tarnvel::sim
