// What tarnvel-fw keeps of what it overwrites, and what a fleet lets it write: a backup before
// every write, written back by rollback byte for byte; a backup that can't be kept stops the
// write before its first erase; retention keeps what it promises; approved and blocked images,
// and a configuration file that says where it is wrong.

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "fw_harness.hpp"
#include "sim/model/firmware_load.hpp"
#include "sim/support/file_text.hpp"
#include "journal/journal.hpp"

namespace tarnvel::testing {
namespace {

namespace fs = std::filesystem;

constexpr BoardKind kKind = BoardKind::Qx630;
constexpr std::uint16_t kFirmware = 40;

bool contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

class BackupTest : public FwTest {
  protected:
    fs::path backups() const { return state_dir() / "backups"; }
    std::size_t backup_count() const {
        if (!fs::is_directory(backups())) return 0;
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(backups()), fs::directory_iterator()));
    }
    // The machine's configuration file, which tarnvel-fw reads in the simulated machine.
    void configure(std::string_view text) {
        ASSERT_TRUE(sim::write_whole_file(state_dir().parent_path() / "tarnvel-fw.toml", text));
    }
    std::vector<std::uint8_t> dumped(std::size_t length) {
        const std::string file = scratch_file("dump.bin");
        fs::remove(file);
        const sim::RunResult dump = fw({"dump", "--board", "/dev/tarnvel0", "--output", file,
                                        "--length", std::to_string(length)});
        EXPECT_TRUE(dump.exited_with(0)) << dump.describe_end() << dump.err;
        const std::string bytes = sim::read_whole_file(file).value_or("");
        return {bytes.begin(), bytes.end()};
    }
    Json update(std::vector<std::string> args, int status = 0) {
        args.insert(args.end(), {"--yes", "--no-reboot", "--json"});
        const sim::RunResult result = fw(std::move(args));
        EXPECT_TRUE(result.exited_with(status)) << result.describe_end() << "\n" << result.err;
        return board_entry(parse_json(result), "/dev/tarnvel0");
    }
};

TEST_F(BackupTest, RollbackWritesBackWhatTheUpdateOverwrote) {
    const auto image = add_board(kKind, kFirmware, kFirmware + 1, 3000);
    const std::vector<std::uint8_t> before = dumped(image.size());

    EXPECT_TRUE(fw({"update", "--yes", "--reboot"}).exited_with(0));
    EXPECT_EQ(dumped(image.size()), image);
    // The operator is told what the board returns to, and the result names it again.
    const sim::RunResult asked = fw({"rollback", "--no-reboot"}, "y\n");
    EXPECT_TRUE(asked.exited_with(0)) << asked.describe_end() << "\n" << asked.err;
    EXPECT_TRUE(contains(asked.err, fmt::format("\tRoll back to: firmware {}, the backup of "
                                                "record #1; it runs firmware {} now\n",
                                                kFirmware, kFirmware + 1)))
        << asked.err;
    EXPECT_TRUE(contains(asked.out, fmt::format(": rolled back to firmware {} (the backup of "
                                                "record #1) over firmware {}",
                                                kFirmware, kFirmware + 1)))
        << asked.out;
    EXPECT_EQ(dumped(image.size()), before);

    const Json history = parse_json(fw({"history", "--json"}));
    ASSERT_EQ(history.size(), 2u) << history.dump(2);
    const Json& rollback = history[0];
    const Json& update_record = history[1];
    EXPECT_TRUE(update_record["backup_file"].is_string());
    EXPECT_EQ(update_record["backup_sha256"].get<std::string>().size(), 64u);
    EXPECT_EQ(rollback["backup_of"], update_record["id"]);
    EXPECT_EQ(rollback["image_sha256"], update_record["backup_sha256"]);
    // The rollback kept what it overwrote too: the update's image.
    EXPECT_TRUE(rollback["backup_file"].is_string());
    EXPECT_TRUE(contains(fw({"history"}).out,
                         fmt::format("the backup of record #{}", update_record["id"].get<int>())));
}

