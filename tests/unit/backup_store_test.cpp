// The backups of what a write overwrote: kept whole, read back only as their record describes
// them, never followed out of their directory.

#include "update/backup_store.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "sim/firmware/firmware_archive_writer.hpp"
#include "sim/support/file_text.hpp"
#include "sim/support/temp_dir.hpp"

namespace tarnvel::testing {
namespace {

namespace fs = std::filesystem;
constexpr const char* kSlot = "0000:03:00.0";
constexpr uid_t kSomeoneElse = 65534;

TEST(BackupStore, KeepsASpanThatReadsBackWholeAndNamesEachBackupOnce) {
    const sim::TempDir state("tarnvel-backup.");
    BackupStore store(state.path());
    std::vector<std::uint8_t> span = sim::firmware_bytes(300000, 7);
    span.resize(span.size() + 65536, 0xFF);  // erased flash, as most spans end

    std::set<std::string> names;
    BackupRef kept;
    for (int i = 0; i < 3; ++i) {
        auto backup = store.keep(kSlot, BoardKind::Qx480Spi, span);
        ASSERT_TRUE(backup) << error_text(backup.error());
        names.insert(backup->file);
        kept = *backup;
    }
    EXPECT_EQ(names.size(), 3u);
    struct stat info {};
    ASSERT_EQ(::lstat(store.directory().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_LT(fs::file_size(store.directory() / kept.file), span.size());

    auto read = store.read(kept, span.size());
    ASSERT_TRUE(read) << error_text(read.error());
    EXPECT_EQ(*read, span);
    auto files = store.files();
    ASSERT_TRUE(files);
    EXPECT_EQ(std::set<std::string>(files->begin(), files->end()), names);
    ASSERT_TRUE(store.remove(kept.file));
    EXPECT_TRUE(store.remove(kept.file)) << "a backup already gone is no error";
}

TEST(BackupStore, ReadsNothingItsRecordDoesNotDescribe) {
    const sim::TempDir state("tarnvel-backup.");
    BackupStore store(state.path());
    const std::vector<std::uint8_t> span = sim::firmware_bytes(4096, 3);
    auto kept = store.keep(kSlot, BoardKind::Qx630, span);
    ASSERT_TRUE(kept);
    ASSERT_EQ(::symlink(kept->file.c_str(), (store.directory() / "link.zst").c_str()), 0);
    const std::string frame = sim::read_whole_file(store.directory() / kept->file).value();
    ASSERT_TRUE(
        sim::write_whole_file(store.directory() / "cut.zst", frame.substr(0, frame.size() / 2)));
    // The whole frame, where no one but root and this user can have put it, or not.
    const auto copy = [&](const char* name, mode_t mode, uid_t owner) {
        ASSERT_TRUE(sim::write_whole_file(store.directory() / name, frame));
        ::chmod((store.directory() / name).c_str(), mode);
        ASSERT_EQ(::chown((store.directory() / name).c_str(), owner, 0), 0);
    };
    copy("foreign.zst", 0644, kSomeoneElse);
    copy("open.zst", 0666, 0);
    copy("twice.zst", 0644, 0);
    ASSERT_EQ(::link((store.directory() / "twice.zst").c_str(),
                     (store.directory() / "second.zst").c_str()),
              0);
    // A FIFO with no writer would hold an open that waits for one.
    ASSERT_EQ(::mkfifo((store.directory() / "fifo.zst").c_str(), 0600), 0);

    // Bytes after the frame that are no frame of their own.
    ASSERT_TRUE(sim::write_whole_file(store.directory() / "damaged.zst", frame + "garbage!"));

    struct Case {
        const char* what;
        BackupRef backup;
        std::uint64_t length;
        const char* says;  // in the operator's words
    };
    const Case cases[] = {
        {"another digest", {kept->file, std::string(64, '0')}, span.size(), "its SHA-256 is not"},
        {"another length", *kept, span.size() - 1, "does not hold the 4095 bytes its record says"},
        {"a name out of the directory",
         {"../" + kept->file, kept->sha256},
         span.size(),
         "is no backup's name"},
        {"a symbolic link", {"link.zst", kept->sha256}, span.size(), ""},
        {"a frame cut short",
         {"cut.zst", kept->sha256},
         span.size(),
         "it is cut short: the file ends before the 4096 bytes of flash its record says it holds"},
        {"a frame damaged",
         {"damaged.zst", kept->sha256},
         span.size(),
         "it is damaged: what it holds does not unpack"},
        {"no such backup", {"gone.zst", kept->sha256}, span.size(), ""},
        {"a file of someone else", {"foreign.zst", kept->sha256}, span.size(), ""},
        {"a file writable by others", {"open.zst", kept->sha256}, span.size(), ""},
        {"a file with two names", {"twice.zst", kept->sha256}, span.size(), ""},
        {"a FIFO", {"fifo.zst", kept->sha256}, span.size(), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto read = store.read(c.backup, c.length);
        ASSERT_FALSE(read);
        EXPECT_NE(error_text(read.error()).find(c.says), std::string::npos)
            << error_text(read.error());
    }
    EXPECT_TRUE(store.read(*kept, span.size())) << "the backup itself reads";
}

TEST(BackupStore, NeverWritesThroughABackupsDirectoryThatIsALink) {
    const sim::TempDir state("tarnvel-backup.");
    const sim::TempDir elsewhere("tarnvel-elsewhere.");
    ASSERT_EQ(::symlink(elsewhere.path().c_str(), (state.path() / kBackupDirName).c_str()), 0);
    BackupStore store(state.path());
    auto kept = store.keep(kSlot, BoardKind::Qx630, sim::firmware_bytes(1024, 1));
    ASSERT_FALSE(kept);
    EXPECT_NE(error_text(kept.error()).find("symbolic link"), std::string::npos)
        << error_text(kept.error());
    EXPECT_TRUE(fs::is_empty(elsewhere.path()));
}

// A backups directory that someone else owns or may write in is neither written in nor read
// from: what it holds is written back to a board.
TEST(BackupStore, UsesNoDirectoryOthersCanHavePutBackupsIn) {
    struct Case {
        const char* what;
        mode_t mode;
        uid_t owner;
        const char* problem;
    };
    const Case cases[] = {
        {"someone else's", 0700, kSomeoneElse, "belongs to uid 65534"},
        {"writable by all", 0777, 0, "writable by others and not sticky (mode 0777)"},
        {"writable by its group", 0770, 0, "(mode 0770)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const sim::TempDir state("tarnvel-backup.");
        BackupStore store(state.path());
        auto kept = store.keep(kSlot, BoardKind::Qx630, sim::firmware_bytes(1024, 1));
        ASSERT_TRUE(kept);
        ::chmod(store.directory().c_str(), c.mode);
        ASSERT_EQ(::chown(store.directory().c_str(), c.owner, 0), 0);
        auto again = store.keep(kSlot, BoardKind::Qx630, sim::firmware_bytes(1024, 1));
        ASSERT_FALSE(again);
        EXPECT_NE(error_text(again.error()).find(c.problem), std::string::npos)
            << error_text(again.error());
        EXPECT_FALSE(store.read(*kept, 1024));
        EXPECT_FALSE(store.files());
    }
}

// Backups of the board that no record names (a write whose record the journal refused, a
// record forgotten) are removed; those its records name, other boards' and files not named as
// backups are not.
TEST(BackupStore, RemovesTheBoardsBackupsThatNoRecordNames) {
    const sim::TempDir state("tarnvel-backup.");
    BackupStore store(state.path());
    const auto keep = [&](const char* slot) {
        auto kept = store.keep(slot, BoardKind::Qx630, sim::firmware_bytes(64, 1));
        EXPECT_TRUE(kept);
        return kept.value_or(BackupRef{});
    };
    const BackupRef named = keep(kSlot);
    const BackupRef orphan = keep(kSlot);
    const BackupRef other_board = keep("0000:04:00.0");
    ASSERT_TRUE(sim::write_whole_file(store.directory() / "notes.zst", "mine"));
    std::vector<WriteRecord> records(1);
    records[0].start.pci_address = kSlot;
    records[0].start.backup_file = named.file;
    ASSERT_TRUE(remove_unnamed_backups(records, store, kSlot));
    auto left = store.files();
    ASSERT_TRUE(left);
    EXPECT_EQ(std::set<std::string>(left->begin(), left->end()),
              (std::set<std::string>{named.file, other_board.file, "notes.zst"}));
    EXPECT_FALSE(fs::exists(store.directory() / orphan.file));
}

// Retention after a verified write: the newest backups asked for, the one of the board's last
// verified write, and that of a write since cut short, whose board may need what it held.
TEST(BackupStore, PruningKeepsWhatRecordsStillNeed) {
    const sim::TempDir state("tarnvel-backup.");
    BackupStore store(state.path());
    auto journal = Journal::open_for_writing(state.path() / kJournalFileName);
    ASSERT_TRUE(journal) << error_text(journal.error());
    // Oldest first: verified, verified, verified (the last), then one that never ended; and
    // another slot's backup, which is none of this board's business.
    enum class End { Verified, Never };
    const End ends[] = {End::Verified, End::Verified, End::Verified, End::Never};
    std::vector<std::string> files;
    for (const End end : ends) {
        auto kept = store.keep(kSlot, BoardKind::Qx630, sim::firmware_bytes(64, 1));
        ASSERT_TRUE(kept);
        files.push_back(kept->file);
        WriteStart start;
        start.pci_address = kSlot;
        start.kind = static_cast<std::int64_t>(BoardKind::Qx630);
        start.backup_file = kept->file;
        start.backup_sha256 = kept->sha256;
        auto id = journal->start_write(start);
        ASSERT_TRUE(id);
        if (end == End::Verified) {
            WriteEnd verified;
            verified.verified = true;
            ASSERT_TRUE(journal->end_write(*id, verified));
        }
    }
    auto elsewhere = store.keep("0000:04:00.0", BoardKind::Qx630, sim::firmware_bytes(64, 2));
    ASSERT_TRUE(elsewhere);
    WriteStart other;
    other.pci_address = "0000:04:00.0";
    other.kind = static_cast<std::int64_t>(BoardKind::Qx630);
    other.backup_file = elsewhere->file;
    ASSERT_TRUE(journal->start_write(other));

    auto records = journal->records();
    ASSERT_TRUE(records);
    ASSERT_TRUE(prune_backups(*records, store, kSlot, 0));
    auto left = store.files();
    ASSERT_TRUE(left);
    EXPECT_EQ(std::set<std::string>(left->begin(), left->end()),
              (std::set<std::string>{files[2], files[3], elsewhere->file}));
    ASSERT_TRUE(prune_backups(*records, store, kSlot, 3));
    EXPECT_EQ(store.files()->size(), 3u) << "a backup once removed is not made again";
}

}  // namespace
}  // namespace tarnvel::testing
