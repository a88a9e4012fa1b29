// tarnvel-fw update writes a machine's boards at the same time: each under its own journal
// record, the operator told of each board as soon as it is done, and a stop signal answered at
// once and obeyed at the end of the block each board is at.

#include <signal.h>

#include <fmt/format.h>

#include <algorithm>

#include "background_program.hpp"
#include "fw_harness.hpp"
#include "terminal_screen.hpp"

namespace tarnvel::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint16_t kFirmware = 40;

// Chips whose block or sector erase lasts `erase`: a write that takes its time with few
// register accesses, as on a board.
sim::BoardOptions slow_erases(std::chrono::nanoseconds erase) {
    sim::BoardOptions options;
    options.spi.erase_time = sim::BusyTime{.duration = erase};
    options.parallel.erase_time = sim::BusyTime{.duration = erase};
    return options;
}

class FwAtOnce : public FwTest {
  protected:
    // A board of `kind` running kFirmware whose archive holds a newer image of `size` bytes,
    // its erases lasting `erase`; answers the image.
    std::vector<std::uint8_t> add_slow_board(BoardKind kind, std::chrono::nanoseconds erase,
                                             std::size_t size = 2048) {
        auto index = sim::add_hardware_board(
            testbed(), kind, sim::BoardConfig::of_kind(kind, kFirmware), slow_erases(erase));
        EXPECT_TRUE(index) << error_text(index.error());
        std::vector<std::uint8_t> image =
            sim::firmware_bytes(size, static_cast<std::uint32_t>(kind) * 1000 + kFirmware + 1);
        const HwVersionEntry& hw = board_info(kind).hw_versions.front();
        EXPECT_TRUE(firmware().add_board_image(kind, hw.major, hw.minor, kFirmware + 1, image));
        return image;
    }
};

// Three flash families in one run: every board verified, and their journal records' times
// overlap (each write lasts the best part of two seconds, the time of its erase, so writes made
// one after another could not overlap even to the second). Without backups: a record begins
// after its backup's read of a whole erase block, which through umockdev takes each family a
// different many seconds, so the records would begin too far apart to overlap.
TEST_F(FwAtOnce, WritesBoardsOfThreeFlashFamiliesAtTheSameTime) {
    const BoardKind kinds[] = {BoardKind::Qx630, BoardKind::Qx400, BoardKind::Qx410};
    std::vector<std::vector<std::uint8_t>> images;
    for (BoardKind kind : kinds) images.push_back(add_slow_board(kind, 1800ms));

    const sim::RunResult result = fw({"update", "--yes", "--no-backup", "--json"});
    EXPECT_TRUE(result.exited_with(0)) << result.describe_end() << "\n" << result.err;
    const Json document = parse_json(result);
    const Json history = parse_json(fw({"history", "--json"}));
    ASSERT_EQ(history.size(), 3u) << history.dump(2);
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string node = fmt::format("/dev/tarnvel{}", i);
        EXPECT_EQ(board_entry(document, node)["result"], "updated");
        EXPECT_TRUE(flash_holds_image(hardware(i), images[i]));
        EXPECT_EQ(board_entry(history, node)["result"], "verified");
    }
    // RFC 3339 times of one form compare as text.
    for (const Json& a : history) {
        for (const Json& b : history) {
            if (a["id"] == b["id"]) continue;
            EXPECT_LT(a["started"].get<std::string>(), b["ended"].get<std::string>())
                << a.dump() << "\n"
                << b.dump();
        }
    }
}

// On a terminal each board being written has a progress line of its own, redrawn in place
// below the others; once the boards are done only their results are left on the screen.
// Without backups, whose reads of unequal blocks would keep the writes apart (see above).
TEST_F(FwAtOnce, DrawsAProgressLinePerBoardOnATerminal) {
    add_slow_board(BoardKind::Qx630, 1800ms);
    add_slow_board(BoardKind::Qx400, 1800ms);
    BackgroundProgram program(
        testbed(), firmware().path(),
        {.argv = {TARNVEL_FW_BINARY, "update", "--yes", "--no-backup"}, .terminal = true});
    // The lines in the order the boards started.
    ASSERT_TRUE(program.wait_for([&] {
        std::vector<std::string> screen = render_terminal(program.out());
        std::ranges::sort(screen);
        return screen.size() == 2 && screen[0].starts_with("/dev/tarnvel0 QX630 writing [") &&
               screen[1].starts_with("/dev/tarnvel1 QX400 writing [");
    })) << ::testing::PrintToString(render_terminal(program.out()));
    const sim::RunResult& ended = program.finish();
    EXPECT_TRUE(ended.exited_with(0)) << ended.describe_end() << "\n" << ended.out;
    std::vector<std::string> screen = render_terminal(ended.out);
    std::ranges::sort(screen);
    EXPECT_EQ(screen, (std::vector<std::string>{
                          fmt::format("/dev/tarnvel0 (QX630 v1.0): updated from firmware {} to {}, "
                                      "not rebooted: the new firmware runs after the next power "
                                      "cycle (1 block written)",
                                      kFirmware, kFirmware + 1),
                          fmt::format("/dev/tarnvel1 (QX400 v1.1): updated from firmware {} to {}, "
                                      "not rebooted: the new firmware runs after the next power "
                                      "cycle (1 block written)",
                                      kFirmware, kFirmware + 1)}));
}

