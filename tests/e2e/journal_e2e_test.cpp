// The journal of writes as the operator meets it, on a simulated machine with a state directory
// of its own: an image that awaits the power cycle is not written again, a partial image is,
// a board that is gone is missed, both programs record their writes, and a journal that can't
// be used stops tarnvel-fw's writes but nothing else. Also what tarnvel-fw says about a write
// that never started, a machine without boards, a board that comes back from its reboot with
// another identity, and an archive whose directory alone decides the listing.

#include <openssl/evp.h>
#include <signal.h>

#include <fmt/format.h>

#include <array>
#include <filesystem>
#include <fstream>

#include "background_program.hpp"
#include "fw_harness.hpp"
#include "support/journal_integrity.hpp"
#include "update/journal.hpp"
#include "sim/support/file_text.hpp"

namespace tarnvel::testing {
namespace {

constexpr std::uint16_t kFirmware = 40;
constexpr BoardKind kKind = BoardKind::Qx630;

std::string sha256_of(const std::vector<std::uint8_t>& bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr),
              1);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) hex += fmt::format("{:02x}", digest[i]);
    return hex;
}

std::string file_text(const std::filesystem::path& path) {
    return sim::read_whole_file(path).value_or("");
}

bool contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

class JournalTest : public FwTest {
  protected:
    std::filesystem::path journal_file() { return state_dir() / kJournalFileName; }

    // The PCI address of a board's slot: the name of its parent in sysfs.
    std::string pci_of(std::size_t board) {
        return std::filesystem::path(testbed().syspath(board))
            .parent_path()
            .parent_path()
            .filename();
    }

    Json status_of(std::string_view node = "/dev/tarnvel0") {
        return board_entry(parse_json(fw({"list", "--json"})), node)["status"];
    }

    std::string integrity_check() { return testing::integrity_check(journal_file()); }
};

// Written without a reboot, the board runs its old firmware until the power cycle: listed as
// awaiting it, not written again (the board is not even opened), and once the power cycle
// has come the board is up to date.
TEST_F(JournalTest, AVerifiedImageAwaitsThePowerCycleAndIsNotWrittenAgain) {
    const auto image = add_board(kKind, kFirmware, kFirmware + 1, 3000);

    const sim::RunResult written = fw({"update", "--yes", "--no-reboot", "--json"});
    ASSERT_TRUE(written.exited_with(0)) << written.describe_end() << "\n" << written.err;
    const Json update = board_entry(parse_json(written), "/dev/tarnvel0");
    EXPECT_EQ(update["result"], "updated");
    EXPECT_EQ(update["image_sha256"], sha256_of(image));
    EXPECT_EQ(update["pci"], pci_of(0));

    const Json listed = board_entry(parse_json(fw({"list", "--json"})), "/dev/tarnvel0");
    EXPECT_EQ(listed["status"], "pending-power-cycle");
    EXPECT_EQ(listed["pci"], pci_of(0));
    EXPECT_EQ(listed["last_write"]["result"], "verified");

    const auto accesses = hardware(0).register_accesses();
    const sim::RunResult again = fw({"update", "--yes", "--json"});
    EXPECT_TRUE(again.exited_with(0)) << again.describe_end() << "\n" << again.err;
    EXPECT_EQ(board_entry(parse_json(again), "/dev/tarnvel0")["result"], "pending-power-cycle");
    EXPECT_EQ(hardware(0).register_accesses(), accesses) << "no erase, no access at all";

    const Json history = parse_json(fw({"history", "--json"}));
    ASSERT_EQ(history.size(), 1u) << history.dump(2);
    const Json& record = history[0];
    EXPECT_EQ(record["result"], "verified");
    EXPECT_NE(record["ended"], nullptr);
    EXPECT_EQ(record["image_sha256"], sha256_of(image));
    EXPECT_EQ(record["image_version"], kFirmware + 1);
    EXPECT_EQ(record["program"], "tarnvel-fw");
    EXPECT_EQ(record["pci"], pci_of(0));
    EXPECT_EQ(record["reboot_requested"], false);

    testbed().load_firmware(0);  // the power cycle
    EXPECT_EQ(status_of(), "up-to-date");
}