TEST_F(BackupTest, ABackupThatCantBeKeptStopsTheWriteBeforeItsFirstErase) {
    add_board(kKind, kFirmware, kFirmware + 1, 16384);
    struct Case {
        const char* what;
        std::string command;  // run by sh, with the update's arguments after it
        const char* reason;
    };
    const Case cases[] = {
        {"backups is a file", "touch \"$TARNVEL_STATE_DIR/backups\"", "not a directory"},
        {"the file system is full",
         "rm -f \"$TARNVEL_STATE_DIR/backups\" && mkdir -p \"$TARNVEL_STATE_DIR/backups\" && "
         "mount -t tmpfs -o size=4k tmpfs \"$TARNVEL_STATE_DIR/backups\"",
         "No space left on device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::create_directories(state_dir());
        const sim::RunResult result = run(
            {"sh", "-c", c.command + " && exec \"$0\" update --yes --no-reboot --json",
             TARNVEL_FW_BINARY});
        EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end() << result.err;
        const Json board = board_entry(parse_json(result), "/dev/tarnvel0");
        EXPECT_EQ(board["result"], "failed");
        EXPECT_TRUE(contains(board["error"], "could not be kept")) << board["error"];
        EXPECT_TRUE(contains(board["error"], c.reason)) << board["error"];
        EXPECT_FALSE(firmware_storage(hardware(0)).changed());
        EXPECT_EQ(parse_json(fw({"history", "--json"})).size(), 0u);
    }

    const Json written = update({"update", "--no-backup"});
    EXPECT_EQ(written["result"], "updated");
    const Json history = parse_json(fw({"history", "--json"}));
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0]["backup_skipped"], true);
    EXPECT_EQ(history[0]["backup_file"], nullptr);
}

TEST_F(BackupTest, RetentionKeepsTheNewestAndTheWayBack) {
    const auto image = add_board(kKind, kFirmware, kFirmware + 1);
    // Another image, as a file: every write below changes the flash and keeps a backup.
    std::vector<std::uint8_t> other = image;
    other.back() ^= 0xFF;
    const std::string other_file = scratch_file("other.bin");
    ASSERT_TRUE(sim::write_whole_file(other_file, std::string(other.begin(), other.end())));
    const std::vector<std::string> write_other = {"update", "--force", "--board", "/dev/tarnvel0",
                                                  "--image", other_file};
    for (std::size_t n = 1; n <= 4; ++n) {
        EXPECT_EQ(update(n % 2 == 1 ? std::vector<std::string>{"update", "--force"} : write_other)
                      ["result"],
                  "updated");
        EXPECT_EQ(backup_count(), std::min<std::size_t>(n, 2)) << "after write " << n;
    }
    // A write that changes nothing keeps nothing, and counts for nothing.
    std::vector<std::string> again = write_other;
    again.push_back("--full");
    EXPECT_EQ(update(again)["result"], "updated");
    EXPECT_EQ(update(write_other)["result"], "unchanged");
    EXPECT_EQ(backup_count(), 2u);
    EXPECT_EQ(parse_json(fw({"history", "--json"}))[0]["backup_file"], nullptr);

    configure("keep_backups = 3\n");
    update({"update", "--force"});
    update(write_other);
    EXPECT_EQ(backup_count(), 3u);
    // None asked for: the backup rollback returns to stays all the same.
    update({"update", "--force", "--keep-backups", "0"});
    EXPECT_EQ(backup_count(), 1u);
    const Json history = parse_json(fw({"history", "--json"}));
    ASSERT_FALSE(history.empty());
    EXPECT_EQ(history[0]["backup_present"], true);
    EXPECT_EQ(history[1]["backup_present"], false);
    EXPECT_TRUE(contains(fw({"history"}).out, "since removed"));
    // What is kept is what rollback writes back: the other image.
    EXPECT_EQ(update({"rollback"})["result"], "updated");
    EXPECT_EQ(dumped(other.size()), other);
    const sim::RunResult gone = fw({"rollback", "--board", "/dev/tarnvel0", "--to",
                                    std::to_string(history[1]["id"].get<int>()), "--yes",
                                    "--no-reboot", "--json"});
    EXPECT_TRUE(contains(board_entry(parse_json(gone), "/dev/tarnvel0")["error"], "is gone"))
        << gone.out;
}