// With the readable text, each board's line comes as soon as that board is done, not when the
// whole run is.
TEST_F(FwAtOnce, PrintsEachBoardsResultAsItFinishes) {
    add_board(BoardKind::Qx630, kFirmware, kFirmware + 1);
    add_slow_board(BoardKind::Qx480Spi, 1800ms);
    BackgroundProgram program(testbed(), firmware().path(),
                              {.argv = {TARNVEL_FW_BINARY, "update", "--no-reboot"}});
    program.type("y\ny\n");
    ASSERT_TRUE(program.wait_for_output("/dev/tarnvel0 (QX630 v1.0): updated")) << program.out();
    EXPECT_EQ(program.out().find("/dev/tarnvel1"), std::string::npos)
        << "the slower board's line came with the first:\n"
        << program.out();
    const sim::RunResult& ended = program.finish();
    EXPECT_TRUE(ended.exited_with(0)) << ended.describe_end() << "\n" << ended.err;
    EXPECT_NE(ended.out.find("/dev/tarnvel1 (QX480 v2.0): updated"), std::string::npos)
        << ended.out;
}

// A stop signal while a board writes the first of its two blocks: the operator is told at
// once, while that block is still being written; the block is finished and verified, the
// second is not begun, the board waiting for its turn (--jobs 1) is not written, the results
// come out, one notice says that the program stops, and the signal ends it. The journal's
// record says the write stopped, with its one block written, and list and history say
// "stopped" as the update did.
TEST_F(FwAtOnce, AStopSignalStopsTheWritesAtTheEndOfTheirBlock) {
    const auto image = add_board(BoardKind::Qx630, kFirmware, kFirmware + 1, 0x10000 + 512);
    add_board(BoardKind::Qx480Spi, kFirmware, kFirmware + 1);
    BackgroundProgram program(
        testbed(), firmware().path(),
        {.argv = {TARNVEL_FW_BINARY, "update", "--yes", "--json", "--jobs", "1"}});
    const auto pages_written = [this] {
        return testbed().with_model(0, [](sim::RegisterModel& model) {
            return dynamic_cast<sim::SimBoard&>(model).spi_chip()->programs_done();
        });
    };
    ASSERT_TRUE(program.wait_for([&] { return pages_written() > 0; }));
    program.signal(SIGTERM);
    ASSERT_TRUE(program.wait_for(
        [&] { return program.err().find("stop signal received") != std::string::npos; }));
    // 256 pages make the block: the operator heard of the signal before its end.
    EXPECT_LT(pages_written(), 256u);

    const sim::RunResult& ended = program.finish();
    EXPECT_EQ(ended.signal, SIGTERM) << ended.describe_end() << "\n" << ended.err;
    EXPECT_EQ(ended.err,
              "tarnvel-fw: stop signal received: stopping after the block each board is writing. "
              "DO NOT POWER OFF the system\n"
              "tarnvel-fw: every board has stopped at the end of a block; stopping now on the "
              "stop signal\n");
    const Json document = parse_json(ended);
    EXPECT_EQ(document["ok"], false);
    const Json stopped = board_entry(document, "/dev/tarnvel0");
    EXPECT_EQ(stopped["result"], "stopped");
    EXPECT_EQ(stopped["blocks_written"], 1);
    EXPECT_NE(stopped["error"].get<std::string>().find("after 1 of 2 blocks"), std::string::npos)
        << stopped.dump();
    EXPECT_EQ(board_entry(document, "/dev/tarnvel1")["result"], "not-attempted");
    // The first block holds the image, the second what it held.
    const std::vector<std::uint8_t> first(image.begin(), image.begin() + 0x10000);
    EXPECT_EQ(image_region(hardware(0), 0x10000), first);
    EXPECT_TRUE(flash_untouched(hardware(1)));
    EXPECT_TRUE(no_violations(hardware(0)));

    const Json history = parse_json(fw({"history", "--json"}));
    ASSERT_EQ(history.size(), 1u) << history.dump(2);
    EXPECT_EQ(history[0]["node"], "/dev/tarnvel0");
    EXPECT_EQ(history[0]["result"], "failed");
    EXPECT_EQ(history[0]["stopped"], true);
    EXPECT_EQ(history[0]["flash_changed"], true);
    EXPECT_EQ(history[0]["blocks_written"], 1);
    EXPECT_NE(fw({"history"})
                  .out.find("STOPPED by a stop signal after 1 of 2 blocks, the flash "
                            "holds a partial image"),
              std::string::npos);
    const Json listed = board_entry(parse_json(fw({"list", "--json"})), "/dev/tarnvel0");
    EXPECT_EQ(listed["status"], "write-failed");
    EXPECT_EQ(listed["stopped"], true);
    const std::string table = fw({"list"}).out;
    const std::size_t row = table.find("/dev/tarnvel0");
    EXPECT_LT(table.find(" stopped ", row), table.find("(the write by tarnvel-fw was stopped at "))
        << table;
}