// A register access that fails in the middle of programming leaves a partial image: listed as
// such, and written again by the next update although the versions alone would not ask for it.
TEST_F(JournalTest, AWriteThatFailedPartwayIsListedAndWrittenAgain) {
    const auto image =
        add_board(kKind, kFirmware, kFirmware + 1, 3000, sim::RegisterFault{.access = 400});
    const sim::RunResult failed = fw({"update", "--yes", "--json"});
    EXPECT_TRUE(failed.exited_with(kExitBoardFailed)) << failed.describe_end();
    EXPECT_TRUE(
        contains(board_entry(parse_json(failed), "/dev/tarnvel0")["error"], "partial image"));

    const Json listed = board_entry(parse_json(fw({"list", "--json"})), "/dev/tarnvel0");
    EXPECT_EQ(listed["status"], "write-failed");
    EXPECT_EQ(listed["last_write"]["flash_changed"], true);

    faults(0)->set_fault({});
    const sim::RunResult rewritten = fw({"update", "--yes", "--json"});
    EXPECT_TRUE(rewritten.exited_with(0)) << rewritten.describe_end() << "\n" << rewritten.err;
    EXPECT_EQ(board_entry(parse_json(rewritten), "/dev/tarnvel0")["result"], "updated");
    EXPECT_TRUE(flash_holds_image(hardware(0), image));
}

// Killed in the middle of programming: the journal stays whole, and the write is listed as
// interrupted.
TEST_F(JournalTest, AKilledWriteIsListedInterrupted) {
    // Two blocks: the first one alone takes long enough to be killed in.
    add_board(kKind, kFirmware, kFirmware + 1, 0x10000 + 2048);
    {
        BackgroundProgram program(
            testbed(), firmware().path(),
            {.argv = {TARNVEL_FW_BINARY, "update", "--yes"}, .state_dir = state_dir()});
        ASSERT_TRUE(program.wait_for([this] {
            return testbed().with_model(0, [](sim::RegisterModel& model) {
                return dynamic_cast<sim::SimBoard&>(model).firmware_flash()->changed();
            });
        }));
        program.signal(SIGKILL);
        EXPECT_EQ(program.finish().signal, SIGKILL);
    }
    EXPECT_EQ(integrity_check(), "ok");
    const Json listed = board_entry(parse_json(fw({"list", "--json"})), "/dev/tarnvel0");
    EXPECT_EQ(listed["status"], "interrupted");
    EXPECT_EQ(listed["last_write"]["ended"], nullptr);
    // (That the next update writes it again is the decision's, as for a failed write.)
}

// A write whose very first register access fails never reached the flash: nothing says it
// holds a partial image, and nothing in the journal makes the board look damaged.
TEST_F(JournalTest, AWriteThatNeverStartedClaimsNoPartialImage) {
    add_board(kKind, kFirmware, kFirmware + 1, 3000, sim::RegisterFault{.access = 1});
    const sim::RunResult result = fw({"update", "--yes", "--json"});
    EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end();
    const std::string error = board_entry(parse_json(result), "/dev/tarnvel0")["error"];
    EXPECT_FALSE(contains(error, "partial image")) << error;
    EXPECT_TRUE(flash_untouched(hardware(0)));
    EXPECT_EQ(status_of(), "update-available");
}

// A machine whose driver is not loaded has not been updated or verified.
TEST_F(JournalTest, NoBoardIsNoSuccess) {
    for (const auto& [command, status] :
         {std::pair<std::vector<std::string>, int>{{"update", "--yes", "--json"}, kExitBoardFailed},
          {{"verify", "--json"}, kExitBoardFailed},
          {{"list", "--json"}, 0}}) {
        const sim::RunResult result = fw(command);
        EXPECT_TRUE(result.exited_with(status)) << command[0] << ": " << result.describe_end();
        EXPECT_TRUE(contains(result.err, "no board was found")) << command[0] << ": " << result.err;
        const Json document = parse_json(result);
        if (command[0] != "list") {
            EXPECT_EQ(document["ok"], false);
        }
    }
}

struct RebootCase {
    const char* name;
    const char* version_after;
    std::optional<int> firmware_after;
    const char* problem;
    bool readable = true;  // UTF-8: kept as the board reports it, otherwise null
};

void PrintTo(const RebootCase& c, std::ostream* os) {
    *os << c.name;
}

