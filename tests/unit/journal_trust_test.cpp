// A journal that someone else may have touched: a place that is not one to trust is refused
// with what was found and nothing in it changed, a schema that is not the program's is refused,
// the numbers a record holds are read as they are stored, a record that is gone can't be
// completed, a file switched to a write-ahead log goes back to the rollback journal (so that a
// reader who can't write it reads it), and SQLite runs no trigger, no view and no endless
// statement whatever the file holds.

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>

#include "sim/support/file_text.hpp"
#include "sim/support/temp_dir.hpp"
#include "support/journal_outside.hpp"
#include "journal/journal.hpp"
#include "journal/sqlite.hpp"

namespace tarnvel {
namespace {

namespace fs = std::filesystem;
using testing::a_write;
using testing::run_sql;
using testing::snapshot;

constexpr uid_t kSomeoneElse = 65534;
// The exit status of a child that can't reach a test's directory as kSomeoneElse.
constexpr int kUnreachable = 4;

// A journal as this program makes it, with one record.
void make_journal(const fs::path& file) {
    auto journal = Journal::open_for_writing(file);
    ASSERT_TRUE(journal) << error_text(journal.error());
    ASSERT_TRUE(journal->start_write(a_write()));
}

struct PlaceCase {
    const char* name;
    // Lays out the state directory `state` (not made yet) inside `root`; answers the
    // journal's path.
    std::function<fs::path(const fs::path& root, const fs::path& state)> make;
    const char* problem;  // part of the refusal; none: the place is a good one
};

void PrintTo(const PlaceCase& c, std::ostream* os) {
    *os << c.name;
}

class JournalPlace : public ::testing::TestWithParam<PlaceCase> {};

// Refused for writing and reading alike, naming what was found, and not a byte or a name
// changed where the journal would be, nor behind any link.
TEST_P(JournalPlace, IsRefusedWithWhatWasFoundAndLeftAsItIs) {
    sim::TempDir root;
    ::chmod(root.path().c_str(), 0755);
    const fs::path file = GetParam().make(root.path(), root.path() / "state");
    const auto before = snapshot(root.path());
    for (const bool writing : {true, false}) {
        auto journal = writing ? Journal::open_for_writing(file) : Journal::open_for_reading(file);
        if (GetParam().problem == nullptr) {
            EXPECT_TRUE(journal) << error_text(journal.error());
            continue;
        }
        ASSERT_FALSE(journal) << (writing ? "writing" : "reading");
        const std::string text = error_text(journal.error());
        EXPECT_NE(text.find(file.string()), std::string::npos) << text;
        EXPECT_NE(text.find(GetParam().problem), std::string::npos) << text;
        EXPECT_EQ(snapshot(root.path()), before) << (writing ? "writing" : "reading");
    }
}

fs::path in_directory(const fs::path& state, mode_t mode, uid_t owner = 0) {
    fs::create_directory(state);
    ::chmod(state.c_str(), mode);
    EXPECT_EQ(::chown(state.c_str(), owner, 0), 0);
    return state / kJournalFileName;
}

fs::path empty_file(const fs::path& path) {
    std::ofstream(path) << "";
    return path;
}

// A journal file of `mode`, owned by `owner`.
fs::path journal_of(const fs::path& state, mode_t mode, uid_t owner = 0) {
    const fs::path file = in_directory(state, 0755);
    make_journal(file);
    ::chmod(file.c_str(), mode);
    EXPECT_EQ(::chown(file.c_str(), owner, 0), 0);
    return file;
}

// A path of `length` bytes to a journal in a directory of directories that is not there.
fs::path path_of_length(const fs::path& state, std::size_t length) {
    fs::path dir = state;
    const std::size_t name = std::string_view("/journal.sqlite").size();
    while (dir.string().size() + name + 101 < length) dir /= std::string(100, 'd');
    dir /= std::string(length - dir.string().size() - name - 1, 'e');
    return dir / kJournalFileName;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JournalPlace,
    ::testing::Values(
        PlaceCase{"LinkToAnEmptyFile",
                  [](const fs::path& root, const fs::path& state) {
                      const fs::path file = in_directory(state, 0755);
                      fs::create_symlink(empty_file(root / "notes"), file);
                      return file;
                  },
                  "it is a symbolic link (to "},
        PlaceCase{"LinkToAMissingPath",
                  [](const fs::path& root, const fs::path& state) {
                      const fs::path file = in_directory(state, 0755);
                      fs::create_symlink(root / "elsewhere", file);
                      return file;
                  },
                  "it is a symbolic link"},
        PlaceCase{"LinkToADevice",
                  [](const fs::path&, const fs::path& state) {
                      const fs::path file = in_directory(state, 0755);
                      fs::create_symlink("/dev/null", file);
                      return file;
                  },
                  "(to /dev/null), which is not followed"},
        PlaceCase{"Fifo",
                  [](const fs::path&, const fs::path& state) {
                      const fs::path file = in_directory(state, 0755);
                      ::mkfifo(file.c_str(), 0644);
                      return file;
                  },
                  "it is a FIFO, not a regular file"},
        PlaceCase{"DirectoryIsALink",
                  [](const fs::path& root, const fs::path& state) {
                      in_directory(root / "real", 0755);
                      fs::create_symlink(root / "real", state);
                      return state / kJournalFileName;
                  },
                  "is a symbolic link (to "},
        PlaceCase{"DirectoryWritableByAll",
                  [](const fs::path&, const fs::path& state) { return in_directory(state, 0777); },
                  "writable by others and not sticky (mode 0777)"},
        PlaceCase{"DirectoryWritableByItsGroup",
                  [](const fs::path&, const fs::path& state) { return in_directory(state, 0775); },
                  "(mode 0775)"},
        PlaceCase{"DirectoryOfSomeoneElse",
                  [](const fs::path&, const fs::path& state) {
                      return in_directory(state, 0755, kSomeoneElse);
                  },
                  "belongs to uid 65534"},
        PlaceCase{"FileOfSomeoneElse",
                  [](const fs::path&, const fs::path& state) {
                      return journal_of(state, 0644, kSomeoneElse);
                  },
                  "it belongs to uid 65534"},
        PlaceCase{"FileWritableByAll",
                  [](const fs::path&, const fs::path& state) { return journal_of(state, 0666); },
                  "it is writable by others (mode 0666)"},
        PlaceCase{"FileWritableByItsGroup",
                  [](const fs::path&, const fs::path& state) { return journal_of(state, 0664); },
                  "it is writable by others (mode 0664)"},
        PlaceCase{"FileWithTwoNames",
                  [](const fs::path& root, const fs::path& state) {
                      const fs::path file = journal_of(state, 0644);
                      fs::create_hard_link(file, root / "second-name");
                      return file;
                  },
                  "it has 2 names"},
        PlaceCase{"RollbackJournalIsALink",
                  [](const fs::path& root, const fs::path& state) {
                      const fs::path file = journal_of(state, 0644);
                      fs::create_symlink(empty_file(root / "notes"), file.string() + "-journal");
                      return file;
                  },
                  "journal.sqlite-journal is a symbolic link"},
        PlaceCase{
            "RelativePath",
            [](const fs::path&, const fs::path&) { return fs::path("state") / kJournalFileName; },
            "not an absolute path"},
        PlaceCase{"PathTooLongForSqlite",
                  [](const fs::path&, const fs::path& state) { return path_of_length(state, 505); },
                  "the path is 505 bytes long; SQLite opens a journal of at most 504"},
        // Good places: the longest path SQLite takes, and a sticky directory of the caller's
        // that others may write in.
        PlaceCase{"LongestPath",
                  [](const fs::path&, const fs::path& state) { return path_of_length(state, 504); },
                  nullptr},
        PlaceCase{"StickyDirectory",
                  [](const fs::path&, const fs::path& state) { return in_directory(state, 01777); },
                  nullptr}),
    [](const ::testing::TestParamInfo<PlaceCase>& param) { return param.param.name; });

// Numbers are read as the journal stores them: a value no program of this kind writes shows as
// it is, not wrapped into one that looks right.
TEST(JournalRecord, ReadsNumbersAtTheirStoredWidth) {
    sim::TempDir dir;
    const fs::path file = dir.path() / kJournalFileName;
    make_journal(file);
    run_sql(file,
            "UPDATE writes SET kind = 300, firmware_before = -5, image_version = 9999999999, "
            "image_size = -1, ended = '2026-01-01T00:00:00Z', result = 'verified', "
            "flash_changed = 1, blocks = 4294967296, blocks_written = -1, blocks_unchanged = -2, "
            "retries = -3, stopped = 1");
    auto journal = Journal::open_for_reading(file);
    ASSERT_TRUE(journal) << error_text(journal.error());
    auto records = journal->records();
    ASSERT_TRUE(records && records->size() == 1u);
    const WriteRecord& record = records->front();
    EXPECT_EQ(record.start.kind, 300);
    EXPECT_EQ(record.start.board_kind(), std::nullopt);
    WriteStart kinds = a_write();
    kinds.kind = kBoardKindCount;
    EXPECT_EQ(kinds.board_kind(), std::nullopt);
    kinds.kind = kBoardKindCount - 1;
    EXPECT_EQ(kinds.board_kind(), BoardKind::Qx1800);
    EXPECT_EQ(record.start.firmware_before, -5);
    EXPECT_EQ(record.start.image_version, 9999999999);
    EXPECT_EQ(record.start.image_size, -1);
    ASSERT_TRUE(record.end);
    EXPECT_EQ(record.end->blocks, 4294967296);
    EXPECT_EQ(record.end->blocks_written, -1);
    EXPECT_EQ(record.end->blocks_unchanged, -2);
    EXPECT_EQ(record.end->retries, -3);
    EXPECT_TRUE(record.end->stopped);
}

// A record that another program deleted in the meantime is not completed silently.
TEST(JournalRecord, ARecordThatIsGoneCanBeNeitherEndedNorGivenItsReboot) {
    sim::TempDir dir;
    const fs::path file = dir.path() / kJournalFileName;
    auto journal = Journal::open_for_writing(file);
    ASSERT_TRUE(journal);
    const auto id = journal->start_write(a_write());
    ASSERT_TRUE(id);
    run_sql(file, "DELETE FROM writes");
    const auto ended = journal->end_write(*id, WriteEnd{});
    ASSERT_FALSE(ended);
    EXPECT_NE(error_text(ended.error()).find(fmt::format("holds no record {}", *id)),
              std::string::npos);
    EXPECT_FALSE(journal->note_reboot(*id, RebootNote{.requested = false}));
}

// The header's journal mode: 1 for the rollback journal, 2 for a write-ahead log.
int journal_mode_byte(const fs::path& file) {
    const std::string bytes = sim::read_whole_file(file).value_or("");
    return bytes.size() > 18 ? bytes[18] : -1;
}

// Someone switched the journal to a write-ahead log: the next program that can write it puts
// it back, after which a user who can't write it (nor its directory) reads it.
TEST(JournalRecord, AFileSwitchedToAWriteAheadLogIsPutBackForReadersWhoCantWrite) {
    sim::TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const fs::path file = dir.path() / kJournalFileName;
    make_journal(file);
    run_sql(file, "PRAGMA journal_mode = WAL");
    ASSERT_EQ(journal_mode_byte(file), 2);

    ASSERT_TRUE(Journal::open_for_reading(file));  // as root: read-write
    EXPECT_EQ(journal_mode_byte(file), 1);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(kSomeoneElse) != 0 || ::setuid(kSomeoneElse) != 0) ::_exit(3);
        // A machine whose root directory only root may enter (a chroot made in a private
        // directory) leaves no file for anyone else to read.
        if (::access(dir.path().c_str(), X_OK) != 0) ::_exit(kUnreachable);
        auto journal = Journal::open_for_reading(file);
        if (!journal) std::cerr << error_text(journal.error()) << "\n";
        ::_exit(journal && journal->records() && journal->records()->size() == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kUnreachable) {
        GTEST_SKIP() << "uid " << kSomeoneElse << " can't reach " << dir.path();
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A journal that its user can read but not write is refused for writing, saying so, and not
// taken as one to record in: every write would go unrecorded.
TEST(JournalRecord, AJournalThatCanBeReadButNotWrittenIsRefusedForWriting) {
    sim::TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const fs::path file = dir.path() / kJournalFileName;
    make_journal(file);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(kSomeoneElse) != 0 || ::setuid(kSomeoneElse) != 0) ::_exit(3);
        if (::access(dir.path().c_str(), X_OK) != 0) ::_exit(kUnreachable);
        if (!Journal::open_for_reading(file)) ::_exit(2);
        auto journal = Journal::open_for_writing(file);
        if (journal) ::_exit(1);
        const std::string text = error_text(journal.error());
        std::cerr << text << "\n";
        ::_exit(text.find("can't write it") != std::string::npos ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kUnreachable) {
        GTEST_SKIP() << "uid " << kSomeoneElse << " can't reach " << dir.path();
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Whatever the file holds, SQLite runs what the statement says and no more, and not forever.
TEST(SqliteLayer, RunsNoTriggerNoViewAndNoEndlessStatement) {
    sim::TempDir dir;
    const fs::path file = dir.path() / "other.sqlite";
    run_sql(file,
            "CREATE TABLE t (x INTEGER); CREATE TABLE seen (x INTEGER);"
            "CREATE TRIGGER copy AFTER INSERT ON t BEGIN INSERT INTO seen VALUES (new.x); END;"
            "CREATE VIEW v AS SELECT x FROM t;");
    auto db =
        SqliteDatabase::open(file, SqliteDatabase::Mode::ReadWrite, std::chrono::milliseconds(200));
    ASSERT_TRUE(db) << error_text(db.error());
    ASSERT_TRUE(db->exec("INSERT INTO t VALUES (1)"));
    EXPECT_EQ(db->query_integer("SELECT count(*) FROM seen"), 0);
    EXPECT_FALSE(db->query_integer("SELECT count(*) FROM v"));
    // Defensive: the schema can't be written by a statement.
    EXPECT_FALSE(db->exec("PRAGMA writable_schema = ON; DELETE FROM sqlite_master;") &&
                 db->query_integer("SELECT count(*) FROM sqlite_master") == 0);
    EXPECT_EQ(db->query_integer("PRAGMA trusted_schema"), 0);

    const auto endless = db->query_integer(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT count(*) FROM n");
    ASSERT_FALSE(endless);
    EXPECT_EQ(endless.error().kind(), ErrorKind::TimedOut) << error_text(endless.error());
    EXPECT_NE(error_text(endless.error()).find("ran longer than 200 ms"), std::string::npos);
    // The next statement has its own time.
    EXPECT_EQ(db->query_integer("SELECT count(*) FROM t"), 1);
}

}  // namespace
}  // namespace tarnvel