// A stop signal at the second board's reboot question, on the operator's terminal: the
// question ends, the first board's "y" is carried out, the second is not rebooted, both
// results are printed, and then the signal ends the program.
TEST_F(FwAtOnce, AStopAtARebootQuestionKeepsEveryResultAndTheRebootsAgreedTo) {
    add_board(BoardKind::Qx630, kFirmware, kFirmware + 1);
    add_board(BoardKind::Qx480Spi, kFirmware, kFirmware + 1);
    BackgroundProgram program(testbed(), firmware().path(),
                              {.argv = {TARNVEL_FW_BINARY, "update"}, .terminal = true});
    program.type("y\ny\n");
    const auto questions = [&] {
        const std::string& out = program.out();
        std::size_t count = 0;
        for (std::size_t at = 0; (at = out.find("Reboot device?", at)) != std::string::npos; ++at)
            ++count;
        return count;
    };
    ASSERT_TRUE(program.wait_for([&] { return questions() == 1; })) << program.out();
    program.type("y\n");
    ASSERT_TRUE(program.wait_for([&] { return questions() == 2; })) << program.out();
    program.signal(SIGINT);

    const sim::RunResult& ended = program.finish();
    EXPECT_EQ(ended.signal, SIGINT) << ended.describe_end() << "\n" << ended.out;
    const std::vector<std::string> screen = render_terminal(ended.out);
    const auto shown = [&](std::string_view line) {
        return std::ranges::find(screen, line) != screen.end();
    };
    for (const std::string& line :
         {std::string("tarnvel-fw: stop signal received: no more questions; the boards "
                      "answered y are rebooted, the others are not"),
          fmt::format("/dev/tarnvel0 (QX630 v1.0): updated from firmware {} to {}, rebooted, "
                      "reports firmware {} (1 block written)",
                      kFirmware, kFirmware + 1, kFirmware + 1),
          fmt::format("/dev/tarnvel1 (QX480 v2.0): updated from firmware {} to {}, not "
                      "rebooted: the new firmware runs after the next power cycle (1 block "
                      "written)",
                      kFirmware, kFirmware + 1),
          std::string("tarnvel-fw: stopping now on the stop signal")}) {
        EXPECT_TRUE(shown(line)) << line << "\n" << ::testing::PrintToString(screen);
    }
    EXPECT_EQ(testbed().reboot_written(0), "1");
    EXPECT_EQ(testbed().reboot_written(1), "");
}

// A stop signal at the second board's "Update firmware?" question: no board is written, not
// even the one already answered y, and both are reported before the signal ends the program.
TEST_F(FwAtOnce, AStopAtAnUpdateQuestionWritesNothingAndReportsEveryBoard) {
    add_board(BoardKind::Qx630, kFirmware, kFirmware + 1);
    add_board(BoardKind::Qx480Spi, kFirmware, kFirmware + 1);
    BackgroundProgram program(testbed(), firmware().path(),
                              {.argv = {TARNVEL_FW_BINARY, "update", "--json"}});
    program.type("y\n");
    ASSERT_TRUE(program.wait_for([&] {
        return program.err().find("/dev/tarnvel1") != std::string::npos &&
               program.err().ends_with("(y/N): ");
    })) << program.err();
    program.signal(SIGINT);

    const sim::RunResult& ended = program.finish();
    EXPECT_EQ(ended.signal, SIGINT) << ended.describe_end() << "\n" << ended.err;
    EXPECT_NE(ended.err.find("\ntarnvel-fw: stop signal received: no more questions, no board is "
                             "written\n"),
              std::string::npos)
        << ended.err;
    const Json document = parse_json(ended);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(board_entry(document, fmt::format("/dev/tarnvel{}", i))["result"],
                  "not-attempted");
        EXPECT_TRUE(flash_untouched(hardware(i)));
    }
}

}  // namespace
}  // namespace tarnvel::testing
