#pragma once
// The journal: one record for every write of a board's flash, by either program, kept in an
// SQLite database. A record is committed before the first erase and completed when the write
// has ended, so that a record that never ended tells of a write cut short by a kill, a crash or
// a power cut: the flash of that board holds a partial image.
//
// The database uses SQLite's rollback journal (its default) with synchronous=FULL: every
// commit is on the disk, the directory entry included, before it returns, and a kill or power
// cut at any moment leaves the last commit whole. A write-ahead log would serve as well, but
// it needs write access beside the database even to read it, and the journal must stay
// readable (list, history) to whoever may read the file. Programs working on different boards
// at the same time wait for each other's short transactions (a busy timeout), never fail on
// them. PRAGMA user_version carries the schema version.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "device/board_table.hpp"
#include "journal/host.hpp"
#include "journal/sqlite.hpp"

namespace tarnvel {

inline constexpr const char* kJournalFileName = "journal.sqlite";
// The schema this program writes; a database of a newer one is left alone.
inline constexpr int kJournalSchemaVersion = 5;

// What is known of a write before the first erase. The numbers are held as the journal stores
// them, 64 bits wide: a record someone else wrote may hold any, and shows what it holds.
struct WriteStart {
    std::string pci_address;
    std::string devnode;
    std::int64_t kind = 0;  // a BoardKind's number
    std::string model;
    std::string hardware;  // "2.0"
    std::int64_t firmware_before = 0;
    std::optional<std::int64_t> image_version = std::nullopt;  // none for an image file
    std::int64_t image_size = 0;
    std::string image_sha256;
    // Where the image came from: an archive and its entry, or an image file.
    std::optional<std::string> image_archive = std::nullopt;
    std::optional<std::string> image_entry = std::nullopt;
    std::optional<std::string> image_file = std::nullopt;
    std::string program;  // "tarnvel-flash", "tarnvel-fw"
    std::string user;     // who ran it: the user name, or the uid
    std::string boot_id;  // the machine's boot, from /proc/sys/kernel/random/boot_id
    // Who asked for the run (requested_by()); none when not known.
    std::optional<std::string> requested_by = std::nullopt;
    // The process that writes, while it runs: a record that never ended whose writer still
    // runs on the same boot is a write in progress, not one cut short.
    std::optional<ProcessStamp> writer = std::nullopt;
    // What the flash held over the span before the write: the backup's name in the state
    // directory's backups/ and the span's SHA-256; none when no backup was taken, and then
    // `backup_skipped` when the operator asked for none.
    std::optional<std::string> backup_file = std::nullopt;
    std::optional<std::string> backup_sha256 = std::nullopt;
    bool backup_skipped = false;
    // The record whose backup this write put back (a rollback), when it is one.
    std::optional<std::int64_t> backup_of = std::nullopt;
    // The minisign key that signed the image, verified (as key_id_text shows it), and the
    // signature's trusted comment; none for an image written without a verified signature.
    std::optional<std::string> signature_key_id = std::nullopt;
    std::optional<std::string> signature_comment = std::nullopt;
    // How far the backup reaches from the image's start (none: the image's span, as backups
    // before these were kept), and what it holds: "image" (the image of `backup_version` and
    // `backup_image_sha256`, whole and verified), "running" (the firmware of `backup_version`
    // the board had started from its flash), "unknown" or "partial" (none for a record that
    // says nothing of it).
    std::optional<std::int64_t> backup_size = std::nullopt;
    std::optional<std::string> backup_holds = std::nullopt;
    std::optional<std::int64_t> backup_version = std::nullopt;
    std::optional<std::string> backup_image_sha256 = std::nullopt;

