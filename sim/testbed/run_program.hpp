#pragma once
// Runs a program to its end inside the simulated machine (see sandbox.hpp), feeding its
// standard input and collecting its standard output and standard error.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "sim/testbed/sandbox.hpp"
#include "sim/testbed/testbed.hpp"

namespace tarnvel::sim {

// A run through umockdev pays for every register access: tarnvel-fw's write of a small image
// reads, erases, writes and reads back at least one whole erase block (its backup reaches to
// the block's end), some 100,000 accesses, which a loaded machine takes half a minute for.
inline constexpr std::chrono::milliseconds kDefaultRunTimeout{60000};

struct RunOptions {
    std::vector<std::string> argv;
    // The bytes on standard input, after which it reaches its end; none: descriptor 0 is
    // closed when the program starts.
    std::optional<std::string> stdin_bytes;
    std::filesystem::path firmware_root;   // holds tarnvel/*.zip; bound onto /lib/firmware
    std::filesystem::path state_dir = {};  // TARNVEL_STATE_DIR; default: the testbed's own
    // The program and everything it started are killed after this long.
    std::chrono::milliseconds timeout = kDefaultRunTimeout;
    FirmwareMount firmware_mount = FirmwareMount::Auto;
    // Instead of stdin_bytes: standard input read from this file (/dev/zero: a line that never
    // ends).
    std::optional<std::filesystem::path> stdin_file = std::nullopt;
    // The program's /run/systemd/journal (SandboxLaunch::journal_dir); empty: none.
    std::filesystem::path journal_dir = {};
};

struct RunResult {
    std::string out;                 // standard output, byte for byte
    std::string err;                 // standard error
    std::optional<int> exit_status;  // when the program exited
    std::optional<int> signal;       // when a signal ended it
    bool timed_out = false;          // it was killed after the time-out

    bool exited_with(int status) const { return exit_status == status; }
    // "exit status 0", "signal 9 (timed out)": for test failure messages.
    std::string describe_end() const;
};

// The command line that starts `argv` in the machine: `argv` itself, or for the project's
// programs (a program file named tarnvel-flash or tarnvel-fw) the words of the environment
// variable TARNVEL_E2E_RUN_UNDER, when it is set, followed by `argv`: a memory checker, for
// example.
std::vector<std::string> launch_argv(std::vector<std::string> argv);

Result<RunResult> run_program(const Testbed& testbed, const RunOptions& options);
Result<RunResult> run_program(const Testbed& testbed, std::vector<std::string> argv,
                              std::optional<std::string> stdin_bytes,
                              const std::filesystem::path& firmware_root,
                              std::chrono::milliseconds timeout = kDefaultRunTimeout);

}  // namespace tarnvel::sim
