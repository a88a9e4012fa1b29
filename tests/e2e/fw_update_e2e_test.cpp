// tarnvel-fw update: the updater's sequence without questions. A board is written only when its
// image is newer (or forced), rebooted only when asked, and checked to run the image's version
// after the reboot; what happened to each board is in the JSON and the exit status.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <regex>

#include "background_program.hpp"
#include "fw_harness.hpp"
#include "terminal_screen.hpp"

namespace tarnvel::testing {
namespace {

constexpr std::uint16_t kFirmware = 40;

class FwUpdateKind : public FwTestWithParam<BoardKind> {};

// Every programmable kind: written at its base address, verified, rebooted into the image.
TEST_P(FwUpdateKind, WritesVerifiesAndRebootsIntoTheImage) {
    const BoardKind kind = GetParam();
    const auto image = add_board(kind, kFirmware, kFirmware + 1, 3000);

    const sim::RunResult result = fw({"update", "--yes", "--reboot", "--json"});
    EXPECT_TRUE(result.exited_with(0)) << result.describe_end() << "\n" << result.err;
    const Json document = parse_json(result);
    EXPECT_EQ(document["ok"], true);
    const Json board = board_entry(document, "/dev/tarnvel0");
    EXPECT_EQ(board["result"], "updated");
    EXPECT_EQ(board["firmware_before"], kFirmware);
    EXPECT_EQ(board["image_version"], kFirmware + 1);
    EXPECT_EQ(board["rebooted"], true);
    EXPECT_EQ(board["firmware_after"], kFirmware + 1);
    EXPECT_EQ(board["retries"], 0);
    EXPECT_EQ(board["error"], nullptr);
    EXPECT_TRUE(flash_holds_image(hardware(0), image));
    EXPECT_TRUE(no_violations(hardware(0)));
    EXPECT_EQ(testbed().reboot_written(0), "1");
    // Standard error is no terminal: no progress bar, nothing at all.
    EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, FwUpdateKind,
                         ::testing::Values(BoardKind::Qx410, BoardKind::Qx410M2, BoardKind::Qx410Bp,
                                           BoardKind::Qx480Bpi, BoardKind::Qx480Spi,
                                           BoardKind::Qx400, BoardKind::Qx610Bpi, BoardKind::Qx630,
                                           BoardKind::Qx610Spi),
                         [](const ::testing::TestParamInfo<BoardKind>& param) {
                             return fmt::format("Kind{}", static_cast<unsigned>(param.param));
                         });

struct DecisionCase {
    const char* name;
    std::optional<std::int32_t> image_version;  // none: no archive
    std::vector<std::string> options;
    const char* result;
    bool written;
    int exit_status;
    const char* input_file = nullptr;  // standard input read from this file, not closed
    // The status `list` gives the board beforehand, where it is the same word as the result.
    const char* listed = nullptr;
};

void PrintTo(const DecisionCase& c, std::ostream* os) {
    *os << c.name;
}

class FwUpdateDecision : public FwTestWithParam<DecisionCase> {};

TEST_P(FwUpdateDecision, WritesOnlyWhatItShould) {
    const DecisionCase& c = GetParam();
    const auto image = add_board(BoardKind::Qx630, kFirmware, c.image_version);
    if (c.listed != nullptr) {
        EXPECT_EQ(board_entry(parse_json(fw({"list", "--json"})), "/dev/tarnvel0")["status"],
                  c.listed);
    }
    std::vector<std::string> args{"update", "--json"};
    args.insert(args.end(), c.options.begin(), c.options.end());

    const sim::RunResult result = c.input_file ? fw_reading(args, c.input_file) : fw(args);
    EXPECT_TRUE(result.exited_with(c.exit_status)) << result.describe_end() << "\n" << result.err;
    const Json document = parse_json(result);
    EXPECT_EQ(document["ok"], c.exit_status == 0);
    const Json board = board_entry(document, "/dev/tarnvel0");
    EXPECT_EQ(board["result"], c.result);
    EXPECT_EQ(board["rebooted"], false);
    EXPECT_EQ(board["error"] == nullptr, c.exit_status == 0) << board.dump();
    if (c.written) {
        EXPECT_TRUE(flash_holds_image(hardware(0), image));
    } else {
        EXPECT_TRUE(flash_untouched(hardware(0)));
        EXPECT_EQ(hardware(0).register_accesses(), 0u) << "a board left alone is not opened";
    }
    // Never rebooted without --reboot.
    EXPECT_EQ(testbed().reboot_written(0), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FwUpdateDecision,
    ::testing::Values(
        DecisionCase{"Newer", kFirmware + 1, {"--yes"}, "updated", true, 0},
        DecisionCase{"NewerNoReboot", kFirmware + 1, {"--yes", "--no-reboot"}, "updated", true, 0},
        DecisionCase{"Equal", kFirmware, {"--yes"}, "up-to-date", false, 0, nullptr, "up-to-date"},
        // The same word as list's for each case.
        DecisionCase{"Older", kFirmware - 1, {"--yes"}, "board-newer", false, 0, nullptr,
                     "board-newer"},
        DecisionCase{"EqualForced", kFirmware, {"--yes", "--force"}, "updated", true, 0},
        DecisionCase{"OlderForced", kFirmware - 1, {"--yes", "--force"}, "updated", true, 0},
        DecisionCase{"NoArchive", std::nullopt, {"--yes"}, "no-archive", false, kExitBoardFailed,
                     nullptr, "no-archive"},
        // Without --yes the questions come from standard input, which is closed: no.
        DecisionCase{"Declined", kFirmware + 1, {}, "declined", false, 0},
        // A line that never ends is no answer.
        DecisionCase{
            "DeclinedOnAnEndlessLine", kFirmware + 1, {}, "declined", false, 0, "/dev/zero"}),
    [](const ::testing::TestParamInfo<DecisionCase>& param) { return param.param.name; });

// The operator's answers, typed ahead: the updater's questions on standard error, while
// standard output holds only the JSON document; the board is shown without the updater's
// stray commas, and the reboot question, asked once the writes are done, names the board again
// and speaks plain English.
TEST_F(FwTest, AsksTheUpdatersQuestionsOnStandardError) {
    const auto image = add_board(BoardKind::Qx630, kFirmware, kFirmware + 1);
    const sim::RunResult result = fw({"update", "--json"}, "y\ny\n");
    EXPECT_TRUE(result.exited_with(0)) << result.describe_end() << "\n" << result.err;
    const Json board = board_entry(parse_json(result), "/dev/tarnvel0");
    EXPECT_EQ(board["result"], "updated");
    EXPECT_EQ(board["rebooted"], true);
    EXPECT_EQ(result.err,
              fmt::format("Device /dev/tarnvel0: QX630 v1.0\n"
                          "\tCurrent firmware: {}\n"
                          "\tFirmware available: {}\n"
                          "\tUpdate firmware? (y/N): "
                          "Device /dev/tarnvel0: QX630 v1.0, written and verified\n"
                          "\tReboot device? This can crash systems that don't support PCIe "
                          "hot-plug. (y/N): ",
                          kFirmware, kFirmware + 1));
    EXPECT_TRUE(flash_holds_image(hardware(0), image));
}

// On a terminal a progress bar is drawn on standard error, with the percentage, the bytes
// written, the blocks written and found unchanged and the time left; it moves with every page
// of a block, and is cleared once the board is written. The read of what the flash holds comes
// first, named as such, its line counting no block; the write's line starts again from nothing.
TEST_F(FwTest, DrawsAProgressBarOnATerminal) {
    const auto image = add_board(BoardKind::Qx630, kFirmware, kFirmware + 1, 0x10000 + 512);
    BackgroundProgram program(testbed(), firmware().path(),
                              {.argv = {TARNVEL_FW_BINARY, "update", "--yes"}, .terminal = true});
    const sim::RunResult& ended = program.finish();
    EXPECT_TRUE(ended.exited_with(0)) << ended.describe_end() << "\n" << ended.out;

    const std::size_t reading = ended.out.find("/dev/tarnvel0 QX630 reading [");
    const std::size_t writing = ended.out.find("/dev/tarnvel0 QX630 writing [");
    EXPECT_LT(reading, writing) << ended.out;
    EXPECT_EQ(ended.out.find("block", reading), ended.out.find("blocks written", writing))
        << "the read counted blocks:\n"
        << ended.out;
    EXPECT_NE(ended.out.find("  0%  0 B of 64.5 KiB  0 blocks written", writing), std::string::npos)
        << ended.out;
    // Within the first block, page by page.
    const std::regex within_first_block(
        R"(\] +([1-9]|[1-9][0-9])%  [0-9.]+ KiB of 64\.5 KiB  0 blocks written  0:[0-9]{2} left)");
    EXPECT_TRUE(std::regex_search(ended.out, within_first_block)) << ended.out;
    EXPECT_NE(ended.out.find(" 99%  64.0 KiB of 64.5 KiB  1 block written  0:0"), std::string::npos)
        << ended.out;
    EXPECT_EQ(render_terminal(ended.out),
              (std::vector<std::string>{fmt::format(
                  "/dev/tarnvel0 (QX630 v1.0): updated from firmware {} to {}, not rebooted: the "
                  "new firmware runs after the next power cycle (2 blocks written)",
                  kFirmware, kFirmware + 1)}));
    EXPECT_TRUE(flash_holds_image(hardware(0), image));
}

// The QX1800 has nothing to write and an unknown board named on the command line can't be
// updated: neither is opened; only the second counts against the run.
TEST_F(FwTest, PassesOverBoardsItCannotUpdate) {
    add_hardware(BoardKind::Qx1800, sim::BoardConfig::of_kind(BoardKind::Qx1800, 4));
    add(sim::BoardConfig::of_kind(BoardKind::Unsupported, 1));

    const sim::RunResult all = fw({"update", "--yes", "--json"});
    EXPECT_TRUE(all.exited_with(0)) << all.describe_end() << "\n" << all.err;
    const Json all_document = parse_json(all);
    ASSERT_EQ(all_document["boards"].size(), 1u) << "unsupported boards are not selected";
    EXPECT_EQ(board_entry(all_document, "/dev/tarnvel0")["result"], "dynamic-firmware");

    const sim::RunResult named =
        fw({"update", "--yes", "--json", "--board", "/dev/tarnvel1", "--board", "/dev/tarnvel0"});
    EXPECT_TRUE(named.exited_with(kExitBoardFailed)) << named.describe_end() << "\n" << named.err;
    const Json named_document = parse_json(named);
    EXPECT_EQ(named_document["ok"], false);
    EXPECT_EQ(board_entry(named_document, "/dev/tarnvel1")["result"], "unsupported");
    EXPECT_EQ(hardware(0).register_accesses(), 0u);
}

// An archive entry that is a symbolic link is no image, and the reason names it.
TEST_F(FwTest, ALinkInTheArchiveIsNoImage) {
    add_board(BoardKind::Qx630, kFirmware, std::nullopt);
    const std::string target = "/etc/shadow";
    ASSERT_TRUE(firmware().add_archive("qx630v1_0.zip", {{.name = "qx630_1_50.bin",
                                                          .data = {target.begin(), target.end()},
                                                          .unix_mode = S_IFLNK | 0777}}));
    const sim::RunResult result = fw({"update", "--yes", "--json"});
    EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end() << "\n"
                                                      << result.err;
    const Json board = board_entry(parse_json(result), "/dev/tarnvel0");
    EXPECT_EQ(board["result"], "no-image");
    EXPECT_NE(board["error"].get<std::string>().find(
                  "firmware not found in archive (qx630_1_50.bin is a symbolic link, not an "
                  "image file)"),
              std::string::npos)
        << board.dump();
    EXPECT_EQ(hardware(0).register_accesses(), 0u);
}

// A failed programming run fails its board alone: the boards written beside it are written
// and verified, and the journal says so of each.
TEST_F(FwTest, AFailedRegisterAccessFailsOnlyItsBoard) {
    // Access 400 lies in the first block's programming, past the flash's identification, the
    // read that finds the block differing, and the erase (with no backup's read of the span).
    add_board(BoardKind::Qx630, kFirmware, kFirmware + 1, 2048, sim::RegisterFault{.access = 400});
    const auto image = add_board(BoardKind::Qx480Spi, kFirmware, kFirmware + 1);

    const sim::RunResult result = fw({"update", "--yes", "--no-backup", "--json"});
    EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end() << "\n"
                                                      << result.err;
    const Json document = parse_json(result);
    EXPECT_EQ(document["ok"], false);
    const Json failed = board_entry(document, "/dev/tarnvel0");
    EXPECT_EQ(failed["result"], "failed");
    EXPECT_NE(failed["error"].get<std::string>().find("Input/output error"), std::string::npos)
        << failed.dump();
    EXPECT_EQ(board_entry(document, "/dev/tarnvel1")["result"], "updated");
    EXPECT_TRUE(flash_holds_image(hardware(1), image));
    const Json history = parse_json(fw({"history", "--json"}));
    EXPECT_EQ(board_entry(history, "/dev/tarnvel0")["result"], "failed");
    EXPECT_EQ(board_entry(history, "/dev/tarnvel1")["result"], "verified");
}

class FwRegisterErrorNumber : public FwTestWithParam<int> {};

// The driver's error number reaches the result whole, also one the C library has no name for.
TEST_P(FwRegisterErrorNumber, ReachesTheResult) {
    const int number = GetParam();
    add_board(BoardKind::Qx630, kFirmware, kFirmware + 1, 2048,
              sim::RegisterFault{.access = 1, .error = number});
    const sim::RunResult result = fw({"update", "--yes", "--json"});
    EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end() << "\n"
                                                      << result.err;
    const std::string error = board_entry(parse_json(result), "/dev/tarnvel0")["error"];
    EXPECT_NE(error.find(os_error_text(number)), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Numbers, FwRegisterErrorNumber, ::testing::Values(41, 75, 200, 512));

// With --reboot the board must come back with the image's version.
TEST_F(FwTest, ARebootIntoAnotherVersionFailsTheBoard) {
    const std::vector<std::uint8_t> image = sim::firmware_bytes(1000);
    sim::BoardConfig config = sim::BoardConfig::of_kind(BoardKind::Qx630, kFirmware);
    // This board takes the image for firmware 7.
    config.images.push_back({image, 7});
    add_hardware(BoardKind::Qx630, std::move(config));
    ASSERT_TRUE(firmware().add_board_image(BoardKind::Qx630, 1, 0, kFirmware + 1, image));

    const sim::RunResult result = fw({"update", "--yes", "--reboot", "--json"});
    EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end() << "\n"
                                                      << result.err;
    const Json board = board_entry(parse_json(result), "/dev/tarnvel0");
    EXPECT_EQ(board["result"], "failed");
    EXPECT_EQ(board["rebooted"], true);
    EXPECT_EQ(board["firmware_after"], 7);
}

// A reboot the driver refuses fails its board, which needs a manual power cycle; the other
// boards are rebooted all the same.
TEST_F(FwTest, AFailedRebootFailsOnlyItsBoard) {
    sim::BoardConfig config = sim::BoardConfig::of_kind(BoardKind::Qx630, kFirmware);
    config.reboot = sim::RebootState::IsDirectory;
    add_hardware(BoardKind::Qx630, std::move(config));
    ASSERT_TRUE(firmware().add_board_image(BoardKind::Qx630, 1, 0, kFirmware + 1,
                                           sim::firmware_bytes(1000)));
    add_board(BoardKind::Qx480Spi, kFirmware, kFirmware + 1);

    const sim::RunResult result = fw({"update", "--yes", "--reboot", "--json"});
    EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end() << "\n"
                                                      << result.err;
    const Json document = parse_json(result);
    const Json board = board_entry(document, "/dev/tarnvel0");
    EXPECT_EQ(board["result"], "failed");
    EXPECT_EQ(board["rebooted"], false);
    EXPECT_EQ(board_entry(document, "/dev/tarnvel1")["result"], "updated");
    EXPECT_EQ(board_entry(document, "/dev/tarnvel1")["rebooted"], true);
}

// A board another process holds is reported, not waited for; the run goes on.
// The version the board runs, written again in full: said as such, with no new firmware to wait
// for.
TEST_F(FwTest, ARewriteOfTheRunningVersionSaysSo) {
    add_board(BoardKind::Qx630, kFirmware, kFirmware);
    const sim::RunResult result = fw({"update", "--yes", "--force", "--full", "--no-reboot"});
    EXPECT_TRUE(result.exited_with(0)) << result.describe_end() << "\n" << result.err;
    EXPECT_EQ(result.out, fmt::format("/dev/tarnvel0 (QX630 v1.0): firmware {} written again, not "
                                      "rebooted: the board runs this version already (1 block "
                                      "written)\n",
                                      kFirmware));
}

TEST_F(FwTest, ALockedBoardFailsAndTheNextIsUpdated) {
    add_board(BoardKind::Qx630, kFirmware, kFirmware + 1);
    const auto image = add_board(BoardKind::Qx480Spi, kFirmware, kFirmware + 1);
    const std::string node_file = (testbed().root_dir() / "dev/tarnvel0").string();
    const int held = ::open(node_file.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

    const sim::RunResult result = fw({"update", "--yes", "--json"});
    ::close(held);
    EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end() << "\n"
                                                      << result.err;
    const Json document = parse_json(result);
    const Json locked = board_entry(document, "/dev/tarnvel0");
    EXPECT_EQ(locked["result"], "failed");
    EXPECT_NE(locked["error"].get<std::string>().find("locked by another process"),
              std::string::npos)
        << locked.dump();
    EXPECT_EQ(hardware(0).register_accesses(), 0u);
    EXPECT_EQ(board_entry(document, "/dev/tarnvel1")["result"], "updated");
    EXPECT_TRUE(flash_holds_image(hardware(1), image));
}

}  // namespace
}  // namespace tarnvel::testing
