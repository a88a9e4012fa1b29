// The journal of board writes: what a record keeps, which record counts for a board, journals
// that can't be used (left exactly as they are), two writers at once, and writers killed at any
// moment.

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>

#include "sim/support/file_text.hpp"
#include "sim/support/temp_dir.hpp"
#include "support/journal_integrity.hpp"
#include "support/journal_outside.hpp"
#include "journal/journal.hpp"

namespace tarnvel {
namespace {

namespace fs = std::filesystem;

WriteEnd an_end(bool verified, bool flash_changed = true) {
    return WriteEnd{.verified = verified,
                    .error = verified ? std::nullopt : std::optional<std::string>("gone"),
                    .flash_changed = flash_changed,
                    .blocks = 4,
                    .blocks_written = verified ? 3u : 1u,
                    .blocks_unchanged = 1,
                    .retries = 2,
                    .stopped = false,
                    .duration_ms = 12345};
}

// Records a write, with its end when given; answers its id.
std::int64_t add_write(Journal& journal, const WriteStart& start,
                       const std::optional<WriteEnd>& end) {
    const auto id = journal.start_write(start);
    EXPECT_TRUE(id);
    if (id && end) {
        EXPECT_TRUE(journal.end_write(*id, *end));
    }
    return id.value_or(0);
}

std::string file_bytes(const fs::path& path) {
    return sim::read_whole_file(path).value_or("");
}

using testing::a_write;
using testing::integrity_check;
using testing::run_sql;

// A journal as this program makes it, then changed by `sql` from outside.
void changed_journal(const fs::path& file, const char* sql) {
    ASSERT_TRUE(Journal::open_for_writing(file));
    run_sql(file, sql);
}

TEST(Journal, KeepsEveryFieldOfAWriteForTheNextProgram) {
    sim::TempDir dir;
    const fs::path file = dir.path() / "var/lib/tarnvel" / kJournalFileName;
    auto journal = Journal::open_for_writing(file);
    ASSERT_TRUE(journal) << error_text(journal.error());
    // Made on first use, 0755 whatever the umask.
    EXPECT_EQ(fs::status(dir.path() / "var/lib/tarnvel").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(dir.path() / "var").permissions(), fs::perms(0755));

    const auto verified = journal->start_write(a_write());
    ASSERT_TRUE(verified);
    ASSERT_TRUE(journal->end_write(*verified, an_end(true)));
    ASSERT_TRUE(journal->note_reboot(*verified, {.requested = true, .version_after = "2.0r41"}));
    WriteStart file_write = a_write("0000:04:00.0", BoardKind::Qx630);
    file_write.image_version.reset();
    file_write.image_archive.reset();
    file_write.image_entry.reset();
    file_write.image_file = "/root/copy.bin";
    const auto interrupted = journal->start_write(file_write);
    ASSERT_TRUE(interrupted);

    // Another program's view.
    auto reader = Journal::open_for_reading(file);
    ASSERT_TRUE(reader) << error_text(reader.error());
    auto records = reader->records();
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 2u);
    const WriteRecord& newest = records->at(0);
    EXPECT_EQ(newest.id, *interrupted);
    EXPECT_TRUE(newest.interrupted());
    EXPECT_EQ(newest.start.image_version, std::nullopt);
    EXPECT_EQ(newest.start.image_file, "/root/copy.bin");
    EXPECT_EQ(newest.start.board_kind(), BoardKind::Qx630);
    const WriteRecord& oldest = records->at(1);
    EXPECT_TRUE(oldest.start == a_write());
    EXPECT_TRUE(oldest.end == an_end(true));
    ASSERT_TRUE(oldest.reboot);
    EXPECT_EQ(oldest.reboot->version_after, "2.0r41");
    // RFC 3339 in UTC.
    EXPECT_EQ(oldest.started.size(), 20u) << oldest.started;
    EXPECT_EQ(oldest.started.back(), 'Z');
    ASSERT_TRUE(oldest.ended);
}

// A journal of the first schema, as the programs wrote it before writes could leave blocks
// unchanged: one write that ended, one that never did.
constexpr const char* kFirstSchemaJournal =
    "CREATE TABLE writes (id INTEGER PRIMARY KEY, pci TEXT NOT NULL, node TEXT NOT NULL,"
    " kind INTEGER NOT NULL, model TEXT NOT NULL, hardware TEXT NOT NULL,"
    " firmware_before INTEGER NOT NULL, image_version INTEGER, image_size INTEGER NOT NULL,"
    " image_sha256 TEXT NOT NULL, image_archive TEXT, image_entry TEXT, image_file TEXT,"
    " program TEXT NOT NULL, user TEXT NOT NULL, boot_id TEXT NOT NULL, started TEXT NOT NULL,"
    " ended TEXT, result TEXT CHECK (result IN ('verified', 'failed')), error TEXT,"
    " flash_changed INTEGER, blocks INTEGER, blocks_written INTEGER, retries INTEGER,"
    " stopped INTEGER, reboot_requested INTEGER, version_after TEXT, reboot_error TEXT);"
    "CREATE INDEX writes_by_board ON writes (pci, kind, id);"
    "INSERT INTO writes VALUES (1, '0000:03:00.0', '/dev/tarnvel0', 5, 'QX480', '2.0', 40, 41,"
    " 2048, 'aa', 'qx480v2_0.zip', 'qx480_1_41.bin', NULL, 'tarnvel-flash', 'root', 'b0',"
    " '2026-01-01T00:00:00Z', '2026-01-01T00:01:00Z', 'verified', NULL, 1, 3, 3, 0, 0, 0, NULL,"
    " NULL);"
    "INSERT INTO writes (id, pci, node, kind, model, hardware, firmware_before, image_size,"
    " image_sha256, program, user, boot_id, started) VALUES (2, '0000:03:00.0',"
    " '/dev/tarnvel0', 5, 'QX480', '2.0', 40, 2048, 'aa', 'tarnvel-fw', 'root', 'b0',"
    " '2026-01-02T00:00:00Z');"
    "PRAGMA user_version = 1;";

// A reader takes the older journal as it is, and leaves it so; the next writer brings it up to
// date keeping every record, the blocks of its writes all written.
TEST(Journal, AnOlderSchemaIsReadAsItIsAndBroughtUpToDateByTheNextWriter) {
    sim::TempDir dir;
    const fs::path file = dir.path() / kJournalFileName;
    run_sql(file, kFirstSchemaJournal);
    const std::string before = file_bytes(file);

    const auto records_of = [](const Result<Journal>& journal) {
        EXPECT_TRUE(journal) << error_text(journal.error());
        auto records = journal->records();
        EXPECT_TRUE(records) << error_text(records.error());
        return records.value_or(std::vector<WriteRecord>{});
    };
    const std::vector<WriteRecord> read = records_of(Journal::open_for_reading(file));
    ASSERT_EQ(read.size(), 2u);
    EXPECT_TRUE(read[0].interrupted());
    ASSERT_TRUE(read[1].end);
    EXPECT_EQ(read[1].end->blocks_written, 3u);
    EXPECT_EQ(read[1].end->blocks_unchanged, 0u);
    // Who asked and the writer are not known; the duration is its times' difference.
    EXPECT_EQ(read[1].start.requested_by, std::nullopt);
    EXPECT_EQ(read[0].start.writer, std::nullopt);
    EXPECT_EQ(read[1].duration_ms(), 60000);
    EXPECT_EQ(file_bytes(file), before);

    auto writer = Journal::open_for_writing(file);
    const std::vector<WriteRecord> migrated = records_of(writer);
    ASSERT_EQ(migrated.size(), 2u);
    for (std::size_t i = 0; i < read.size(); ++i) {
        EXPECT_TRUE(migrated[i].start == read[i].start) << i;
        EXPECT_EQ(migrated[i].ended, read[i].ended) << i;
        EXPECT_EQ(migrated[i].end, read[i].end) << i;
    }
    const auto id = writer->start_write(a_write());
    ASSERT_TRUE(id);
    ASSERT_TRUE(writer->end_write(*id, an_end(true)));
    EXPECT_EQ(records_of(Journal::open_for_reading(file)).front().end, an_end(true));
}

// The slot and kind name a board; a write that failed before its first erase reached the chip
// says nothing about the flash.
TEST(Journal, LastWriteOfABoardPassesOverWritesThatNeverReachedTheFlash) {
    sim::TempDir dir;
    auto journal = Journal::open_for_writing(dir.path() / kJournalFileName);
    ASSERT_TRUE(journal);
    const auto add = [&](WriteStart start, std::optional<WriteEnd> end) {
        return add_write(*journal, std::move(start), std::move(end));
    };
    const auto partial = add(a_write(), an_end(false, true));
    const auto untouched = add(a_write(), an_end(false, false));
    const auto other_kind = add(a_write("0000:03:00.0", BoardKind::Qx630), std::nullopt);
    const auto other_slot = add(a_write("0000:05:00.0"), an_end(true));

    const auto touching = journal->last_write("0000:03:00.0", BoardKind::Qx480Spi, true);
    ASSERT_TRUE(touching && *touching);
    EXPECT_EQ((*touching)->id, partial);
    const auto any = journal->last_write("0000:03:00.0", BoardKind::Qx480Spi, false);
    ASSERT_TRUE(any && *any);
    EXPECT_EQ((*any)->id, untouched);
    const auto none = journal->last_write("0000:09:00.0", BoardKind::Qx480Spi, true);
    ASSERT_TRUE(none);
    EXPECT_FALSE(*none);

    // A slot's records, of every kind that was there, newest first: the first one of the kind
    // that touched the flash is the last write the database picks.
    const auto slot = journal->slot_records("0000:03:00.0");
    ASSERT_TRUE(slot);
    std::vector<std::int64_t> in_slot;
    std::vector<bool> touched;
    for (const WriteRecord& record : *slot) {
        in_slot.push_back(record.id);
        touched.push_back(record.touched_flash());
    }
    EXPECT_EQ(in_slot, (std::vector<std::int64_t>{other_kind, untouched, partial}));
    EXPECT_EQ(touched, (std::vector<bool>{true, false, true}));

    const auto boards = journal->last_writes(true);
    ASSERT_TRUE(boards);
    std::vector<std::int64_t> ids;
    for (const WriteRecord& record : *boards) ids.push_back(record.id);
    EXPECT_EQ(ids, (std::vector<std::int64_t>{other_slot, other_kind, partial}));
}

// A partial image names the verified write of the same board that replaced it; a forgotten
// board's records are all retired at once, and only its own.
TEST(Journal, KnowsWhatCompletedAPartialImageAndRetiresABoardWhole) {
    sim::TempDir dir;
    auto journal = Journal::open_for_writing(dir.path() / kJournalFileName);
    ASSERT_TRUE(journal);
    const auto add = [&](WriteStart start, std::optional<WriteEnd> end) {
        return add_write(*journal, std::move(start), std::move(end));
    };
    const auto cut = add(a_write(), std::nullopt);
    const auto failed = add(a_write(), an_end(false));
    const auto other_kind = add(a_write("0000:03:00.0", BoardKind::Qx630), an_end(true));
    const auto completion = add(a_write(), an_end(true));
    const auto still_partial = add(a_write(), std::nullopt);
    const auto gone = add(a_write("0000:05:00.0"), std::nullopt);
    ASSERT_EQ(
        journal->retire("0000:05:00.0", static_cast<std::int64_t>(BoardKind::Qx480Spi), "bob"), 1);
    EXPECT_EQ(
        journal->retire("0000:05:00.0", static_cast<std::int64_t>(BoardKind::Qx480Spi), "bob"), 0)
        << "retired once";

    auto records = journal->records();
    ASSERT_TRUE(records);
    std::map<std::int64_t, const WriteRecord*> by_id;
    for (const WriteRecord& record : *records) by_id[record.id] = &record;
    EXPECT_EQ(by_id[cut]->completed_by, completion);
    EXPECT_EQ(by_id[failed]->completed_by, completion);
    EXPECT_EQ(by_id[other_kind]->completed_by, std::nullopt);
    EXPECT_EQ(by_id[still_partial]->completed_by, std::nullopt);
    for (const WriteRecord& record : *records) {
        EXPECT_EQ(record.retired.has_value(), record.id == gone) << record.id;
    }
    EXPECT_EQ(by_id[gone]->retired_by, "bob");
}

// History is picked by the database: a board's slot and whatever was written through a node
// name, the writes since a time, the newest few; a partial image names the write that
// completed it even when that one is not among those picked.
TEST(Journal, HistoryPicksBySlotOrNodeSinceATimeAndTheNewestFew) {
    sim::TempDir dir;
    const fs::path file = dir.path() / kJournalFileName;
    auto journal = Journal::open_for_writing(file);
    ASSERT_TRUE(journal);
    const auto add = [&](WriteStart start, std::string node, std::optional<WriteEnd> end) {
        start.devnode = std::move(node);
        return add_write(*journal, std::move(start), std::move(end));
    };
    const auto cut = add(a_write(), "/dev/tarnvel0", std::nullopt);
    const auto other_slot = add(a_write("0000:05:00.0"), "/dev/tarnvel0", an_end(true));
    const auto other_kind =
        add(a_write("0000:03:00.0", BoardKind::Qx630), "/dev/tarnvel1", an_end(true));
    const auto completion = add(a_write(), "/dev/tarnvel3", an_end(true));
    const auto last = add(a_write("0000:06:00.0"), "/dev/tarnvel2", an_end(true));
    // One write a day from 2026-12-01 on, in the order written.
    run_sql(file, "UPDATE writes SET started = '2026-12-0' || id || 'T00:00:00Z'");
    const auto day = [](int d) { return unix_seconds_of(fmt::format("2026-12-0{}T00:00:00Z", d)); };
    const std::pair<std::string, BoardKind> slot{"0000:03:00.0", BoardKind::Qx480Spi};

    struct Case {
        const char* what;
        HistorySelection selection;
        std::vector<std::int64_t> ids;
    };
    const Case cases[] = {
        {"everything", {}, {last, completion, other_kind, other_slot, cut}},
        {"a slot", {.slot = slot}, {completion, cut}},
        {"a slot or a node",
         {.slot = slot, .devnode = "/dev/tarnvel0"},
         {completion, other_slot, cut}},
        {"a node", {.devnode = "/dev/tarnvel0"}, {other_slot, cut}},
        {"since a day", {.since = day(3)}, {last, completion, other_kind}},
        {"since a second after", {.slot = slot, .since = *day(1) + 1}, {completion}},
        {"the newest", {.since = day(3), .limit = 1}, {last}},
        {"the newest of a slot", {.slot = slot, .limit = 1}, {completion}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto records = journal->history(c.selection);
        ASSERT_TRUE(records) << error_text(records.error());
        std::vector<std::int64_t> ids;
        for (const WriteRecord& record : *records) ids.push_back(record.id);
        EXPECT_EQ(ids, c.ids);
        for (const WriteRecord& record : *records) {
            EXPECT_EQ(record.completed_by,
                      record.id == cut ? std::optional(completion) : std::nullopt);
        }
    }
}

TEST(Journal, ReadingAJournalThatDoesNotExistMakesNothing) {
    sim::TempDir dir;
    const fs::path file = dir.path() / "state" / kJournalFileName;
    auto reader = Journal::open_for_reading(file);
    ASSERT_TRUE(reader) << error_text(reader.error());
    auto records = reader->records();
    ASSERT_TRUE(records);
    EXPECT_TRUE(records->empty());
    EXPECT_FALSE(fs::exists(dir.path() / "state"));
}

struct BadJournalCase {
    const char* name;
    std::function<void(const fs::path& file)> make;
    const char* problem;  // part of the error text
};

void PrintTo(const BadJournalCase& c, std::ostream* os) {
    *os << c.name;
}

class BadJournal : public ::testing::TestWithParam<BadJournalCase> {};

// Refused for writing and reading alike, with the file named, and never changed.
TEST_P(BadJournal, IsRefusedWithItsFileNamedAndLeftAsItIs) {
    sim::TempDir dir;
    const fs::path file = dir.path() / "state" / kJournalFileName;
    GetParam().make(file);
    const std::string before = file_bytes(file);

    for (bool writing : {true, false}) {
        auto journal = writing ? Journal::open_for_writing(file) : Journal::open_for_reading(file);
        ASSERT_FALSE(journal) << (writing ? "writing" : "reading");
        const std::string text = error_text(journal.error());
        EXPECT_NE(text.find(file.string()), std::string::npos) << text;
        EXPECT_NE(text.find(GetParam().problem), std::string::npos) << text;
    }
    EXPECT_EQ(file_bytes(file), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadJournal,
    ::testing::Values(
        BadJournalCase{"NotADatabase",
                       [](const fs::path& file) {
                           fs::create_directories(file.parent_path());
                           std::ofstream(file) << "board notes, kept by hand\n";
                       },
                       "not a database"},
        BadJournalCase{"NewerSchema",
                       [](const fs::path& file) {
                           fs::create_directories(file.parent_path());
                           run_sql(file,
                                   "CREATE TABLE writes (id INTEGER PRIMARY KEY);"
                                   "PRAGMA user_version = 99;");
                       },
                       "schema version 99 is newer"},
        BadJournalCase{"OtherData",
                       [](const fs::path& file) {
                           fs::create_directories(file.parent_path());
                           run_sql(file, "CREATE TABLE notes (text TEXT);");
                       },
                       "other data"},
        // The very next schema, whose table this program can't tell from its own.
        BadJournalCase{
            "NextSchema",
            [](const fs::path& file) {
                changed_journal(
                    file,
                    fmt::format("PRAGMA user_version = {};", kJournalSchemaVersion + 1).c_str());
            },
            "is newer than this program's"},
        BadJournalCase{
            "NegativeSchema",
            [](const fs::path& file) { changed_journal(file, "PRAGMA user_version = -1;"); },
            "schema version -1 is none that this program writes"},
        // A trigger that drops every record as it is written.
        BadJournalCase{"TriggerIgnoringRecords",
                       [](const fs::path& file) {
                           changed_journal(file,
                                           "CREATE TRIGGER forget BEFORE INSERT ON writes "
                                           "BEGIN SELECT RAISE(IGNORE); END;");
                       },
                       "it holds the trigger forget: the journal's schema is not"},
        // A view that never ends in place of the table.
        BadJournalCase{"EndlessViewForTheTable",
                       [](const fs::path& file) {
                           changed_journal(file,
                                           "ALTER TABLE writes RENAME TO kept;"
                                           "CREATE VIEW writes AS WITH RECURSIVE n(i) AS "
                                           "(SELECT 1 UNION ALL SELECT i + 1 FROM n) "
                                           "SELECT * FROM kept, n;");
                       },
                       "it holds the table kept"},
        BadJournalCase{"ColumnMissing",
                       [](const fs::path& file) {
                           changed_journal(file, "ALTER TABLE writes DROP COLUMN error;");
                       },
                       "column 19 of its table writes is not error TEXT"},
        BadJournalCase{"NoTable",
                       [](const fs::path& file) {
                           fs::create_directories(file.parent_path());
                           run_sql(file, "PRAGMA user_version = 2;");
                       },
                       "it holds no table writes"},
        BadJournalCase{"IdNotTheKey",
                       [](const fs::path& file) {
                           changed_journal(file,
                                           "PRAGMA writable_schema = ON; UPDATE sqlite_master "
                                           "SET sql = replace(sql, 'id INTEGER PRIMARY KEY', "
                                           "'id INTEGER') WHERE name = 'writes';");
                       },
                       "column 0 of its table writes is not id INTEGER"},
        BadJournalCase{"LastColumnMissing",
                       [](const fs::path& file) {
                           changed_journal(file,
                                           "ALTER TABLE writes DROP COLUMN backup_image_sha256;");
                       },
                       "lacks the column backup_image_sha256"},
        BadJournalCase{"ColumnOfItsOwn",
                       [](const fs::path& file) {
                           changed_journal(file, "ALTER TABLE writes ADD COLUMN note TEXT;");
                       },
                       "its table writes has more columns than schema version 5"},
        BadJournalCase{
            "DirectoryIsAFile",
            [](const fs::path& file) { std::ofstream(file.parent_path()) << "not a directory\n"; },
            "is a regular file"}),
    [](const ::testing::TestParamInfo<BadJournalCase>& param) { return param.param.name; });

// Forks a child that runs `work` on the journal and ends; answers its pid.
pid_t fork_writer(const fs::path& file, const std::function<void(Journal&)>& work) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    auto journal = Journal::open_for_writing(file);
    if (journal) work(*journal);
    ::_exit(journal ? 0 : 1);
}

void write_records(Journal& journal, const std::string& pci, int count) {
    for (int i = 0; i < count; ++i) {
        const auto id = journal.start_write(a_write(pci));
        if (!id || !journal.end_write(*id, an_end(true))) ::_exit(2);
    }
}

// Two programs on different boards both record, each waiting for the other's transactions.
TEST(Journal, TwoWritersAtOnceBothRecord) {
    sim::TempDir dir;
    const fs::path file = dir.path() / kJournalFileName;
    constexpr int kEach = 25;
    const pid_t first =
        fork_writer(file, [](Journal& j) { write_records(j, "0000:03:00.0", kEach); });
    const pid_t second =
        fork_writer(file, [](Journal& j) { write_records(j, "0000:04:00.0", kEach); });
    for (pid_t pid : {first, second}) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    auto journal = Journal::open_for_reading(file);
    ASSERT_TRUE(journal);
    auto records = journal->records();
    ASSERT_TRUE(records);
    EXPECT_EQ(records->size(), 2u * kEach);
    for (const WriteRecord& record : *records) EXPECT_FALSE(record.interrupted());
}

// Writers killed at many moments, from the journal's creation to the middle of a stream of
// records: the database stays whole and readable, every record that was started is there
// whole, and at most the one a writer was in the middle of is left without its end.
TEST(Journal, SurvivesWritersKilledAtAnyMoment) {
    sim::TempDir dir;
    const fs::path file = dir.path() / "state" / kJournalFileName;
    constexpr int kKills = 40;
    // The kills are spread over the time this machine takes, now, to make a journal and write
    // three records into it: every synced commit costs what the disk and the load make it
    // cost, and kills at fixed times would all land before the first record on a slow one.
    const auto span = [&] {
        sim::TempDir timing;
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = fork_writer(timing.path() / kJournalFileName,
                                      [](Journal& j) { write_records(j, "0000:03:00.0", 3); });
        int status = 0;
        ::waitpid(pid, &status, 0);
        return std::chrono::steady_clock::now() - start;
    }();
    std::size_t records_before = 0;
    int interrupted_before = 0;
    for (int kill_point = 0; kill_point < kKills; ++kill_point) {
        const pid_t pid = fork_writer(file, [](Journal& j) {
            for (;;) write_records(j, "0000:03:00.0", 1);
        });
        // Spreads the kills over the opening, the schema's creation and the records.
        std::this_thread::sleep_for(span * kill_point / kKills);
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);

        // A writer killed before it made the file has left nothing to check.
        if (fs::exists(file)) {
            ASSERT_EQ(integrity_check(file), "ok") << "after kill " << kill_point;
        }
        auto journal = Journal::open_for_reading(file);
        ASSERT_TRUE(journal) << error_text(journal.error());
        auto records = journal->records();
        ASSERT_TRUE(records) << error_text(records.error());
        int interrupted = 0;
        for (const WriteRecord& record : *records) {
            EXPECT_EQ(record.start.image_sha256, a_write().image_sha256);
            if (record.interrupted()) {
                ++interrupted;
            } else {
                EXPECT_TRUE(record.end->verified);
                EXPECT_EQ(record.end->blocks_written, 3u);
            }
        }
        // Nothing committed is lost, and a kill leaves at most the one record it cut short.
        EXPECT_GE(records->size(), records_before);
        EXPECT_LE(interrupted, interrupted_before + 1);
        records_before = records->size();
        interrupted_before = interrupted;
    }
    EXPECT_GT(records_before, 0u) << "no kill came late enough to find a record";
}

}  // namespace
}  // namespace tarnvel
