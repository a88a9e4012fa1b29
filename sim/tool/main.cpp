// tarnvel-sim: runs a command on a simulated machine with tarnvel boards. The boards appear
// in udev and sysfs through umockdev, their register ioctl is served by simulated hardware,
// and /lib/firmware/tarnvel holds archives made for them, for the command alone. A machine
// can be kept in a directory, so that the next run is a power-on of the same boards, and its
// power can be cut in the middle of a run.
//
//   tarnvel-sim [--firmware DIR] [--state DIR [--power-cut N [--cut-seed S]]
//               [--remove-board I] [--replace-board I=BOARD] [--warm-reboot]] [BOARD...]
//               -- COMMAND [ARG...]

#include <signal.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "sim/model/power_supply.hpp"
#include "sim/testbed/board_description.hpp"
#include "sim/testbed/described_boards.hpp"
#include "sim/testbed/firmware_dir.hpp"
#include "sim/testbed/machine_state.hpp"
#include "sim/testbed/sandbox.hpp"
#include "sim/testbed/testbed.hpp"
#include "sim/tool/command_wait.hpp"
#include "sim/tool/demo_boards.hpp"

namespace {

using namespace tarnvel;
using namespace tarnvel::sim;

constexpr int kUsageError = 2;
constexpr int kSetupError = 125;  // like env(1): the command never ran

struct Arguments {
    std::vector<std::string> boards;
    std::optional<std::string> firmware;
    std::optional<std::string> state;
    std::optional<std::uint64_t> power_cut;
    std::optional<std::uint64_t> cut_seed;
    std::optional<std::size_t> remove_board;
    std::optional<std::pair<std::size_t, std::string>> replace_board;
    bool warm_reboot = false;
    std::vector<std::string> command;
    bool help = false;
};

void print_usage(std::FILE* to) {
    fmt::print(to,
               "Usage: tarnvel-sim [--firmware DIR] [--state DIR [--power-cut N [--cut-seed S]]\n"
               "                   [--remove-board I] [--replace-board I=BOARD] [--warm-reboot]]\n"
               "                   [BOARD...] -- COMMAND [ARG...]\n"
               "Runs COMMAND with simulated tarnvel boards in udev and sysfs and a firmware\n"
               "directory of its own on /lib/firmware/tarnvel, in a private mount namespace.\n"
               "COMMAND uses this terminal; tarnvel-sim exits with its status (128 + the\n"
               "signal's number when a signal ended it).\n\n"
               "Without BOARD arguments: one board of every kind 0-10, with archives holding\n"
               "a newer image for most, an equal and an older one for one board each, and no\n"
               "archive for one.\n\n"
               "  --firmware DIR  use the archives in DIR instead of generating them\n"
               "  --state DIR     keep the machine in DIR. The first run with a new or empty\n"
               "                  DIR makes it from the BOARD arguments, with its archives in\n"
               "                  DIR/firmware; every later run is a power-on of the same\n"
               "                  boards (each starts what its flash holds, as on a reboot)\n"
               "                  and refuses BOARD arguments or --firmware that would change\n"
               "                  them. The boards' flash and what they report are kept when\n"
               "                  COMMAND ends, each file replaced whole.\n"
               "  --power-cut N   cut the power at the N-th register access of the run,\n"
               "                  counted over all boards from 1 (needs --state): that access\n"
               "                  never reaches its board, the chips stop where they are, and\n"
               "                  COMMAND and its process group are killed at once (SIGKILL).\n"
               "                  DIR keeps the machine as the cut left it.\n"
               "  --cut-seed S    the seed of what an interrupted operation leaves (default N)\n"
               "  --remove-board I\n"
               "                  take board I (from 0, as DIR/boards lists them) out of the\n"
               "                  machine kept in DIR before this power-on: its PCI slot stays\n"
               "                  empty, every other board keeps its slot (DIR/boards gets\n"
               "                  their slot=), and the boards after it move up a place (their\n"
               "                  default nodes with them, as the driver numbers nodes at boot)\n"
               "  --replace-board I=BOARD\n"
               "                  put BOARD in the slot of board I of the machine kept in DIR\n"
               "                  before this power-on: a new board, with the flash of one just\n"
               "                  made; the firmware archives stay as DIR/firmware holds them\n"
               "  --warm-reboot   this power-on of the machine kept in DIR is a warm reboot: a\n"
               "                  new boot, but every board keeps running the firmware it ran\n"
               "                  when the last run ended, as boards do when only the host\n"
               "                  reboots; without it, each starts what its flash holds\n"
               "  --help          this text\n\n"
               "COMMAND's state directory (TARNVEL_STATE_DIR) is DIR/state with --state, else a\n"
               "temporary one: never the machine's own /var/lib/tarnvel. tarnvel-fw's\n"
               "configuration file (TARNVEL_CONFIG) is DIR/tarnvel-fw.toml, or one in the\n"
               "temporary directory, unless TARNVEL_CONFIG names one: never /etc/tarnvel's.\n\n"
               "SIGTERM, SIGHUP or SIGINT sent to tarnvel-sim cut the power at that moment, as\n"
               "--power-cut does at an access: the chips stop where they are, COMMAND and its\n"
               "process group are killed (SIGKILL), DIR keeps the machine as the cut left it,\n"
               "and tarnvel-sim ends by that signal. One ignored when tarnvel-sim starts (nohup)\n"
               "stays ignored. COMMAND runs in a process group of its own, which has the\n"
               "terminal: ^C and ^Z there are its to handle. It is killed when tarnvel-sim is\n"
               "killed by any signal; SIGKILL leaves DIR's flash as the last run kept it, while\n"
               "DIR/state holds what COMMAND recorded since. Temporary directories are removed\n"
               "on every end but SIGKILL.\n\n"
               "What a cut leaves: a page program or block erase that no status poll has seen\n"
               "done yet is left half done. Working through its cells in address order, the\n"
               "first k have their new value, the k-th some of its bits, the rest their old\n"
               "value; k and those bits come from SplitMix64 seeded with S mixed with the\n"
               "operation's first address. The same N and S on the same run leave the same\n"
               "cells. An operation already seen done, or a command not yet complete (a\n"
               "program buffer not yet confirmed, a frame still selected), leaves nothing.\n\n"
               "{}",
               board_description_help());
}

Error usage(std::string text) {
    return Error::message(ErrorKind::InvalidInput, std::move(text));
}

Result<std::uint64_t> parse_count(std::string_view option, std::string_view text, bool zero_ok) {
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() ||
        (value == 0 && !zero_ok)) {
        return std::unexpected(
            usage(fmt::format("{} needs a number{}", option, zero_ok ? "" : " from 1")));
    }
    return value;
}