// A rollback is a write of its own: recorded, waiting for the power cycle, done once, and the
// image it took off is not written back by the next rollout.
TEST_F(BackupTest, RollbackReturnsOnceAndHoldsTheImageBack) {
    // As long as the firmware the board was made with, which it starts again once it is back.
    add_board(kKind, kFirmware, kFirmware + 1, sim::kShippedImageBytes);
    const sim::RunResult updated = fw({"update", "--yes", "--reboot", "--json"});
    ASSERT_TRUE(updated.exited_with(0)) << updated.err;
    const int update_record = board_entry(parse_json(updated), "/dev/tarnvel0")["record_id"];

    EXPECT_EQ(update({"rollback"})["result"], "updated");
    const Json history = parse_json(fw({"history", "--json"}));
    EXPECT_EQ(history[0]["rollback_of"], update_record);
    EXPECT_EQ(history[0]["image_version"], kFirmware);
    EXPECT_EQ(history[0]["backup_holds"], "image");
    EXPECT_EQ(history[0]["backup_version"], kFirmware + 1);
    EXPECT_EQ(history[1]["backup_holds"], "running");
    EXPECT_EQ(history[1]["backup_version"], kFirmware);
    const Json listed = board_entry(parse_json(fw({"list", "--json"})), "/dev/tarnvel0");
    EXPECT_EQ(listed["status"], "pending-power-cycle");

    // Twice is once; with --reboot the board must come back running what was written back.
    EXPECT_EQ(update({"rollback"})["result"], "unchanged");
    const sim::RunResult rebooted =
        fw({"rollback", "--yes", "--reboot", "--json"});
    EXPECT_TRUE(rebooted.exited_with(0)) << rebooted.err;
    const Json back = board_entry(parse_json(rebooted), "/dev/tarnvel0");
    EXPECT_EQ(back["result"], "unchanged");
    EXPECT_EQ(back["firmware_after"], kFirmware);

    const Json held = update({"update"});
    EXPECT_EQ(held["result"], "held-back");
    const Json status = board_entry(parse_json(fw({"list", "--json"})), "/dev/tarnvel0");
    EXPECT_EQ(status["status"], "held-back");
    const int last_rollback = parse_json(fw({"history", "--json"}))[0]["id"];
    EXPECT_TRUE(contains(status["reason"], fmt::format("record {} rolled image {} back",
                                                       last_rollback, kFirmware + 1)))
        << status.dump();
    EXPECT_EQ(update({"update", "--force"})["result"], "updated");

    // Records asked for by number say in words why they are no way back.
    struct Case {
        std::string to;
        const char* says;
    };
    const Case cases[] = {
        {"999", "holds no record 999"},
        {std::to_string(history[0]["id"].get<int>() + 1), "kept no backup"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to);
        const Json refused = update({"rollback", "--board", "/dev/tarnvel0", "--to", c.to},
                                    kExitBoardFailed);
        EXPECT_EQ(refused["result"], "no-image");
        EXPECT_TRUE(contains(refused["error"], c.says)) << refused["error"];
    }
    EXPECT_TRUE(fw({"rollback", "--board", "/dev/tarnvel0", "--to", ""}).exited_with(kExitUsage));
}

