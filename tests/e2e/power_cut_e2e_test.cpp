// The power-cut campaign end to end: the programs themselves, their power cut by tarnvel-sim
// (--state, --power-cut) in the middle of an update, and the machine powered on again, as an
// operator meets it. tarnvel-fw's interrupted update is listed as such and completed with a
// reboot; a board without a factory image is missed; tarnvel-flash's killed run leaves an
// interrupted record, and its next run completes the board. Each runs inside the test's own
// simulated machine, as the fleet test runs one inside another. Register accesses through
// umockdev are dear: the images are two blocks, and the cut points few; the in-process
// campaign (tests/unit/power_cut_recovery_test.cpp) makes the many.

#include <fmt/format.h>

#include <csignal>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "fw_harness.hpp"
#include "journal/journal.hpp"
#include "sim/support/temp_dir.hpp"
#include "support/cut_figures.hpp"
#include "support/journal_integrity.hpp"

namespace tarnvel::testing {
namespace {

constexpr std::int32_t kImageVersion = 101;  // tarnvel-sim's archives: one above the board's
// Two blocks of the serial flash, the second short.
constexpr const char* kImageSize = "70000";
// In the first block's write, past the read of what the flash holds over both blocks (the
// backup reaches to the second block's end), which tarnvel-fw keeps before its first erase: that
// read takes some 72,000 accesses on the QX630 and 68,000 on the QX610, a whole update with it
// some 154,000 and 143,000.
constexpr std::uint64_t kFwCut = 93000;

class CutRecoveryEndToEnd : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        auto dir = sim::TempDir::create("tarnvel-cut-e2e.");
        ASSERT_TRUE(dir);
        dir_.emplace(std::move(*dir));
        machine_ = (dir_->path() / "machine").string();
    }

    // tarnvel-sim on the test's machine: `options` before the command.
    sim::RunResult sim(std::vector<std::string> options, std::vector<std::string> command,
                       std::optional<std::string> input = std::nullopt) {
        std::vector<std::string> argv{TARNVEL_SIM_BINARY, "--state", machine_};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back("--");
        argv.insert(argv.end(), command.begin(), command.end());
        // A whole update of the image, its backup read first, access by emulated access: longer
        // than most runs, the more so sanitized on a busy machine.
        return run(std::move(argv), std::move(input), sim::FirmwareMount::Auto,
                   std::chrono::seconds(90));
    }
    sim::RunResult fw(std::vector<std::string> args) {
        args.insert(args.begin(), TARNVEL_FW_BINARY);
        return sim({}, std::move(args));
    }

    // Makes the machine of one board.
    void make(const std::string& board) {
        const sim::RunResult made = sim({board}, {"true"});
        ASSERT_TRUE(made.exited_with(0)) << made.describe_end() << "\n" << made.err;
    }

    // Runs `command` with the power cut at register access `access`: killed at once.
    void cut(std::uint64_t access, std::vector<std::string> command,
             std::optional<std::string> input = std::nullopt) {
        ++figures_.tried;
        const sim::RunResult result =
            sim({"--power-cut", std::to_string(access)}, std::move(command), std::move(input));
        EXPECT_TRUE(result.exited_with(128 + SIGKILL)) << result.describe_end() << "\n"
                                                       << result.err;
        EXPECT_NE(result.err.find(fmt::format("power cut at register access {}", access)),
                  std::string::npos)
            << result.err;
    }

    // The journal's records, newest first, after its integrity check.
    Json history() {
        const std::string verdict =
            testing::integrity_check(std::filesystem::path(machine_) / "state" / kJournalFileName);
        EXPECT_EQ(verdict, "ok");
        if (verdict != "ok") ++figures_.databases_damaged;
        const sim::RunResult result = fw({"history", "--json"});
        EXPECT_TRUE(result.exited_with(0)) << result.describe_end() << "\n" << result.err;
        return parse_json(result);
    }

    // The write cut short is in the journal, never ended.
    void expect_interrupted_record(const Json& records, const char* program) {
        const bool kept = records.size() == 1 && records[0]["result"] == "interrupted" &&
                          records[0]["program"] == program &&
                          records[0]["image_version"] == kImageVersion;
        EXPECT_TRUE(kept) << records.dump(2);
        if (!kept) ++figures_.records_lost;
    }

    // The figures, once the test has made its checks.
    void report(std::string_view what) {
        std::cout << testing::figures_line(what, figures_);
        EXPECT_EQ(figures_.records_lost, 0u);
        EXPECT_EQ(figures_.databases_damaged, 0u);
    }

    testing::CutFigures figures_;

  private:
    std::optional<sim::TempDir> dir_;
    std::string machine_;
};