class RebootIdentity : public FwFixture<::testing::TestWithParam<RebootCase>> {
  protected:
    // A board whose image, once started, makes it report the case's version.
    void add_rebooting_board() {
        const auto image = sim::firmware_bytes(1000, 9);
        sim::BoardConfig config = sim::BoardConfig::of_kind(kKind, kFirmware);
        config.images.push_back({.data = image, .version = GetParam().version_after});
        add_hardware(kKind, std::move(config));
        ASSERT_TRUE(firmware().add_board_image(kKind, 1, 0, kFirmware + 1, image));
    }
    Json version_after() const {
        return GetParam().readable ? Json(GetParam().version_after) : Json(nullptr);
    }
    // The journal's record of the write says what the board reported after its reboot.
    void expect_recorded(std::string_view program) {
        const Json history = parse_json(fw({"history", "--json"}));
        ASSERT_EQ(history.size(), 1u) << history.dump(2);
        EXPECT_EQ(history[0]["program"], program);
        EXPECT_EQ(history[0]["reboot_requested"], true);
        EXPECT_EQ(history[0]["version_after"], version_after());
    }
};

// The board was rebooted, and came back as something else: said as it is, null where unknown.
TEST_P(RebootIdentity, IsReportedAsTheBoardReportsIt) {
    const RebootCase& c = GetParam();
    add_rebooting_board();
    const sim::RunResult result = fw({"update", "--yes", "--reboot", "--json"});
    EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end();
    const Json board = board_entry(parse_json(result), "/dev/tarnvel0");
    EXPECT_EQ(board["result"], "failed");
    EXPECT_EQ(board["rebooted"], true);
    EXPECT_EQ(board["hardware"], "1.0");
    EXPECT_EQ(board["version_after"], version_after());
    EXPECT_EQ(board["hardware_after"], nullptr);
    EXPECT_EQ(board["firmware_after"], c.firmware_after ? Json(*c.firmware_after) : Json(nullptr));
    EXPECT_TRUE(contains(board["error"], c.problem)) << board["error"];
    expect_recorded("tarnvel-fw");
}

// tarnvel-flash reads the reboot as tarnvel-fw does, and its record keeps the same version.
TEST_P(RebootIdentity, TarnvelFlashRecordsItAlike) {
    add_rebooting_board();
    (void)run_flash("y\ny\n");
    expect_recorded("tarnvel-flash");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RebootIdentity,
    ::testing::Values(
        RebootCase{"Garbage", "garbage", std::nullopt, "came back with an unreadable identity"},
        RebootCase{"UnknownHardware", "7.7r41", 41, "came back with an unexpected identity"},
        RebootCase{"NotUtf8", "1.0r41\xff", std::nullopt,
                   "came back with an unreadable identity", false}),
    [](const ::testing::TestParamInfo<RebootCase>& param) { return param.param.name; });

// list reads the archive's directory, never its images: an entry that declares 2 GiB is listed
// from its name and size at once, and one that can't fit the board is refused by its size.
TEST_F(JournalTest, ListDecidesFromTheArchiveDirectoryAlone) {
    add_hardware(kKind, sim::BoardConfig::of_kind(kKind, kFirmware));
    add_hardware(BoardKind::Qx410, sim::BoardConfig::of_kind(BoardKind::Qx410, kFirmware));
    const auto huge = [](std::uint32_t declared) {
        return std::vector<sim::FirmwareEntry>{{.name = "qx630_1_41.bin",
                                                .data = sim::firmware_bytes(4096),
                                                .declared_size = declared}};
    };
    ASSERT_TRUE(firmware().add_archive("qx630v1_0.zip", huge(0x80000000)));
    ASSERT_TRUE(firmware().add_archive("qx410v3_0.zip", {{.name = "qx410ml_1_41.bin",
                                                          .data = sim::firmware_bytes(4096),
                                                          .declared_size = 0x01000000}}));

    const sim::RunResult result = fw({"list", "--json"});
    const Json document = parse_json(result);
    const Json listed = board_entry(document, "/dev/tarnvel0");
    EXPECT_EQ(listed["status"], "update-available") << listed.dump();
    EXPECT_EQ(listed["available"], 41);
    const Json too_large = board_entry(document, "/dev/tarnvel1");
    EXPECT_EQ(too_large["status"], "no-image") << too_large.dump();
}

