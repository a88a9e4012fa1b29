// tarnvel-sim keeping a machine between runs (--state) and cutting its power (--power-cut),
// run as an operator runs it. It runs inside the test's own simulated machine, as the fleet
// test runs one inside another.

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.hpp"
#include "sim/support/file_text.hpp"
#include "sim/support/temp_dir.hpp"

namespace tarnvel::testing {
namespace {

std::string file_text(const std::filesystem::path& path) {
    return sim::read_whole_file(path).value_or("");
}

class SimState : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        auto dir = sim::TempDir::create("tarnvel-sim-state.");
        ASSERT_TRUE(dir);
        dir_.emplace(std::move(*dir));
    }

    // The machine kept in `name` under the test's directory.
    std::string state(std::string_view name) { return (dir_->path() / name).string(); }

    // tarnvel-sim with `args`, its temporary directories made in `tmp` when given.
    sim::RunResult sim(std::vector<std::string> args, std::vector<std::string> command,
                       const std::filesystem::path& tmp = {}) {
        args.insert(args.begin(), TARNVEL_SIM_BINARY);
        if (!tmp.empty()) args.insert(args.begin(), {"env", "TMPDIR=" + tmp.string()});
        args.push_back("--");
        args.insert(args.end(), command.begin(), command.end());
        return run(std::move(args));
    }

    // "version" of the machine's first board, at power-on.
    std::string version_at_power_on(std::string_view name) {
        const sim::RunResult result =
            sim({"--state", state(name)}, {"cat", "/sys/class/tarnvel/tarnvel0/version"});
        EXPECT_TRUE(result.exited_with(0)) << result.describe_end() << "\n" << result.err;
        return result.out;
    }

    // The process whose id the command wrote to the state directory's "sleep" has ended.
    void expect_gone_with_the_command(std::string_view name) {
        const std::string sleeper = file_text(state(name) + "/state/sleep");
        ASSERT_FALSE(sleeper.empty()) << "the command wrote no process id";
        const std::string status =
            file_text("/proc/" + sleeper.substr(0, sleeper.find('\n')) + "/stat");
        EXPECT_TRUE(status.empty() || status.find(") Z ") != std::string::npos) << status;
    }

    std::optional<sim::TempDir> dir_;
};

const std::vector<std::string> kUpdate{TARNVEL_FW_BINARY, "update", "--yes", "--no-reboot"};