Result<Arguments> parse_arguments(int argc, char** argv) {
    Arguments args;
    int i = 1;
    auto value_of = [&](std::string_view option) -> Result<std::string_view> {
        if (i + 1 >= argc) return std::unexpected(usage(fmt::format("{} needs a value", option)));
        return std::string_view(argv[++i]);
    };
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") {
            args.help = true;
        } else if (arg == "--firmware" || arg == "--state") {
            auto value = value_of(arg);
            if (!value) return std::unexpected(value.error());
            (arg == "--firmware" ? args.firmware : args.state) = std::string(*value);
        } else if (arg == "--power-cut" || arg == "--cut-seed") {
            auto value = value_of(arg);
            if (!value) return std::unexpected(value.error());
            auto number = parse_count(arg, *value, arg == "--cut-seed");
            if (!number) return std::unexpected(number.error());
            (arg == "--power-cut" ? args.power_cut : args.cut_seed) = *number;
        } else if (arg == "--remove-board") {
            auto value = value_of(arg);
            if (!value) return std::unexpected(value.error());
            auto number = parse_count(arg, *value, true);
            if (!number) return std::unexpected(number.error());
            args.remove_board = static_cast<std::size_t>(*number);
        } else if (arg == "--replace-board") {
            auto value = value_of(arg);
            if (!value) return std::unexpected(value.error());
            const std::size_t equals = value->find('=');
            auto number = parse_count(arg, value->substr(0, equals), true);
            if (equals == std::string_view::npos || !number) {
                return std::unexpected(usage("--replace-board needs I=BOARD"));
            }
            args.replace_board = {static_cast<std::size_t>(*number),
                                  std::string(value->substr(equals + 1))};
        } else if (arg == "--warm-reboot") {
            args.warm_reboot = true;
        } else if (arg.starts_with("--")) {
            return std::unexpected(usage(fmt::format("unknown option {}", arg)));
        } else {
            args.boards.emplace_back(arg);
        }
    }
    if (args.help) return args;
    if (i >= argc - 1) return std::unexpected(usage("no command after --"));
    if (args.power_cut && !args.state) {
        return std::unexpected(
            usage("--power-cut needs --state: the machine the cut leaves is kept there"));
    }
    if (args.cut_seed && !args.power_cut)
        return std::unexpected(usage("--cut-seed without --power-cut"));
    for (const auto& [given, option] :
         {std::pair{args.remove_board.has_value(), "--remove-board"},
          std::pair{args.replace_board.has_value(), "--replace-board"},
          std::pair{args.warm_reboot, "--warm-reboot"}}) {
        if (given && !args.state) {
            return std::unexpected(
                usage(fmt::format("{} needs --state: it changes the machine kept there", option)));
        }
    }
    for (++i; i < argc; ++i) args.command.emplace_back(argv[i]);
    return args;
}

