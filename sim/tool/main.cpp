// tarnvel-sim: runs a command on a simulated machine with tarnvel boards. The boards appear
// in udev and sysfs through umockdev, their register ioctl is served by simulated hardware,
// and /lib/firmware/tarnvel holds archives made for them, for the command alone.
//
//   tarnvel-sim [--firmware DIR] [BOARD...] -- COMMAND [ARG...]

#include <signal.h>
#include <sys/wait.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "sim/testbed/board_description.hpp"
#include "sim/testbed/described_boards.hpp"
#include "sim/testbed/firmware_dir.hpp"
#include "sim/testbed/sandbox.hpp"
#include "sim/testbed/testbed.hpp"
#include "sim/tool/demo_boards.hpp"

namespace {

using namespace tarnvel;
using namespace tarnvel::sim;

constexpr int kUsageError = 2;
constexpr int kSetupError = 125;  // like env(1): the command never ran

struct Arguments {
    std::vector<std::string_view> boards;
    std::optional<std::string> firmware;
    std::vector<std::string> command;
    bool help = false;
};

void print_usage(std::FILE* to) {
    fmt::print(to,
               "Usage: tarnvel-sim [--firmware DIR] [BOARD...] -- COMMAND [ARG...]\n"
               "Runs COMMAND with simulated tarnvel boards in udev and sysfs and a firmware\n"
               "directory of its own on /lib/firmware/tarnvel, in a private mount namespace.\n"
               "COMMAND uses this terminal; tarnvel-sim exits with its status.\n\n"
               "Without BOARD arguments: one board of every kind 0-10, with archives holding\n"
               "a newer image for most, an equal and an older one for one board each, and no\n"
               "archive for one.\n\n"
               "  --firmware DIR  use the archives in DIR instead of generating them\n"
               "  --help          this text\n\n"
               "{}",
               board_description_help());
}

Result<Arguments> parse_arguments(int argc, char** argv) {
    Arguments args;
    int i = 1;
    for (; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") {
            args.help = true;
        } else if (arg == "--firmware") {
            if (i + 1 >= argc) {
                return std::unexpected(
                    Error::message(ErrorKind::InvalidInput, "--firmware needs a directory"));
            }
            args.firmware = argv[++i];
        } else if (arg.starts_with("--")) {
            return std::unexpected(
                Error::message(ErrorKind::InvalidInput, fmt::format("unknown option {}", arg)));
        } else {
            args.boards.push_back(arg);
        }
    }
    if (args.help) return args;
    if (i >= argc - 1) {
        return std::unexpected(Error::message(ErrorKind::InvalidInput, "no command after --"));
    }
    for (++i; i < argc; ++i) args.command.emplace_back(argv[i]);
    return args;
}

int wait_for(pid_t pid) {
    // Like a shell running a foreground job: ^C and ^\ are the command's to handle.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old_int {
    }, old_quit{};
    ::sigaction(SIGINT, &ignore, &old_int);
    ::sigaction(SIGQUIT, &ignore, &old_quit);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ::sigaction(SIGINT, &old_int, nullptr);
    ::sigaction(SIGQUIT, &old_quit, nullptr);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return kSetupError;
}

int fail(std::string_view what, const Error& error) {
    fmt::print(stderr, "tarnvel-sim: {}: {}\n", what, error_text(error));
    return kSetupError;
}

int run(const Arguments& args) {
    std::vector<BoardDescription> boards;
    const auto& texts = args.boards.empty() ? demo_board_descriptions() : args.boards;
    for (std::string_view text : texts) {
        auto board = parse_board_description(text);
        if (!board) {
            fmt::print(stderr, "tarnvel-sim: {}\n", error_text(board.error()));
            return kUsageError;
        }
        boards.push_back(std::move(*board));
    }

    auto firmware = args.firmware ? FirmwareDir::link_to(*args.firmware) : FirmwareDir::create();
    if (!firmware) return fail("firmware directory", firmware.error());
    auto testbed = Testbed::create();
    if (!testbed) return fail("testbed", testbed.error());
    (*testbed)->set_firmware_archives(firmware->archive_dir());
    auto notes =
        add_described_boards(**testbed, args.firmware ? nullptr : &*firmware, std::move(boards));
    if (!notes) return fail("boards", notes.error());
    for (const auto& note : *notes) fmt::print(stderr, "tarnvel-sim: {}\n", note);
    std::fflush(stderr);

    SandboxLaunch launch;
    launch.argv = args.command;
    launch.umockdev_dir = (*testbed)->root_dir();
    launch.firmware_root = firmware->path();
    auto child = spawn_in_sandbox(launch);
    if (!child) return fail(args.command.front(), child.error());
    return wait_for(child->pid);
}

}  // namespace

int main(int argc, char** argv) {
    auto args = parse_arguments(argc, argv);
    if (!args) {
        fmt::print(stderr, "tarnvel-sim: {}\n", error_text(args.error()));
        print_usage(stderr);
        return kUsageError;
    }
    if (args->help) {
        print_usage(stdout);
        return 0;
    }
    return run(*args);
}
