// The journal as someone else may leave it, on a simulated machine: a journal that is not one
// to trust stops tarnvel-fw's writes and changes nothing, and no command hangs on it; a board
// whose record can't be read is decided by no one; a write whose end the journal refuses is
// told as what the flash got, by both programs; and what boards and records hold reaches the
// terminal escaped, its numbers as they are stored.

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "fw_harness.hpp"
#include "support/journal_outside.hpp"
#include "journal/journal.hpp"

namespace tarnvel::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::uint16_t kFirmware = 40;
constexpr BoardKind kKind = BoardKind::Qx630;

bool contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

std::size_t count_of(const std::string& text, std::string_view part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

template <class Base>
class TrustFixture : public FwFixture<Base> {
  protected:
    fs::path journal_file() { return this->state_dir() / kJournalFileName; }

    // The PCI address of a board's slot: the name of its parent in sysfs.
    std::string pci_of(std::size_t board) {
        return fs::path(this->testbed().syspath(board)).parent_path().parent_path().filename();
    }

    // A journal with a record, in board 0's slot, of a write that never ended.
    void journal_with_interrupted_write() {
        auto journal = Journal::open_for_writing(journal_file());
        ASSERT_TRUE(journal) << error_text(journal.error());
        WriteStart start = a_write(pci_of(0), kKind);
        start.firmware_before = kFirmware - 1;
        start.image_version = kFirmware;
        ASSERT_TRUE(journal->start_write(start));
    }

    // Changes the declaration of a column of the journal's table, as a hand with the sqlite3
    // shell can: the schema stays the program's as far as its columns go.
    void declare(std::string_view column, std::string_view declaration) {
        ASSERT_TRUE(Journal::open_for_writing(journal_file()));
        run_sql(journal_file(),
                fmt::format("PRAGMA writable_schema = ON; UPDATE sqlite_master SET sql = "
                            "replace(sql, '{0} INTEGER', '{0} {1}') WHERE name = 'writes';",
                            column, declaration));
    }
};

using TrustTest = TrustFixture<::testing::Test>;

struct HostileCase {
    const char* name;
    // Lays out the state directory (`root` is a scratch directory beside it).
    std::function<void(const fs::path& state, const fs::path& root)> make;
    const char* problem;  // part of what the programs say
};

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

class HostileJournal : public TrustFixture<::testing::TestWithParam<HostileCase>> {};

// tarnvel-fw writes nothing and reads nothing from it, tarnvel-flash writes unrecorded, every
// command ends, the boards the journal would decide on are undecided, and not a byte of the
// journal, a link's target or the directory changes.
TEST_P(HostileJournal, StopsWritesHangsNothingAndChangesNothing) {
    const auto image = add_board(kKind, kFirmware, kFirmware + 1);
    const fs::path root = firmware().path() / "elsewhere";
    fs::create_directory(root);
    GetParam().make(state_dir(), root);
    const auto before = snapshot(state_dir());
    const auto outside = snapshot(root);

    const sim::RunResult refused = fw({"update", "--yes", "--json"});
    EXPECT_TRUE(refused.exited_with(kExitBoardFailed)) << refused.describe_end();
    const Json board = board_entry(parse_json(refused), "/dev/tarnvel0");
    EXPECT_EQ(board["result"], "failed");
    EXPECT_TRUE(contains(board["error"], journal_file().string())) << board["error"];
    EXPECT_TRUE(contains(refused.err, GetParam().problem)) << refused.err;
    EXPECT_TRUE(flash_untouched(hardware(0)));

    const sim::RunResult listed = fw({"list", "--json"});
    EXPECT_TRUE(listed.exited_with(0)) << listed.describe_end();
    EXPECT_EQ(board_entry(parse_json(listed), "/dev/tarnvel0")["status"], "undecided");
    EXPECT_EQ(count_of(listed.err, "journal is unavailable"), 1u) << listed.err;
    const sim::RunResult metrics = fw({"metrics"});
    EXPECT_TRUE(metrics.exited_with(0)) << metrics.describe_end();
    EXPECT_TRUE(contains(metrics.out, "tarnvel_journal_readable 0")) << metrics.out;
    EXPECT_TRUE(contains(metrics.out,
                         fmt::format("tarnvel_board_update_available{{node=\"/dev/tarnvel0\","
                                     "pci=\"{}\",kind=\"8\"}} 0\n",
                                     pci_of(0))))
        << metrics.out;
    EXPECT_TRUE(fw({"history"}).exited_with(kExitBoardFailed));

    // The operator's updater writes without a record, and says so in one line.
    const sim::RunResult flashed = run_flash("y\nn\n");
    EXPECT_TRUE(flashed.exited_with(0)) << flashed.describe_end();
    EXPECT_TRUE(flash_holds_image(hardware(0), image));
    EXPECT_EQ(std::ranges::count(flashed.err, '\n'), 1) << flashed.err;
    EXPECT_TRUE(contains(flashed.err, "writes are not recorded")) << flashed.err;

    EXPECT_EQ(snapshot(state_dir()), before);
    EXPECT_EQ(snapshot(root), outside);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileJournal,
    ::testing::Values(
        HostileCase{"LinkToAnEmptyFile",
                    [](const fs::path& state, const fs::path& root) {
                        std::ofstream(root / "notes") << "";
                        fs::create_symlink(root / "notes", state / kJournalFileName);
                    },
                    "is a symbolic link"},
        HostileCase{"LinkToAMissingFile",
                    [](const fs::path& state, const fs::path& root) {
                        fs::create_symlink(root / "missing", state / kJournalFileName);
                    },
                    "is a symbolic link"},
        HostileCase{"DirectoryWritableByAll",
                    [](const fs::path& state, const fs::path&) {
                        fs::permissions(state, fs::perms(0777));
                    },
                    "writable by others"},
        HostileCase{"TriggerIgnoringRecords",
                    [](const fs::path& state, const fs::path&) {
                        ASSERT_TRUE(Journal::open_for_writing(state / kJournalFileName));
                        run_sql(state / kJournalFileName,
                                "CREATE TRIGGER forget BEFORE INSERT ON writes BEGIN "
                                "SELECT RAISE(IGNORE); END;");
                    },
                    "the trigger forget"},
        HostileCase{"EndlessView",
                    [](const fs::path& state, const fs::path&) {
                        ASSERT_TRUE(Journal::open_for_writing(state / kJournalFileName));
                        run_sql(state / kJournalFileName,
                                "ALTER TABLE writes RENAME TO kept; CREATE VIEW writes AS "
                                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                                "FROM n) SELECT kept.* FROM kept, n;");
                    },
                    "it holds the table kept"},
        HostileCase{"EndlessTrigger",
                    [](const fs::path& state, const fs::path&) {
                        ASSERT_TRUE(Journal::open_for_writing(state / kJournalFileName));
                        run_sql(state / kJournalFileName,
                                "CREATE TRIGGER spin BEFORE INSERT ON writes BEGIN "
                                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                                "FROM n) SELECT count(*) FROM n; END;");
                    },
                    "the trigger spin"}),
    [](const ::testing::TestParamInfo<HostileCase>& param) { return param.param.name; });

struct UnreadableCase {
    const char* name;
    std::function<void(const fs::path& file)> spoil;
};

void PrintTo(const UnreadableCase& c, std::ostream* os) {
    *os << c.name;
}

class UnreadableRecord : public TrustFixture<::testing::TestWithParam<UnreadableCase>> {};

// The journal says the write into board 0 never ended, but it can't be read: the versions
// alone (the board runs the archive's image) would call the board up to date. It is decided by
// no one: not written and failed, with the reason; listed as undecided, with one notice.
TEST_P(UnreadableRecord, LeavesTheBoardUndecided) {
    add_board(kKind, kFirmware, kFirmware);
    add_board(kKind, kFirmware, kFirmware);
    journal_with_interrupted_write();
    GetParam().spoil(journal_file());
    const auto before = snapshot(state_dir());

    const sim::RunResult result = fw({"update", "--yes", "--json"});
    EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end() << result.out;
    const Json document = parse_json(result);
    EXPECT_EQ(document["ok"], false);
    const Json board = board_entry(document, "/dev/tarnvel0");
    EXPECT_EQ(board["result"], "failed");
    EXPECT_TRUE(contains(board["error"], "can't be read")) << board["error"];
    EXPECT_TRUE(contains(board["error"], journal_file().string())) << board["error"];
    EXPECT_EQ(count_of(result.err, "journal is unavailable"), 1u) << result.err;
    EXPECT_TRUE(flash_untouched(hardware(0)));
    EXPECT_EQ(hardware(0).register_accesses(), 0u);

    const sim::RunResult listed = fw({"list", "--json"});
    const Json rows = parse_json(listed);
    for (const char* node : {"/dev/tarnvel0", "/dev/tarnvel1"}) {
        EXPECT_EQ(board_entry(rows, node)["status"], "undecided") << node;
        EXPECT_TRUE(contains(board_entry(rows, node)["reason"], journal_file().string()));
    }
    EXPECT_EQ(count_of(listed.err, "journal is unavailable"), 1u) << listed.err;
    const sim::RunResult verified = fw({"verify"});
    EXPECT_EQ(count_of(verified.err, "journal is unavailable"), 1u) << verified.err;
    EXPECT_EQ(snapshot(state_dir()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnreadableRecord,
    ::testing::Values(
        // Reads that fail although the file opens: the index the board's records are found by
        // is damaged.
        UnreadableCase{"DamagedIndex",
                       [](const fs::path& file) {
                           sqlite3* db = nullptr;
                           sqlite3_open(file.c_str(), &db);
                           sqlite3_stmt* query = nullptr;
                           sqlite3_prepare_v2(db,
                                              "SELECT rootpage, (SELECT page_size FROM "
                                              "pragma_page_size) FROM sqlite_master WHERE "
                                              "name = 'writes_by_board'",
                                              -1, &query, nullptr);
                           ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
                           const auto page = sqlite3_column_int64(query, 0);
                           const auto size = sqlite3_column_int64(query, 1);
                           sqlite3_finalize(query);
                           sqlite3_close(db);
                           std::fstream bytes(file, std::ios::in | std::ios::out |
                                                        std::ios::binary);
                           bytes.seekp((page - 1) * size);
                           bytes << std::string(16, '\xff');
                       }},
        // A column dropped by hand: the schema is not the program's.
        UnreadableCase{"ColumnDropped",
                       [](const fs::path& file) {
                           run_sql(file, "ALTER TABLE writes DROP COLUMN boot_id");
                       }}),
    [](const ::testing::TestParamInfo<UnreadableCase>& param) { return param.param.name; });

struct RefusedRecordCase {
    const char* name;
    const char* column;       // the column whose declaration refuses the record's step
    const char* declaration;  //
    // What tarnvel-fw says (in the board's error) and tarnvel-flash (on standard error).
    const char* fw_says;
    const char* flash_says;
    bool written_by_fw;
};

void PrintTo(const RefusedRecordCase& c, std::ostream* os) {
    *os << c.name;
}

class RefusedRecord : public TrustFixture<::testing::TestWithParam<RefusedRecordCase>> {};

// The journal opens, but refuses one step of a write's record, as a full file system or a lock
// held too long would: what each program says of it is what the flash got.
TEST_P(RefusedRecord, IsToldAsWhatTheFlashGot) {
    const RefusedRecordCase& c = GetParam();
    const auto image = add_board(kKind, kFirmware, kFirmware + 1);
    declare(c.column, c.declaration);

    const sim::RunResult result = fw({"update", "--yes", "--no-reboot", "--json"});
    EXPECT_TRUE(result.exited_with(kExitBoardFailed)) << result.describe_end();
    const Json board = board_entry(parse_json(result), "/dev/tarnvel0");
    EXPECT_EQ(board["result"], c.written_by_fw ? "updated" : "failed");
    EXPECT_TRUE(contains(board["error"], c.fw_says)) << board["error"];
    EXPECT_EQ(flash_holds_image(hardware(0), image), c.written_by_fw);
    EXPECT_FALSE(contains(result.err, "no board is written without it") && c.written_by_fw)
        << result.err;

    // tarnvel-flash writes the board again: its dialogue as ever, the truth on standard error.
    const sim::RunResult flashed = run_flash("y\nn\n");
    expect_output(flashed, board_up_to_question("/dev/tarnvel0", 8, 1, 0, kFirmware,
                                                kFirmware + 1) +
                               progress_lines(1) + update_done_line() + reboot_question() +
                               manual_power_cycle_line());
    EXPECT_EQ(std::ranges::count(flashed.err, '\n'), 1) << flashed.err;
    EXPECT_TRUE(contains(flashed.err, c.flash_says)) << flashed.err;
    EXPECT_TRUE(flash_holds_image(hardware(0), image));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedRecord,
    ::testing::Values(
        RefusedRecordCase{"Start", "kind", "INTEGER NOT NULL CHECK (kind = 0)",
                          "not written: the journal can't record the write",
                          "the journal is unavailable, writes are not recorded", false},
        RefusedRecordCase{"End", "retries", "INTEGER CHECK (retries IS NULL)",
                          "the board was written and verified, but the journal could not record "
                          "the end of the write",
                          "the board was written and verified, yet its record says the write "
                          "never ended; run tarnvel-fw verify",
                          true},
        RefusedRecordCase{"Reboot", "reboot_requested",
                          "INTEGER CHECK (reboot_requested IS NULL)",
                          "the journal could not record the reboot",
                          "the journal could not record the reboot of /dev/tarnvel0", true}),
    [](const ::testing::TestParamInfo<RefusedRecordCase>& param) { return param.param.name; });

// A board that reports escape sequences after its reboot, and records that hold line breaks and
// numbers no program writes: the terminal gets every control character escaped, history one
// line per record, and the numbers as they are stored.
TEST_F(TrustTest, TextsReachTheTerminalEscapedAndNumbersAsStored) {
    const char* version = "1.0r41\x1b]0;owned\x07\x1b[2J\xc2\x9b";
    const auto image = sim::firmware_bytes(1000, 9);
    sim::BoardConfig config = sim::BoardConfig::of_kind(kKind, kFirmware);
    config.images.push_back({.data = image, .version = version});
    add_hardware(kKind, std::move(config));
    ASSERT_TRUE(firmware().add_board_image(kKind, 1, 0, kFirmware + 1, image));
    const std::string shown = "1.0r41\\x1b]0;owned\\x07\\x1b[2J\\u009b";

    const sim::RunResult updated = fw({"update", "--yes", "--reboot"});
    EXPECT_TRUE(contains(updated.out, shown)) << updated.out;
    EXPECT_FALSE(contains(updated.out, "\x1b")) << updated.out;

    run_sql(journal_file(),
            "INSERT INTO writes (pci, node, kind, model, hardware, firmware_before, "
            "image_version, image_size, image_sha256, program, user, boot_id, started, ended, "
            "result, error, flash_changed) VALUES ('0000:09:00.0', '/dev/tarnvel9', 300, 'QX9', "
            "'9.9', -5, 9999999999, 1, 'aa', 'tarnvel-fw', 'root', 'b0', "
            "'2026-01-01T00:00:00Z', '2026-01-01T00:00:01Z', 'failed', "
            "'gone' || char(10) || '2026-01-01T00:00:00Z #7 forged: verified', 1)");
    const sim::RunResult history = fw({"history"});
    EXPECT_TRUE(history.exited_with(0)) << history.describe_end();
    EXPECT_EQ(std::ranges::count(history.out, '\n'), 2) << history.out;
    EXPECT_TRUE(contains(history.out, "\"" + shown + "\"")) << history.out;
    EXPECT_TRUE(contains(history.out, "gone\\x0a2026")) << history.out;
    EXPECT_TRUE(contains(history.out, "firmware -5, image 9999999999")) << history.out;
    const Json records = parse_json(fw({"history", "--json"}));
    EXPECT_EQ(records[0]["kind"], 300);
    EXPECT_EQ(records[0]["firmware_before"], -5);
    EXPECT_EQ(records[0]["image_version"], 9999999999);
}

}  // namespace
}  // namespace tarnvel::testing