int fail(std::string_view what, const Error& error) {
    fmt::print(stderr, "tarnvel-sim: {}: {}\n", what, error_text(error));
    return kSetupError;
}

// A usage error in one line, and where to read more: the whole help would bury it.
int usage_error(std::string_view reason) {
    fmt::print(stderr, "tarnvel-sim: {} (tarnvel-sim --help tells more)\n", reason);
    return kUsageError;
}

int refuse(std::string_view why) {
    fmt::print(stderr, "tarnvel-sim: {}\n", why);
    return kUsageError;
}

// The archives of `from` into the machine's own firmware directory.
Status copy_archives(const std::filesystem::path& from, const FirmwareDir& to) {
    std::error_code ec;
    std::filesystem::copy(from, to.archive_dir(),
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing,
                          ec);
    if (ec) return std::unexpected(Error::os(ec.value()));
    return {};
}

// Kills the command's process group at the power cut, from inside the register access that
// meets it, so that the command runs no further instruction; or, when the cut comes before
// the group is known, as soon as it is.
class CommandKiller {
  public:
    void cut() {
        cut_ = true;
        if (const pid_t group = group_.load(); group > 0) ::kill(-group, SIGKILL);
    }
    void started(pid_t group) {
        group_ = group;
        if (cut_) ::kill(-group, SIGKILL);
    }
    bool was_cut() const { return cut_; }

  private:
    std::atomic<pid_t> group_{0};
    std::atomic<bool> cut_{false};
};

// How tarnvel-sim ends: with an exit status, or by the signal that cut the power.
struct Outcome {
    // From a status alone, as every refusal and failure answers.
    Outcome(int exit_status, int by_signal = 0) : status(exit_status), signal(by_signal) {}
    int status;
    int signal;
};