    // The board kind the record names; none for a number that is no kind.
    std::optional<BoardKind> board_kind() const;
    friend bool operator==(const WriteStart&, const WriteStart&) = default;
};

// How a write ended.
struct WriteEnd {
    bool verified = false;
    std::optional<std::string> error;   // why it failed
    bool flash_changed = false;         // an erase or program command reached the flash
    std::int64_t blocks = 0;            // erase blocks the image covers
    std::int64_t blocks_written = 0;    // of them erased, written and verified
    std::int64_t blocks_unchanged = 0;  // of them found holding the image, left as they were
    std::int64_t retries = 0;           // passes repeated after a read-back mismatch
    bool stopped = false;               // a stop signal ended the run right after the write
    // From the record's start to its end, on the monotonic clock; none for a record of an
    // older program, whose duration only its whole-second times tell.
    std::optional<std::int64_t> duration_ms = std::nullopt;

    friend bool operator==(const WriteEnd&, const WriteEnd&) = default;
};

// What came of the reboot after a verified write.
struct RebootNote {
    bool requested = false;
    std::optional<std::string> version_after = std::nullopt;  // the board's "version" then
    std::optional<std::string> error = std::nullopt;          // why the reboot was not done
};

struct WriteRecord {
    std::int64_t id = 0;
    WriteStart start;
    std::string started;               // RFC 3339, UTC
    std::optional<std::string> ended;  // none: the write never ended
    std::optional<WriteEnd> end;       // none: the write never ended
    std::optional<RebootNote> reboot;  // none: no reboot was decided on
    // When and by whom the board was forgotten (Journal::retire): its slot is no longer
    // missed. None for a record in use.
    std::optional<std::string> retired;
    std::optional<std::string> retired_by;
    // The later verified write of the same board that replaced the partial image this one
    // left (Journal::records only); none when it left none, or nothing replaced it yet.
    std::optional<std::int64_t> completed_by;
    // A rollback (`start.backup_of`): the image the write it undid had written, which the
    // rollback took off the flash; none for another write, or when that record is gone.
    struct Undone {
        std::optional<std::int64_t> image_version;
        std::string image_sha256;
        friend bool operator==(const Undone&, const Undone&) = default;
    };
    std::optional<Undone> undone;
    // Whether the backup the record names is still there; none when no one looked
    // (note_backups_present).
    std::optional<bool> backup_present;

    bool interrupted() const { return !end; }
    // How long the write took: as measured, or for a record of an older program from its
    // whole-second times; none for a write that never ended.
    std::optional<std::int64_t> duration_ms() const;
    // The write ended but failed, with the flash already changed: a partial image.
    bool failed_partway() const { return end && !end->verified && end->flash_changed; }
    // The write changed or may have changed the flash: all but one that failed before its first
    // erase reached the chip.
    bool touched_flash() const { return !end || end->verified || end->flash_changed; }
};

// "2024-05-01T12:00:00Z": now, in RFC 3339 UTC.
std::string utc_timestamp_now();
// The same form of the seconds since the epoch.
std::string utc_timestamp(std::int64_t unix_seconds);
// The seconds since the epoch of a time in the form utc_timestamp_now writes; nothing for any
// other text (a hand-edited record, say).
std::optional<std::int64_t> unix_seconds_of(std::string_view timestamp);

// The records `history` shows: a board's, those since a time, the newest few.
struct HistorySelection {
    // Only the records of the board of this kind in this slot, and those written through the
    // node `devnode`: node names may change between boots, slots don't. Neither: every board.
    std::optional<std::pair<std::string, BoardKind>> slot = std::nullopt;
    std::optional<std::string> devnode = std::nullopt;
    // Only the records of writes started at this second since the epoch or later.
    std::optional<std::int64_t> since = std::nullopt;
    // Only the newest this many of those selected.
    std::optional<unsigned> limit = std::nullopt;
};

class Journal {
  public:
    // For a program about to write: makes the directory (mode 0755) and the database when
    // they are missing and brings an older schema up to date. Fails, changing nothing, when
    // the file's place is not one to trust (journal_place.hpp), the directory can't be made,
    // the database can't be written, the file is not a database (or one of other data), or
    // its schema is not one of this program's: newer, unknown, with objects or columns of its
    // own. The error's text names the file and the problem.
    static Result<Journal> open_for_writing(const std::filesystem::path& file);
    // For reading: a journal that does not exist yet reads as empty, and nothing is made. An
    // older schema is read as it is (the fields it lacks read as their defaults), so that a
    // reader who can't write the file still reads the journal of an older program. Refused as
    // for writing.
    static Result<Journal> open_for_reading(const std::filesystem::path& file);