TEST_F(SimState, FirstRunMakesTheMachineAndEveryLaterRunPowersItOn) {
    const std::string machine = state("m");
    const sim::RunResult made =
        sim({"--state", machine, "kind=5"},
            {"sh", "-c",
             fmt::format("echo \"$TARNVEL_STATE_DIR\"; {} update --yes --no-reboot >/dev/null && "
                         "cat /sys/class/tarnvel/tarnvel0/version",
                         TARNVEL_FW_BINARY)});
    EXPECT_TRUE(made.exited_with(0)) << made.describe_end() << "\n" << made.err;
    // Written, not yet started.
    EXPECT_EQ(made.out, machine + "/state\n2.0r100");
    // The flash is kept as the pages the update touched.
    const std::string flash = machine + "/board-0/spi.flash";
    EXPECT_LT(std::filesystem::file_size(flash), 0x20000u);

    // Every run keeps the flash in a new file that replaces the old one whole: a run killed
    // while it saves leaves the old one. A link to the old file keeps it.
    std::filesystem::create_hard_link(flash, state("old.flash"));
    EXPECT_EQ(version_at_power_on("m"), "2.0r101");
    EXPECT_EQ(std::filesystem::hard_link_count(flash), 1u);
    EXPECT_EQ(file_text(state("old.flash")), file_text(flash));

    struct Later {
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    for (const Later& later :
         {Later{{"--state", machine, "kind=5"}, 0, ""},
          Later{{"--state", machine, "kind=3"}, 2, "holds a machine made from other boards"},
          Later{{"--state", machine, "--firmware", machine}, 2, "keeps its machine's firmware"},
          Later{{"--power-cut", "5", "kind=5"}, 2, "--power-cut needs --state"}}) {
        const sim::RunResult result = sim(later.args, {"true"});
        EXPECT_TRUE(result.exited_with(later.status)) << result.describe_end() << "\n"
                                                      << result.err;
        EXPECT_NE(result.err.find(later.says), std::string::npos) << result.err;
    }
    // A usage error is one line that says where to read more, not the whole help.
    const sim::RunResult usage = sim({"--power-cut", "5", "kind=5"}, {"true"});
    EXPECT_EQ(std::ranges::count(usage.err, '\n'), 1) << usage.err;
    EXPECT_NE(usage.err.find("tarnvel-sim --help"), std::string::npos) << usage.err;
    EXPECT_EQ(version_at_power_on("m"), "2.0r101");

    // Every power-on is a boot of its own, as the programs read it.
    const auto boot_id = [&] {
        return sim({"--state", machine}, {"cat", "/proc/sys/kernel/random/boot_id"}).out;
    };
    const std::string first = boot_id();
    EXPECT_EQ(first.size(), 37u) << first;
    EXPECT_NE(boot_id(), first);
}

TEST_F(SimState, PowerCutKillsTheCommandAtOnceAndKeepsWhatTheChipsWereLeftWith) {
    // How many register accesses a whole update makes: the cut goes halfway. Without the
    // backup, whose read of the whole erase block comes first and would take the half.
    std::vector<std::string> update = kUpdate;
    update.push_back("--no-backup");
    const sim::RunResult whole =
        sim({"--state", state("whole"), "--power-cut", "1000000000", "kind=5"}, update);
    ASSERT_TRUE(whole.exited_with(0)) << whole.describe_end() << "\n" << whole.err;
    const std::string made = "the run made ";
    const std::size_t at = whole.err.find(made);
    ASSERT_NE(at, std::string::npos) << whole.err;
    std::uint64_t accesses = 0;
    std::from_chars(whole.err.data() + at + made.size(), whole.err.data() + whole.err.size(),
                    accesses);
    const std::string cut_at = std::to_string(accesses / 2);

    for (const char* name : {"cut", "replayed"}) {
        const sim::RunResult cut =
            sim({"--state", state(name), "--power-cut", cut_at, "kind=5"},
                {"sh", "-c",
                 fmt::format("sleep 60 & echo $! > \"$TARNVEL_STATE_DIR/sleep\"; exec {} update "
                             "--yes --no-reboot --no-backup",
                             TARNVEL_FW_BINARY)});
        EXPECT_TRUE(cut.exited_with(128 + SIGKILL)) << cut.describe_end() << "\n" << cut.err;
        EXPECT_NE(cut.err.find("power cut at register access " + cut_at), std::string::npos)
            << cut.err;
        // The command's whole process group went with it.
        expect_gone_with_the_command(name);
    }
    // Half written: the board falls back to its factory image.
    EXPECT_EQ(version_at_power_on("cut"), "2.0r0");
    // The same cut on the same run leaves the same cells.
    EXPECT_EQ(file_text(state("cut") + "/board-0/spi.flash"),
              file_text(state("replayed") + "/board-0/spi.flash"));
}

// SIGTERM, SIGHUP or SIGINT to tarnvel-sim cut the power at that moment: the command's whole
// group is killed, the machine kept as the cut left it (the flash the update verified, as the
// journal says), every temporary directory removed, and tarnvel-sim ends by the signal.
TEST_F(SimState, ASignalCutsThePowerAndKeepsTheMachine) {
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        const std::string name = ::sigabbrev_np(signal);
        SCOPED_TRACE(name);
        const std::filesystem::path tmp = state("tmp-" + name);
        std::filesystem::create_directory(tmp);
        const sim::RunResult cut =
            sim({"--state", state(name), "kind=5"},
                {"sh", "-c",
                 fmt::format("{} update --yes --no-reboot >/dev/null && {{ sleep 60 & echo $! > "
                             "\"$TARNVEL_STATE_DIR/sleep\"; kill -{} $PPID; wait; }}",
                             TARNVEL_FW_BINARY, name)},
                tmp);
        EXPECT_EQ(cut.signal, signal) << cut.describe_end() << "\n" << cut.err;
        EXPECT_NE(cut.err.find("SIG" + name + ": power cut at register access"), std::string::npos)
            << cut.err;
        expect_gone_with_the_command(name);
        EXPECT_TRUE(std::filesystem::is_empty(tmp)) << "temporary directories left in " << tmp;
        EXPECT_EQ(version_at_power_on(name), "2.0r101");
    }
}

// Killed by SIGKILL, which it can't answer, tarnvel-sim takes its command along.
TEST_F(SimState, TheCommandNeverOutlivesTarnvelSim) {
    const sim::RunResult killed = sim({"kind=5"}, {"sh", "-c", "kill -KILL $PPID; exec sleep 60"});
    EXPECT_EQ(killed.signal, SIGKILL) << killed.describe_end();
    // Left running, it would hold tarnvel-sim's output open until the run's time-out.
    EXPECT_FALSE(killed.timed_out) << "the command outlived tarnvel-sim";
}