Outcome run(const Arguments& args) {
    // Before the testbed's threads start, so that they never take a power-cut signal.
    const CommandWait command_wait;
    std::optional<MachineState> machine;
    if (args.state) {
        // The programs take only an absolute state directory (DIR/state).
        std::error_code ec;
        auto opened = MachineState::open(std::filesystem::absolute(*args.state, ec));
        if (!opened) return fail("state", opened.error());
        machine = std::move(*opened);
    }
    const bool power_on = machine && machine->boards();
    std::vector<std::string> texts;
    if (power_on) {
        if (!args.boards.empty() && args.boards != *machine->boards()) {
            return refuse(fmt::format(
                "{} holds a machine made from other boards ({}): run without BOARD arguments "
                "to power it on, or give a new state directory",
                machine->dir().string(), fmt::join(*machine->boards(), " ")));
        }
        if (args.firmware) {
            return refuse(fmt::format(
                "{} keeps its machine's firmware archives in {}: change them there",
                machine->dir().string(), (machine->firmware_root() / "tarnvel").string()));
        }
        if (args.remove_board || args.replace_board) {
            if (auto changed = machine->change_boards(args.remove_board, args.replace_board);
                !changed) {
                return usage_error(error_text(changed.error()));
            }
        }
        texts = *machine->boards();
    } else if (args.remove_board || args.replace_board || args.warm_reboot) {
        return refuse(fmt::format("{} holds no machine yet to change or reboot: make it first",
                                  std::filesystem::absolute(*args.state).string()));
    } else if (args.boards.empty()) {
        for (std::string_view text : demo_board_descriptions()) texts.emplace_back(text);
    } else {
        texts = args.boards;
    }
    std::vector<BoardDescription> boards;
    for (std::string_view text : texts) {
        auto board = parse_board_description(text);
        if (!board) return usage_error(error_text(board.error()));
        boards.push_back(std::move(*board));
    }

    auto firmware = machine ? FirmwareDir::at(machine->firmware_root())
                    : args.firmware
                        ? FirmwareDir::link_to(std::filesystem::absolute(*args.firmware))
                        : FirmwareDir::create();
    if (!firmware) return fail("firmware directory", firmware.error());
    if (machine && !power_on && args.firmware) {
        if (auto copied = copy_archives(*args.firmware, *firmware); !copied) {
            return fail("firmware directory", copied.error());
        }
    }
    // Archives are made for new boards only, and not when the operator brings them.
    FirmwareDir* archives = !power_on && !args.firmware ? &*firmware : nullptr;

    // Made before the testbed, so that they outlive its boards. Every board is on the supply:
    // a power-cut signal may come on any run.
    CommandKiller killer;
    PowerSupply power(args.power_cut ? PowerCutPlan{.access = *args.power_cut,
                                                    .seed = args.cut_seed.value_or(*args.power_cut)}
                                     : PowerCutPlan{},
                      [&killer] { killer.cut(); });
    auto testbed = Testbed::create();
    if (!testbed) return fail("testbed", testbed.error());
    (*testbed)->set_firmware_archives(firmware->archive_dir());
    auto notes = add_described_boards(**testbed, archives, std::move(boards), &power);
    if (!notes) return fail("boards", notes.error());
    for (const auto& note : *notes) fmt::print(stderr, "tarnvel-sim: {}\n", note);
    if (machine && !power_on) {
        if (auto created = machine->create(texts); !created) return fail("state", created.error());
    }
    if (power_on) {
        if (auto restored = machine->restore(**testbed); !restored) {
            return fail("state", restored.error());
        }
        // A warm reboot leaves the boards running what they ran; a power-on starts their flash.
        if (!args.warm_reboot) {
            for (std::size_t i = 0; i < (*testbed)->board_count(); ++i) {
                (*testbed)->load_firmware(i);
            }
        }
    }
    std::fflush(stderr);

    SandboxLaunch launch;
    launch.argv = args.command;
    launch.umockdev_dir = (*testbed)->root_dir();
    launch.firmware_root = firmware->path();
    launch.state_dir = machine ? machine->state_dir() : (*testbed)->state_dir();
    // The command gets a process group of its own, which a cut kills, and the terminal (see
    // command_wait.hpp); it never outlives tarnvel-sim, not even one killed by SIGKILL.
    launch.own_process_group = true;
    launch.take_terminal = true;
    launch.die_with_parent = true;
    const bool foreground = ::isatty(STDIN_FILENO) && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
    auto child = spawn_in_sandbox(launch);
    if (!child) return fail(args.command.front(), child.error());
    killer.started(child->pid);
    CommandWait::End end = command_wait.wait(child->pid);
    // A power-cut signal: the boards stop where they are and the command's group is killed,
    // between two register accesses, before the machine is kept.
    const bool cut_by_signal = end.signal != 0 && (*testbed)->locked([&power] {
        const bool cut_before = power.cut();
        power.cut_now();
        return !cut_before;
    });
    if (end.signal != 0) end.status = CommandWait::reap(child->pid);
    if (foreground) take_back_terminal();

    const PowerCutPlan& cut = power.plan();
    if (cut_by_signal) {
        fmt::print(stderr, "tarnvel-sim: SIG{}: power cut at register access {} (seed {})\n",
                   ::sigabbrev_np(end.signal), cut.access, cut.seed);
    } else if (killer.was_cut()) {
        fmt::print(stderr, "tarnvel-sim: power cut at register access {} (seed {})\n", cut.access,
                   cut.seed);
    } else if (args.power_cut) {
        fmt::print(stderr, "tarnvel-sim: no power cut: the run made {} register accesses\n",
                   (*testbed)->locked([&power] { return power.accesses(); }));
    }
    if (machine) {
        if (auto saved = machine->save(**testbed); !saved)
            return fail("state not kept", saved.error());
    }
    return Outcome{end.status, end.signal};
}

}  // namespace

int main(int argc, char** argv) {
    auto args = parse_arguments(argc, argv);
    if (!args) return usage_error(error_text(args.error()));
    if (args->help) {
        print_usage(stdout);
        return 0;
    }
    // Every temporary directory is gone by now, also umockdev's.
    const Outcome outcome = run(*args);
    if (outcome.signal != 0) CommandWait::end_by(outcome.signal);
    return outcome.status;
}