// A journal that is not a database: tarnvel-fw writes nothing without --no-journal, says why,
// and still lists, claiming nothing the journal would have to tell; the file is never changed.
TEST_F(JournalTest, ABadJournalStopsWritesButNotListing) {
    const auto image = add_board(kKind, kFirmware, kFirmware + 1);
    std::ofstream(journal_file()) << "kept by hand\n";

    const sim::RunResult refused = fw({"update", "--yes", "--json"});
    EXPECT_TRUE(refused.exited_with(kExitBoardFailed)) << refused.describe_end();
    const Json board = board_entry(parse_json(refused), "/dev/tarnvel0");
    EXPECT_EQ(board["result"], "failed");
    EXPECT_TRUE(contains(board["error"], journal_file().string())) << board["error"];
    EXPECT_TRUE(contains(refused.err, "not a database")) << refused.err;
    EXPECT_TRUE(flash_untouched(hardware(0)));

    const sim::RunResult listed = fw({"list", "--json"});
    EXPECT_TRUE(listed.exited_with(0)) << listed.describe_end();
    EXPECT_EQ(board_entry(parse_json(listed), "/dev/tarnvel0")["status"], "undecided");
    EXPECT_TRUE(contains(listed.err, "journal is unavailable")) << listed.err;
    EXPECT_TRUE(fw({"history"}).exited_with(kExitBoardFailed));

    const sim::RunResult forced = fw({"update", "--yes", "--no-journal", "--json"});
    EXPECT_TRUE(forced.exited_with(0)) << forced.describe_end() << "\n" << forced.err;
    EXPECT_TRUE(flash_holds_image(hardware(0), image));
    EXPECT_EQ(file_text(journal_file()), "kept by hand\n");
}

// A board without a factory image that can't start the partial image a failed write left is
// gone after the power cycle: listed as missing with its slot and last record, and list fails
// so that a fleet notices.
TEST_F(JournalTest, ABoardThatIsGoneAfterAPartialWriteIsMissing) {
    sim::BoardConfig config = sim::BoardConfig::of_kind(kKind, kFirmware);
    config.factory_image = false;
    add_hardware(kKind, std::move(config), sim::RegisterFault{.access = 400});
    ASSERT_TRUE(firmware().add_board_image(kKind, 1, 0, kFirmware + 1, sim::firmware_bytes(3000)));
    EXPECT_TRUE(fw({"update", "--yes"}).exited_with(kExitBoardFailed));
    const std::string pci = pci_of(0);
    testbed().load_firmware(0);  // the power cycle
    ASSERT_FALSE(testbed().present(0));

    const sim::RunResult result = fw({"list", "--json"});
    EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end();
    const Json missing = board_entry(parse_json(result), "/dev/tarnvel0");
    EXPECT_EQ(missing["status"], "missing");
    EXPECT_EQ(missing["pci"], pci);
    EXPECT_EQ(missing["last_write"]["result"], "failed");
}

class FlashJournal : public FwFixture<::testing::TestWithParam<bool>> {};

// tarnvel-flash records its writes; a journal it can't use costs one line on standard error,
// and its dialogue stays byte for byte what it was.
TEST_P(FlashJournal, RecordsWritesWithoutChangingTheDialogue) {
    const bool bad_journal = GetParam();
    const auto image = this->add_board(kKind, kFirmware, kFirmware + 1);
    const auto file = this->state_dir() / kJournalFileName;
    if (bad_journal) std::ofstream(file) << "kept by hand\n";

    const sim::RunResult result = this->run_flash("y\nn\n");
    this->expect_output(result,
                        board_up_to_question("/dev/tarnvel0", 8, 1, 0, kFirmware, kFirmware + 1) +
                            progress_lines(1) + update_done_line() + reboot_question() +
                            manual_power_cycle_line());
    EXPECT_TRUE(flash_holds_image(this->hardware(0), image));
    if (bad_journal) {
        EXPECT_EQ(std::ranges::count(result.err, '\n'), 1) << result.err;
        EXPECT_TRUE(contains(result.err, file.string())) << result.err;
        EXPECT_EQ(file_text(file), "kept by hand\n");
        return;
    }
    EXPECT_EQ(result.err, "");
    const Json history = parse_json(this->fw({"history", "--json"}));
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0]["program"], "tarnvel-flash");
    EXPECT_EQ(history[0]["result"], "verified");
    EXPECT_EQ(history[0]["reboot_requested"], false);
}

INSTANTIATE_TEST_SUITE_P(Journals, FlashJournal, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "Bad" : "Good";
                         });

}  // namespace
}  // namespace tarnvel::testing