// A canary that undoes itself: a board that can't start the image gets its backup back.
TEST_F(BackupTest, AFailedRebootWritesTheBackupBack) {
    sim::BoardConfig config = sim::BoardConfig::of_kind(kKind, kFirmware);
    config.unbootable = {kFirmware + 1};
    add_hardware(kKind, std::move(config));
    const HwVersionEntry& hw = board_info(kKind).hw_versions.front();
    ASSERT_TRUE(firmware().add_board_image(kKind, hw.major, hw.minor, kFirmware + 1,
                                           sim::firmware_bytes(sim::kShippedImageBytes, 77)));

    const sim::RunResult canary =
        fw({"update", "--yes", "--reboot", "--rollback-on-failure", "--json"});
    EXPECT_TRUE(canary.exited_with(kExitBoardFailed)) << canary.describe_end() << canary.err;
    const Json board = board_entry(parse_json(canary), "/dev/tarnvel0");
    EXPECT_EQ(board["result"], "rolled-back");
    EXPECT_EQ(board["firmware_after"], 0) << "its factory image";
    EXPECT_EQ(board["rollback"]["result"], "updated");
    EXPECT_EQ(board["rollback"]["firmware_after"], kFirmware);
    // The image it could not start is held back from the next rollout.
    EXPECT_EQ(update({"update"})["result"], "held-back");
}

TEST_F(BackupTest, OnlyAllowedImagesAreWritten) {
    const auto image = add_board(kKind, kFirmware, kFirmware + 1);
    update({"update", "--no-backup", "--force", "--full"});  // learns the image's digest
    const std::string digest =
        parse_json(fw({"history", "--json"}))[0]["image_sha256"].get<std::string>();
    const std::string other(64, '0');

    struct Case {
        const char* what;
        std::string configuration;
        const char* result;
    };
    const Case cases[] = {
        {"not on the approved list", fmt::format("approved_sha256 = [\"{}\"]\n", other),
         "not-approved"},
        {"blocked, also with --force",
         fmt::format("approved_sha256 = [\"{0}\"]\nblocked_sha256 = [\"{0}\"]\n", digest),
         "blocked"},
    };
    const std::size_t writes = parse_json(fw({"history", "--json"})).size();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        configure(c.configuration);
        const Json board = update({"update", "--force", "--full"}, kExitBoardFailed);
        EXPECT_EQ(board["result"], c.result);
        EXPECT_TRUE(contains(board["error"], digest)) << board["error"];
        EXPECT_EQ(parse_json(fw({"history", "--json"})).size(), writes) << "written";
    }
    configure(fmt::format("approved_sha256 = [\"{}\"]\n", digest));
    EXPECT_EQ(update({"update", "--force", "--full"})["result"], "updated");

    // A configuration that is not one leaves every board alone and says where it is wrong.
    configure("approved_sha256 = [\n  \"nope\"]\n");
    const sim::RunResult refused = fw({"update", "--yes", "--force", "--full", "--json"});
    EXPECT_TRUE(refused.exited_with(kExitUsage)) << refused.describe_end();
    EXPECT_TRUE(contains(refused.err, "line 2, column 3")) << refused.err;
    EXPECT_EQ(parse_json(fw({"history", "--json"})).size(), writes + 1) << "written";
    EXPECT_EQ(image_region(hardware(0), image.size()), image);

    // One that another user owns and anyone may write is refused as it stands, naming why, and
    // nothing is written: it is never taken for no configuration.
    configure("keep_backups = 0\n");
    const fs::path file = state_dir().parent_path() / "tarnvel-fw.toml";
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
    const sim::RunResult foreign = fw({"update", "--yes", "--force", "--full", "--json"});
    EXPECT_TRUE(foreign.exited_with(kExitUsage)) << foreign.describe_end();
    EXPECT_TRUE(contains(foreign.err, file.string() + ": refused: it belongs to uid 65534"))
        << foreign.err;
    EXPECT_EQ(parse_json(fw({"history", "--json"})).size(), writes + 1) << "written";
}

}  // namespace
}  // namespace tarnvel::testing