// The operator's round after a power cut in the middle of `tarnvel-fw update`: the board starts
// its factory image, `list` says the write was interrupted, `update --yes --reboot` writes it
// again and starts it, and from the next power-on on the board runs the new image, which its
// flash holds.
TEST_F(CutRecoveryEndToEnd, TarnvelFwIsCompletedWithAReboot) {
    make(fmt::format("kind=8,image-size={}", kImageSize));
    cut(kFwCut, {TARNVEL_FW_BINARY, "update", "--yes", "--no-reboot"});

    const Json cut_listing = board_entry(parse_json(fw({"list", "--json"})), "/dev/tarnvel0");
    EXPECT_EQ(cut_listing["status"], "interrupted") << cut_listing.dump(2);
    EXPECT_EQ(cut_listing["firmware"], 0) << "the factory image";
    EXPECT_EQ(cut_listing["last_write"]["result"], "interrupted");
    expect_interrupted_record(history(), "tarnvel-fw");

    const sim::RunResult completed = fw({"update", "--yes", "--reboot", "--json"});
    EXPECT_TRUE(completed.exited_with(0)) << completed.describe_end() << "\n" << completed.err;
    const Json update = board_entry(parse_json(completed), "/dev/tarnvel0");
    EXPECT_EQ(update["result"], "updated");
    EXPECT_EQ(update["firmware_after"], kImageVersion);

    const Json listed = board_entry(parse_json(fw({"list", "--json"})), "/dev/tarnvel0");
    EXPECT_EQ(listed["firmware"], kImageVersion);
    EXPECT_EQ(listed["status"], "up-to-date");
    const Json verified = board_entry(parse_json(fw({"verify", "--json"})), "/dev/tarnvel0");
    EXPECT_EQ(verified["result"], "match");
    const Json records = history();
    EXPECT_EQ(records.size(), 2u);
    EXPECT_EQ(records.back()["result"], "interrupted");
    if (records.size() != 2) ++figures_.records_lost;
    if (listed["firmware"] == kImageVersion && verified["result"] == "match") ++figures_.recovered;
    report(fmt::format("tarnvel-fw cut at access {} of an update of a QX630, end to end", kFwCut));
}

// A board without a factory image that can't start what the cut left is gone: `list` misses it
// in its slot with the interrupted record, and fails so that a fleet notices.
TEST_F(CutRecoveryEndToEnd, ABoardWithoutFactoryImageIsMissed) {
    make(fmt::format("kind=9,factory=none,image-size={}", kImageSize));
    cut(kFwCut, {TARNVEL_FW_BINARY, "update", "--yes", "--no-reboot"});

    const sim::RunResult result = fw({"list", "--json"});
    EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end();
    const Json missing = board_entry(parse_json(result), "/dev/tarnvel0");
    EXPECT_EQ(missing["status"], "missing") << missing.dump(2);
    EXPECT_EQ(missing["last_write"]["result"], "interrupted");
    expect_interrupted_record(history(), "tarnvel-fw");
    if (missing["status"] == "missing") ++figures_.gone;
    report(fmt::format(
        "tarnvel-fw cut at access {} of an update of a QX610 without factory image, end to end",
        kFwCut));
}

struct FlashCut {
    const char* name;
    unsigned kind;
    const char* model;
    unsigned hw_major;
    std::uint64_t access;
};

void PrintTo(const FlashCut& c, std::ostream* os) {
    *os << c.name;
}

class CutRecoveryOfTarnvelFlash : public CutRecoveryEndToEnd,
                                  public ::testing::WithParamInterface<FlashCut> {};

// tarnvel-flash killed by the cut leaves the write's record interrupted; after the power-on
// the board runs its factory image, and the operator's next tarnvel-flash run completes it,
// its dialogue as ever.
TEST_P(CutRecoveryOfTarnvelFlash, ItsNextRunCompletesTheBoard) {
    const FlashCut& c = GetParam();
    make(fmt::format("kind={},image-size={}", c.kind, kImageSize));
    cut(c.access, {TARNVEL_FLASH_BINARY}, "y\n");
    expect_interrupted_record(history(), "tarnvel-flash");

    const sim::RunResult next = sim({}, {TARNVEL_FLASH_BINARY}, "y\nn\n");
    expect_output(next,
                  board_up_to_question("/dev/tarnvel0", c.kind, c.hw_major, 0, 0, kImageVersion) +
                      progress_lines(2) + update_done_line() + reboot_question() +
                      manual_power_cycle_line());
    const std::string version = fmt::format("{}.0r{}", c.hw_major, kImageVersion);
    const sim::RunResult started = sim({}, {"cat", "/sys/class/tarnvel/tarnvel0/version"});
    EXPECT_EQ(started.out, version);
    const Json records = history();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["result"], "verified");
    EXPECT_EQ(records[0]["program"], "tarnvel-flash");
    if (started.out == version) ++figures_.recovered;
    report(fmt::format("tarnvel-flash cut at access {} of an update of a {}, end to end", c.access,
                       c.model));
}

// A 64 KiB block of the QX480's serial flash (chunked engine) takes some 40,000 register
// accesses to write and 37,000 to read back; of the QX610's (long-frame engine) some 36,000
// and 34,000.
INSTANTIATE_TEST_SUITE_P(
    Cuts, CutRecoveryOfTarnvelFlash,
    ::testing::Values(FlashCut{"Qx480InTheFirstBlocksPageProgram", 5, "QX480", 2, 10000},
                      FlashCut{"Qx480InTheFirstBlocksReadBack", 5, "QX480", 2, 50000},
                      FlashCut{"Qx610InTheFirstBlocksPageProgram", 9, "QX610", 4, 20000}),
    [](const ::testing::TestParamInfo<FlashCut>& param) { return param.param.name; });

}  // namespace
}  // namespace tarnvel::testing
