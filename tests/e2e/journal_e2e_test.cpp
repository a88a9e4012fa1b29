// The journal of writes as the operator meets it, on a simulated machine with a state directory
// of its own: an image that awaits the power cycle is not written again, a partial image is,
// a board that is gone is missed, both programs record their writes, and a journal that can't
// be used stops tarnvel-fw's writes but nothing else. Also what tarnvel-fw says about a write
// that never started, a machine without boards, a board that comes back from its reboot with
// another identity, and an archive whose directory alone decides the listing.

#include <openssl/evp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "background_program.hpp"
#include "fw_harness.hpp"
#include "support/journal_integrity.hpp"
#include "journal/journal.hpp"
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
    EXPECT_TRUE(contains(listed["reason"], "runs firmware 40 until it is power-cycled"))
        << listed["reason"];

    // A warm reboot of the machine is no power cycle: the board still runs what it loaded.
    ASSERT_TRUE(testbed().new_boot());
    const Json rebooted = board_entry(parse_json(fw({"list", "--json"})), "/dev/tarnvel0");
    EXPECT_EQ(rebooted["status"], "pending-power-cycle");
    EXPECT_TRUE(contains(rebooted["reason"], "the machine has been rebooted since, but not "
                                             "power-cycled: the board runs firmware 40"))
        << rebooted["reason"];

    testbed().load_firmware(0);  // the power cycle
    EXPECT_EQ(status_of(), "up-to-date");
}