    Journal(Journal&&) noexcept;
    Journal& operator=(Journal&&) noexcept;
    ~Journal();

    const std::filesystem::path& file() const { return file_; }

    // Adds the record of a write about to start, committed and on the disk when this
    // returns; answers its id.
    Result<std::int64_t> start_write(const WriteStart& start);
    // Completes the record: the write has ended. Fails when the record is not there (any more).
    Status end_write(std::int64_t id, const WriteEnd& end);
    // Adds what came of the reboot after the write. Fails as end_write does.
    Status note_reboot(std::int64_t id, const RebootNote& reboot);
    // Marks every record of the board of `kind` (the number its records hold) in the slot at
    // `pci_address` retired, now and by `by`: the board is gone for good, and its records stay
    // for history. Answers how many records it marked; those marked before are left as they were.
    Result<std::int64_t> retire(std::string_view pci_address, std::int64_t kind,
                                const std::optional<std::string>& by);

    // Every record, newest first, each partial one with the write that completed it.
    Result<std::vector<WriteRecord>> records() const;
    // The records `selection` picks, newest first, each partial one with the write that
    // completed it; the database does the picking.
    Result<std::vector<WriteRecord>> history(const HistorySelection& selection) const;
    // Every record of the boards that were in the slot at `pci_address`, of any kind, newest
    // first, each partial one with the write that completed it: what a write needs of its
    // board's past, without the rest of the journal.
    Result<std::vector<WriteRecord>> slot_records(std::string_view pci_address) const;
    // The newest record of the board of `kind` in the slot at `pci_address`. With
    // `flash_touching`, only a record whose write changed or may have changed the flash counts
    // (all but a write that failed before its first erase reached the chip).
    Result<std::optional<WriteRecord>> last_write(std::string_view pci_address, BoardKind kind,
                                                  bool flash_touching) const;
    // The record `id`; none when there is no such record.
    Result<std::optional<WriteRecord>> record(std::int64_t id) const;
    // The newest record of the board of `kind` in the slot at `pci_address` that kept a backup
    // of what the flash held before its write.
    Result<std::optional<WriteRecord>> last_backup(std::string_view pci_address,
                                                   BoardKind kind) const;
    // The newest record of every board (slot and kind) the journal knows, newest first.
    Result<std::vector<WriteRecord>> last_writes(bool flash_touching) const;

  private:
    Journal(std::filesystem::path file, std::optional<SqliteDatabase> db,
            std::int64_t schema_version);
    // The records `where` picks, newest first; ?1 is bound to `pci_address` and ?2 to `kind`
    // when given.
    Result<std::vector<WriteRecord>> select(std::string_view where,
                                            std::optional<std::string_view> pci_address,
                                            std::optional<BoardKind> kind,
                                            std::optional<unsigned> limit) const;
    // The records `where` picks with its parameters bound to `parameters`, from ?1 on.
    Result<std::vector<WriteRecord>> select_bound(std::string_view where,
                                                  const std::vector<SqlValue>& parameters,
                                                  std::optional<unsigned> limit) const;
    // The partial records among `records` with the later verified write of their board.
    Status mark_completed(std::vector<WriteRecord>& records) const;

    std::filesystem::path file_;
    // None: the journal does not exist yet. Mutable: reading it prepares statements.
    mutable std::optional<SqliteDatabase> db_;
    std::int64_t schema_version_;  // of the database as it is read
};

}  // namespace tarnvel