// A flash file damaged from outside stops the power-on with what is wrong and what to do, and
// is left as it was; without it the chip powers on as it was made.
TEST_F(SimState, ADamagedFlashFileIsRefusedWithWhatToDo) {
    const std::string machine = state("m");
    const sim::RunResult made = sim({"--state", machine, "kind=5"}, kUpdate);
    ASSERT_TRUE(made.exited_with(0)) << made.describe_end() << "\n" << made.err;
    const std::string flash = machine + "/board-0/spi.flash";
    std::filesystem::resize_file(flash, std::filesystem::file_size(flash) - 5);
    const std::string damaged = file_text(flash);

    const sim::RunResult refused = sim({"--state", machine}, {"true"});
    EXPECT_TRUE(refused.exited_with(125)) << refused.describe_end();
    EXPECT_EQ(refused.err,
              "tarnvel-sim: state: " + flash +
                  ": cut short; the machine can't be powered on as it was kept: remove that file "
                  "to power its chip on as it was when the machine was made, or give a new state "
                  "directory\n");
    EXPECT_EQ(file_text(flash), damaged);
    std::filesystem::remove(flash);
    EXPECT_EQ(version_at_power_on("m"), "2.0r100");
}

// A fleet's stories on a machine kept under a path relative to the working directory: its
// boards updated, a warm reboot that starts none of the new images, then a board taken out of
// its slot and another put in the slot of a third, each other board staying in its own.
TEST_F(SimState, KeepsSlotsAcrossAWarmRebootARemovedAndAReplacedBoard) {
    // Each board as list --json shows it: "SLOT NODE STATUS"; list fails while a board is
    // missing.
    const auto listed = [&](std::vector<std::string> options, int status) {
        std::vector<std::string> args{"env",     "-C", dir_->path().string(), TARNVEL_SIM_BINARY,
                                      "--state", "m"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {"--", TARNVEL_FW_BINARY, "list", "--json"});
        const sim::RunResult result = run(std::move(args));
        EXPECT_TRUE(result.exited_with(status)) << result.describe_end() << "\n" << result.err;
        std::vector<std::string> boards;
        for (const auto& board : nlohmann::json::parse(result.out, nullptr, false)) {
            boards.push_back(fmt::format("{} {} {}", board.value("pci", ""),
                                         board.value("node", ""), board.value("status", "")));
        }
        std::ranges::sort(boards);
        return boards;
    };
    const sim::RunResult made =
        run({"env", "-C", dir_->path().string(), TARNVEL_SIM_BINARY, "--state", "m", "kind=5",
             "kind=5", "kind=5", "--", TARNVEL_FW_BINARY, "update", "--yes", "--no-reboot"});
    ASSERT_TRUE(made.exited_with(0)) << made.describe_end() << "\n" << made.err;

    EXPECT_EQ(listed({"--warm-reboot"}, 0),
              (std::vector<std::string>{"0000:01:00.0 /dev/tarnvel0 pending-power-cycle",
                                        "0000:02:00.0 /dev/tarnvel1 pending-power-cycle",
                                        "0000:03:00.0 /dev/tarnvel2 pending-power-cycle"}));
    EXPECT_EQ(listed({"--remove-board", "0", "--replace-board", "1=kind=3,archive=none"}, 1),
              (std::vector<std::string>{
                  "0000:01:00.0 /dev/tarnvel0 missing", "0000:02:00.0 /dev/tarnvel0 up-to-date",
                  "0000:03:00.0 /dev/tarnvel1 no-archive", "0000:03:00.0 /dev/tarnvel2 missing"}));
    EXPECT_EQ(file_text(state("m") + "/boards"), "kind=5,slot=2\nkind=3,archive=none,slot=3\n");

    // A change refused in any part changes nothing.
    struct Refused {
        std::vector<std::string> options;
        const char* says;
    };
    for (const Refused& r :
         {Refused{{"--remove-board", "2"}, "has no board 2: its boards are 0 to 1"},
          Refused{{"--remove-board", "0", "--replace-board", "1=kind=3"},
                  "has no board 1: its boards are 0 to 0"}}) {
        std::vector<std::string> options{"--state", state("m")};
        options.insert(options.end(), r.options.begin(), r.options.end());
        const sim::RunResult refused = sim(options, {"true"});
        EXPECT_TRUE(refused.exited_with(2)) << refused.describe_end();
        EXPECT_NE(refused.err.find(r.says), std::string::npos) << refused.err;
        EXPECT_EQ(file_text(state("m") + "/boards"), "kind=5,slot=2\nkind=3,archive=none,slot=3\n");
        EXPECT_TRUE(std::filesystem::exists(state("m") + "/board-1"));
    }
}

}  // namespace
}  // namespace tarnvel::testing