// A register access that fails in the middle of programming leaves a partial image: listed as
// such, and written again by the next update although the versions alone would not ask for it.
TEST_F(JournalTest, AWriteThatFailedPartwayIsListedAndWrittenAgain) {
    const auto image =
        add_board(kKind, kFirmware, kFirmware + 1, 3000, sim::RegisterFault{.access = 400});
    // Without a backup's read of the image's span, access 400 lies in the programming.
    const sim::RunResult failed = fw({"update", "--yes", "--no-backup", "--json"});
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

// While a write goes on, another shell sees it as one: `list` says writing, and `update` leaves
// the board to its writer without failing. Killed in the middle of programming, the write is
// interrupted, the journal whole; once the next update has completed the board, its history
// tells of the partial image in the past, naming the write that replaced it.
TEST_F(JournalTest, AWriteGoingOnIsWritingAndAKilledOneHistoryOnceCompleted) {
    // Two blocks: the first one alone takes long enough to be looked at and killed in.
    const auto image = add_board(kKind, kFirmware, kFirmware + 1, 0x10000 + 2048);
    {
        BackgroundProgram program(
            testbed(), firmware().path(),
            {.argv = {TARNVEL_FW_BINARY, "update", "--yes"}, .state_dir = state_dir()});
        ASSERT_TRUE(program.wait_for([this] {
            return testbed().with_model(0, [](sim::RegisterModel& model) {
                return dynamic_cast<sim::SimBoard&>(model).firmware_flash()->changed();
            });
        }));
        const sim::RunResult listed = fw({"list", "--json"});
        EXPECT_TRUE(listed.exited_with(0)) << listed.describe_end();
        const Json board = board_entry(parse_json(listed), "/dev/tarnvel0");
        EXPECT_EQ(board["status"], "writing") << board.dump(2);
        EXPECT_TRUE(contains(board["reason"], "tarnvel-fw (process ")) << board["reason"];
        EXPECT_EQ(board["last_write"]["result"], "writing");
        const sim::RunResult beside = fw({"update", "--yes", "--json"});
        EXPECT_TRUE(beside.exited_with(0)) << beside.describe_end() << "\n" << beside.err;
        EXPECT_EQ(board_entry(parse_json(beside), "/dev/tarnvel0")["result"], "writing");

        program.signal(SIGKILL);
        EXPECT_EQ(program.finish().signal, SIGKILL);
    }
    EXPECT_EQ(integrity_check(), "ok");
    const Json listed = board_entry(parse_json(fw({"list", "--json"})), "/dev/tarnvel0");
    EXPECT_EQ(listed["status"], "interrupted");
    EXPECT_EQ(listed["last_write"]["ended"], nullptr);
    EXPECT_TRUE(contains(fw({"history"}).out,
                         "INTERRUPTED: never ended, the flash holds a partial image"));

    const sim::RunResult completed = fw({"update", "--yes", "--json"});
    EXPECT_TRUE(completed.exited_with(0)) << completed.describe_end() << "\n" << completed.err;
    const Json update = board_entry(parse_json(completed), "/dev/tarnvel0");
    EXPECT_EQ(update["result"], "updated");
    EXPECT_TRUE(flash_holds_image(hardware(0), image));
    const Json history = parse_json(fw({"history", "--json"}));
    ASSERT_EQ(history.size(), 2u) << history.dump(2);
    EXPECT_EQ(history[1]["result"], "interrupted");
    EXPECT_EQ(history[1]["completed_by"], update["record_id"]);
    EXPECT_EQ(history[0]["completed_by"], nullptr);
    const std::string text = fw({"history"}).out;
    EXPECT_FALSE(contains(text, "the flash holds a partial image")) << text;
    EXPECT_TRUE(contains(text, fmt::format("interrupted: never ended; the partial image it left "
                                           "was replaced by #{}",
                                           update["record_id"].get<int>())))
        << text;
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
    // Rollback takes no --no-journal, and so never points to it.
    const sim::RunResult rollback = fw({"rollback", "--yes", "--board", "/dev/tarnvel0"});
    EXPECT_TRUE(rollback.exited_with(kExitBoardFailed)) << rollback.describe_end();
    EXPECT_TRUE(contains(rollback.err, "not a database")) << rollback.err;
    EXPECT_FALSE(contains(rollback.out + rollback.err, "--no-journal"))
        << rollback.out << rollback.err;

    const sim::RunResult forced = fw({"update", "--yes", "--no-journal", "--json"});
    EXPECT_TRUE(forced.exited_with(0)) << forced.describe_end() << "\n" << forced.err;
    EXPECT_TRUE(flash_holds_image(hardware(0), image));
    EXPECT_EQ(file_text(journal_file()), "kept by hand\n");
}

// A board without a factory image that can't start the partial image a failed write left is
// gone after the power cycle: every command that takes stock misses it in its slot and fails,
// so that a fleet notices, until the operator forgets it; its records stay for history.
TEST_F(JournalTest, ABoardGoneAfterAPartialWriteIsMissedUntilForgotten) {
    sim::BoardConfig config = sim::BoardConfig::of_kind(kKind, kFirmware);
    config.factory_image = false;
    add_hardware(kKind, std::move(config), sim::RegisterFault{.access = 400});
    ASSERT_TRUE(firmware().add_board_image(kKind, 1, 0, kFirmware + 1, sim::firmware_bytes(3000)));
    add_board(BoardKind::Qx480Spi, kFirmware, kFirmware);  // up to date, in the next slot
    // Without a backup's read of the image's span, access 400 lies in the programming.
    EXPECT_TRUE(fw({"update", "--yes", "--no-backup", "--board", "/dev/tarnvel0"})
                    .exited_with(kExitBoardFailed));
    const std::string pci = pci_of(0);
    testbed().load_firmware(0);  // the power cycle
    ASSERT_FALSE(testbed().present(0));

    const sim::RunResult result = fw({"list", "--json"});
    EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end();
    const Json missing = board_entry(parse_json(result), "/dev/tarnvel0");
    EXPECT_EQ(missing["status"], "missing");
    EXPECT_EQ(missing["pci"], pci);
    EXPECT_EQ(missing["last_write"]["result"], "failed");

    // A script that only updates or verifies learns of it too.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"update", "--yes", "--json"}, {"verify", "--json"}}) {
        const sim::RunResult run = fw(args);
        EXPECT_TRUE(run.exited_with(kExitBoardFailed)) << args[0] << ": " << run.describe_end();
        const Json document = parse_json(run);
        EXPECT_EQ(document["ok"], false) << args[0];
        const Json row = board_entry(document, "/dev/tarnvel0");
        EXPECT_EQ(row["result"], "missing") << args[0] << ": " << row.dump();
        EXPECT_EQ(row["pci"], pci) << args[0];
        EXPECT_NE(board_entry(document, "/dev/tarnvel1")["result"], "missing") << args[0];
    }

    // Asked and not answered: nothing is forgotten. A slot with no missing board is refused.
    const sim::RunResult declined = fw({"forget", "--pci", pci});
    EXPECT_TRUE(declined.exited_with(0)) << declined.describe_end();
    EXPECT_TRUE(contains(declined.out, "not forgotten")) << declined.out;
    EXPECT_TRUE(contains(declined.err, "Forget it?")) << declined.err;
    EXPECT_TRUE(fw({"forget", "--pci", pci_of(1), "--yes"}).exited_with(kExitUsage));
    EXPECT_TRUE(fw({"list"}).exited_with(kExitBoardFailed));

    const sim::RunResult forgotten = fw({"forget", "--pci", pci, "--yes"});
    EXPECT_TRUE(forgotten.exited_with(0)) << forgotten.describe_end() << "\n" << forgotten.err;
    EXPECT_TRUE(contains(forgotten.out, "1 record retired")) << forgotten.out;
    EXPECT_TRUE(fw({"list"}).exited_with(0));
    EXPECT_TRUE(fw({"update", "--yes"}).exited_with(0));
    const Json history = parse_json(fw({"history", "--json"}));
    ASSERT_EQ(history.size(), 1u) << history.dump(2);
    EXPECT_NE(history[0]["retired"], nullptr);
    EXPECT_TRUE(contains(fw({"history"}).out, "the board was forgotten"));
}

// The directory a program finds on /run/systemd/journal, with journald's socket in it: each
// datagram that arrives is one entry, in lines of NAME=value.
class JournaldSocket {
  public:
    JournaldSocket() {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
        const std::string path = (dir_.path() / "socket").string();
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
            << std::strerror(errno);
    }
    ~JournaldSocket() { ::close(fd_); }
    JournaldSocket(const JournaldSocket&) = delete;
    JournaldSocket& operator=(const JournaldSocket&) = delete;

    const std::filesystem::path& dir() const { return dir_.path(); }

    // The entries that came, each field by name.
    std::vector<std::map<std::string, std::string>> entries() const {
        std::vector<std::map<std::string, std::string>> entries;
        std::array<char, 65536> datagram{};
        for (ssize_t n; (n = ::recv(fd_, datagram.data(), datagram.size(), 0)) > 0;) {
            std::map<std::string, std::string>& entry = entries.emplace_back();
            std::istringstream lines(std::string(datagram.data(), static_cast<std::size_t>(n)));
            for (std::string line; std::getline(lines, line);) {
                const std::size_t equals = line.find('=');
                if (equals != std::string::npos) entry[line.substr(0, equals)] = line.substr(equals + 1);
            }
        }
        return entries;
    }

  private:
    sim::TempDir dir_;
    int fd_ = -1;
};

// Every write says who asked for it (sudo's user here), when it started and ended and how long
// it took, on which boot; `update` gives the record's id, and `history` selects records by time
// and number. The system log hears of every write's start and end with its board and image.
TEST_F(JournalTest, EveryWriteNamesWhoAskedItsTimesAndTheSystemLogHearsOfIt) {
    const auto image = add_board(kKind, kFirmware, kFirmware + 1, 3000);
    // Before any write, an empty history says why; a node nothing knows is refused.
    const sim::RunResult empty = fw({"history"});
    EXPECT_TRUE(empty.exited_with(0));
    EXPECT_TRUE(contains(empty.err, "does not exist yet")) << empty.err;
    EXPECT_TRUE(fw({"history", "--board", "tarnvel7"}).exited_with(kExitUsage));

    // Written twice: the first time with journald listening.
    JournaldSocket journald;
    sim::RunOptions options;
    options.argv = {TARNVEL_FW_BINARY, "update", "--yes", "--force", "--json"};
    options.firmware_root = firmware().path();
    options.journal_dir = journald.dir();
    ::setenv("SUDO_USER", "alice", 1);
    auto run = sim::run_program(testbed(), options);
    options.journal_dir.clear();
    auto again = sim::run_program(testbed(), options);
    ::unsetenv("SUDO_USER");
    ASSERT_TRUE(run && again);
    ASSERT_TRUE(run->exited_with(0)) << run->describe_end() << "\n" << run->err;
    const Json update = board_entry(parse_json(*run), "/dev/tarnvel0");

    const Json history = parse_json(fw({"history", "--json"}));
    ASSERT_EQ(history.size(), 2u) << history.dump(2);
    const Json& record = history[1];
    EXPECT_EQ(record["id"], update["record_id"]);
    EXPECT_EQ(record["requested_by"], "alice");
    EXPECT_TRUE(record["duration_seconds"].is_number()) << record.dump();
    EXPECT_EQ(record["boot_id"].get<std::string>() + "\n", testbed().boot_id());
    EXPECT_TRUE(record["pid"].is_number_integer());
    const std::string text = fw({"history", "--limit", "1"}).out;
    EXPECT_EQ(std::ranges::count(text, '\n'), 1) << text;
    for (const std::string& part :
         {fmt::format("#{} ", history[0]["id"].get<int>()), std::string(" for alice, boot "),
          record["boot_id"].get<std::string>(), std::string("; ended ")}) {
        EXPECT_TRUE(contains(text, part)) << part << "\n" << text;
    }
    EXPECT_EQ(parse_json(fw({"history", "--json", "--since", "2000-01-01"})).size(), 2u);
    const sim::RunResult future = fw({"history", "--json", "--since", "2999-01-01"});
    EXPECT_EQ(parse_json(future), Json::array());
    EXPECT_TRUE(contains(future.err, "no record matches")) << future.err;

    const auto entries = journald.entries();
    ASSERT_EQ(entries.size(), 2u) << "the start and the end of the first write";
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.at("SYSLOG_IDENTIFIER"), "tarnvel-fw");
        EXPECT_EQ(entry.at("TARNVEL_PCI"), pci_of(0));
        EXPECT_EQ(entry.at("TARNVEL_IMAGE_SHA256"), sha256_of(image));
        EXPECT_EQ(entry.at("TARNVEL_RECORD"), update["record_id"].dump());
        EXPECT_EQ(entry.at("TARNVEL_REQUESTED_BY"), "alice");
        EXPECT_TRUE(contains(entry.at("MESSAGE"), pci_of(0))) << entry.at("MESSAGE");
    }
    EXPECT_TRUE(contains(entries[0].at("MESSAGE"), "started")) << entries[0].at("MESSAGE");
    EXPECT_EQ(entries[1].at("TARNVEL_RESULT"), "verified");
    EXPECT_EQ(entries[1].count("TARNVEL_DURATION_MS"), 1u);
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
