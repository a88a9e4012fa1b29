#include "journal/journal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>

#include "journal/journal_place.hpp"
#include "journal/sqlite.hpp"

namespace tarnvel {
namespace {

namespace fs = std::filesystem;

// The columns of the table of writes, in the order of this list everywhere: the table is made,
// written, read and brought up to date from it alone.
enum Column : std::size_t {
    kId,
    kPci,             // the PCI address of the board's slot
    kNode,            // its device node at the time
    kKind,            // the board kind, 1-9
    kModel,           // "QX480"
    kHardware,        // "2.0"
    kFirmwareBefore,  //
    kImageVersion,    // NULL for an image file
    kImageSize,
    kImageSha256,
    kImageArchive,  // the archive and its entry,
    kImageEntry,
    kImageFile,  // or the image file
    kProgram,
    kUser,
    kBootId,
    kStarted,  // RFC 3339, UTC
    kEnded,    // NULL: the write never ended
    kResult,   // 'verified' or 'failed'
    kError,
    kFlashChanged,
    kBlocks,
    kBlocksWritten,
    kRetries,
    kStopped,          // a stop signal ended the run right after the write
    kRebootRequested,  // NULL: no reboot was decided on
    kVersionAfter,     // the board's "version" once rebooted
    kRebootError,
    kBlocksUnchanged,  // blocks found holding the image and left as they were
    kRequestedBy,      // who asked for the run (sudo's user, or the login's)
    kWriterPid,        // the writing process, while it runs: its id
    kWriterStart,      // and its start, in clock ticks after the boot
    kDurationMs,       // from the record's start to its end, on the monotonic clock
    kRetired,          // when the board was forgotten: the slot is no longer missed
    kRetiredBy,        // and by whom
    kBackupFile,       // the backup of what the flash held over the span, in backups/
    kBackupSha256,     // of that span
    kBackupSkipped,    // 1: the operator asked for no backup
    kBackupOf,         // a rollback: the record whose backup was written back
    kSignatureKeyId,   // the key whose verified signature the image had
    kTrustedComment,   // and that signature's trusted comment
    kBackupSize,       // the bytes the backup covers, from the image's start: at least the span
    kBackupHolds,      // what they hold: 'image', 'running', 'unknown' or 'partial'
    kBackupVersion,    // the firmware version they hold, when known
    kBackupImage,      // the SHA-256 of the image they hold whole, when known
    kColumnCount,
};

// When a column is written: by SQLite (the id), with the record, when the write ends, when its
// reboot is decided on, or when its board is forgotten.
enum class Written : std::uint8_t { ById, AtStart, AtEnd, AtReboot, AtRetire };

struct ColumnSpec {
    std::string_view name;
    std::string_view declaration;
    int since;  // the schema version that added it
    Written written;
};

constexpr std::array<ColumnSpec, kColumnCount> kColumns{{
    {"id", "INTEGER PRIMARY KEY", 1, Written::ById},
    {"pci", "TEXT NOT NULL", 1, Written::AtStart},
    {"node", "TEXT NOT NULL", 1, Written::AtStart},
    {"kind", "INTEGER NOT NULL", 1, Written::AtStart},
    {"model", "TEXT NOT NULL", 1, Written::AtStart},
    {"hardware", "TEXT NOT NULL", 1, Written::AtStart},
    {"firmware_before", "INTEGER NOT NULL", 1, Written::AtStart},
    {"image_version", "INTEGER", 1, Written::AtStart},
    {"image_size", "INTEGER NOT NULL", 1, Written::AtStart},
    {"image_sha256", "TEXT NOT NULL", 1, Written::AtStart},
    {"image_archive", "TEXT", 1, Written::AtStart},
    {"image_entry", "TEXT", 1, Written::AtStart},
    {"image_file", "TEXT", 1, Written::AtStart},
    {"program", "TEXT NOT NULL", 1, Written::AtStart},
    {"user", "TEXT NOT NULL", 1, Written::AtStart},
    {"boot_id", "TEXT NOT NULL", 1, Written::AtStart},
    {"started", "TEXT NOT NULL", 1, Written::AtStart},
    {"ended", "TEXT", 1, Written::AtEnd},
    {"result", "TEXT CHECK (result IN ('verified', 'failed'))", 1, Written::AtEnd},
    {"error", "TEXT", 1, Written::AtEnd},
    {"flash_changed", "INTEGER", 1, Written::AtEnd},
    {"blocks", "INTEGER", 1, Written::AtEnd},
    {"blocks_written", "INTEGER", 1, Written::AtEnd},
    {"retries", "INTEGER", 1, Written::AtEnd},
    {"stopped", "INTEGER", 1, Written::AtEnd},
    {"reboot_requested", "INTEGER", 1, Written::AtReboot},
    {"version_after", "TEXT", 1, Written::AtReboot},
    {"reboot_error", "TEXT", 1, Written::AtReboot},
    {"blocks_unchanged", "INTEGER", 2, Written::AtEnd},
    {"requested_by", "TEXT", 3, Written::AtStart},
    {"writer_pid", "INTEGER", 3, Written::AtStart},
    {"writer_start", "INTEGER", 3, Written::AtStart},
    {"duration_ms", "INTEGER", 3, Written::AtEnd},
    {"retired", "TEXT", 3, Written::AtRetire},
    {"retired_by", "TEXT", 3, Written::AtRetire},
    {"backup_file", "TEXT", 4, Written::AtStart},
    {"backup_sha256", "TEXT", 4, Written::AtStart},
    {"backup_skipped", "INTEGER", 4, Written::AtStart},
    {"backup_of", "INTEGER", 4, Written::AtStart},
    {"signature_key_id", "TEXT", 5, Written::AtStart},
    {"signature_comment", "TEXT", 5, Written::AtStart},
    {"backup_size", "INTEGER", 5, Written::AtStart},
    {"backup_holds", "TEXT", 5, Written::AtStart},
    {"backup_version", "INTEGER", 5, Written::AtStart},
    {"backup_image_sha256", "TEXT", 5, Written::AtStart},
}};
static_assert(std::ranges::all_of(kColumns, [](const ColumnSpec& c) {
    return c.since >= 1 && c.since <= kJournalSchemaVersion;
}));

// A record as the table holds it, a value per column.
using Row = std::array<SqlValue, kColumnCount>;

// What each schema version adds beyond its new columns (kMigrationData[v - 1] for version v):
// the table's index at first, and then what older records need of a new column.
constexpr std::array<std::string_view, kJournalSchemaVersion> kMigrationData = {
    "CREATE INDEX writes_by_board ON writes (pci, kind, id);",
    // Every write before version 2 erased and wrote each block it reached.
    "UPDATE writes SET blocks_unchanged = 0 WHERE ended IS NOT NULL;",
    // Nothing: older records know no one who asked, no writer and no measured duration
    // (their times tell it to the second), and none is retired.
    "",
    // Writes before version 4 kept no backup, and none was asked to be skipped.
    "UPDATE writes SET backup_skipped = 0;",
    // Nothing: writes before version 5 name no signature, and a backup kept before it covers
    // its write's span and holds what is not known.
    "",
};

// The statements that take the schema from `version - 1` to `version`.
std::string migration_to(int version) {
    std::string sql;
    if (version == 1) {
        std::string columns;
        for (const ColumnSpec& column : kColumns) {
            if (column.since != 1) continue;
            columns += fmt::format("{}{} {}", columns.empty() ? "" : ", ", column.name,
                                   column.declaration);
        }
        sql = fmt::format("CREATE TABLE writes ({});", columns);
    } else {
        for (const ColumnSpec& column : kColumns) {
            if (column.since == version) {
                sql += fmt::format("ALTER TABLE writes ADD COLUMN {} {};", column.name,
                                   column.declaration);
            }
        }
    }
    return sql + std::string(kMigrationData[static_cast<std::size_t>(version - 1)]);
}

// The columns a SELECT reads, in the table's order, from a database of `schema_version`: a
// column an older schema lacks reads as NULL.
std::string select_list(std::int64_t schema_version) {
    std::string list;
    for (const ColumnSpec& column : kColumns) {
        list += list.empty() ? "" : ", ";
        list += column.since <= schema_version ? std::string(column.name) : "NULL";
    }
    return list;
}

// Records of writes that failed before their first erase reached the chip say nothing about
// what the flash holds.
// (IS, not =: a write that never ended has no result, and counts.)
constexpr const char* kFlashTouching = "NOT (result IS 'failed' AND flash_changed IS 0)";

Error not_open(const fs::path& file) {
    return Error::message(ErrorKind::Other, fmt::format("{}: not open for writing", file.string()));
}

SqlValue text(std::string value) {
    return value;
}
SqlValue optional_text(const std::optional<std::string>& value) {
    return value ? SqlValue(*value) : SqlValue();
}
SqlValue integer(std::int64_t value) {
    return value;
}

Row row_of(const WriteStart& start) {
    Row row;
    row[kPci] = text(start.pci_address);
    row[kNode] = text(start.devnode);
    row[kKind] = integer(start.kind);
    row[kModel] = text(start.model);
    row[kHardware] = text(start.hardware);
    row[kFirmwareBefore] = integer(start.firmware_before);
    row[kImageVersion] = start.image_version ? integer(*start.image_version) : SqlValue();
    row[kImageSize] = integer(start.image_size);
    row[kImageSha256] = text(start.image_sha256);
    row[kImageArchive] = optional_text(start.image_archive);
    row[kImageEntry] = optional_text(start.image_entry);
    row[kImageFile] = optional_text(start.image_file);
    row[kProgram] = text(start.program);
    row[kUser] = text(start.user);
    row[kBootId] = text(start.boot_id);
    row[kStarted] = text(utc_timestamp_now());
    row[kRequestedBy] = optional_text(start.requested_by);
    if (start.writer) {
        row[kWriterPid] = integer(start.writer->pid);
        row[kWriterStart] = integer(static_cast<std::int64_t>(start.writer->start_ticks));
    }
    row[kBackupFile] = optional_text(start.backup_file);
    row[kBackupSha256] = optional_text(start.backup_sha256);
    row[kBackupSkipped] = integer(start.backup_skipped);
    row[kBackupOf] = start.backup_of ? integer(*start.backup_of) : SqlValue();
    row[kSignatureKeyId] = optional_text(start.signature_key_id);
    row[kTrustedComment] = optional_text(start.signature_comment);
    row[kBackupSize] = start.backup_size ? integer(*start.backup_size) : SqlValue();
    row[kBackupHolds] = optional_text(start.backup_holds);
    row[kBackupVersion] = start.backup_version ? integer(*start.backup_version) : SqlValue();
    row[kBackupImage] = optional_text(start.backup_image_sha256);
    return row;
}

Row row_of(const WriteEnd& end) {
    Row row;
    row[kEnded] = text(utc_timestamp_now());
    row[kResult] = text(end.verified ? "verified" : "failed");
    row[kError] = optional_text(end.error);
    row[kFlashChanged] = integer(end.flash_changed);
    row[kBlocks] = integer(end.blocks);
    row[kBlocksWritten] = integer(end.blocks_written);
    row[kBlocksUnchanged] = integer(end.blocks_unchanged);
    row[kRetries] = integer(end.retries);
    row[kStopped] = integer(end.stopped);
    row[kDurationMs] = end.duration_ms ? integer(*end.duration_ms) : SqlValue();
    return row;
}

Row row_of(const RebootNote& reboot) {
    Row row;
    row[kRebootRequested] = integer(reboot.requested);
    row[kVersionAfter] = optional_text(reboot.version_after);
    row[kRebootError] = optional_text(reboot.error);
    return row;
}

bool is_null(const Row& row, Column column) {
    return std::holds_alternative<std::monostate>(row[column]);
}
std::int64_t integer_of(const Row& row, Column column) {
    const auto* value = std::get_if<std::int64_t>(&row[column]);
    return value != nullptr ? *value : 0;
}
std::string text_of(const Row& row, Column column) {
    const auto* value = std::get_if<std::string>(&row[column]);
    return value != nullptr ? *value : std::string();
}
std::optional<std::string> optional_text_of(const Row& row, Column column) {
    if (is_null(row, column)) return std::nullopt;
    return text_of(row, column);
}

WriteRecord record_of(const Row& row) {
    WriteRecord record;
    record.id = integer_of(row, kId);
    WriteStart& start = record.start;
    start.pci_address = text_of(row, kPci);
    start.devnode = text_of(row, kNode);
    start.kind = integer_of(row, kKind);
    start.model = text_of(row, kModel);
    start.hardware = text_of(row, kHardware);
    start.firmware_before = integer_of(row, kFirmwareBefore);
    if (!is_null(row, kImageVersion)) start.image_version = integer_of(row, kImageVersion);
    start.image_size = integer_of(row, kImageSize);
    start.image_sha256 = text_of(row, kImageSha256);
    start.image_archive = optional_text_of(row, kImageArchive);
    start.image_entry = optional_text_of(row, kImageEntry);
    start.image_file = optional_text_of(row, kImageFile);
    start.program = text_of(row, kProgram);
    start.user = text_of(row, kUser);
    start.boot_id = text_of(row, kBootId);
    start.requested_by = optional_text_of(row, kRequestedBy);
    if (!is_null(row, kWriterPid) && !is_null(row, kWriterStart)) {
        start.writer =
            ProcessStamp{.pid = integer_of(row, kWriterPid),
                         .start_ticks = static_cast<std::uint64_t>(integer_of(row, kWriterStart))};
    }
    start.backup_file = optional_text_of(row, kBackupFile);
    start.backup_sha256 = optional_text_of(row, kBackupSha256);
    start.backup_skipped = integer_of(row, kBackupSkipped) != 0;
    if (!is_null(row, kBackupOf)) start.backup_of = integer_of(row, kBackupOf);
    start.signature_key_id = optional_text_of(row, kSignatureKeyId);
    start.signature_comment = optional_text_of(row, kTrustedComment);
    if (!is_null(row, kBackupSize)) start.backup_size = integer_of(row, kBackupSize);
    start.backup_holds = optional_text_of(row, kBackupHolds);
    if (!is_null(row, kBackupVersion)) start.backup_version = integer_of(row, kBackupVersion);
    start.backup_image_sha256 = optional_text_of(row, kBackupImage);
    record.started = text_of(row, kStarted);
    record.ended = optional_text_of(row, kEnded);
    if (record.ended) {
        record.end = WriteEnd{.verified = text_of(row, kResult) == "verified",
                              .error = optional_text_of(row, kError),
                              .flash_changed = integer_of(row, kFlashChanged) != 0,
                              .blocks = integer_of(row, kBlocks),
                              .blocks_written = integer_of(row, kBlocksWritten),
                              .blocks_unchanged = integer_of(row, kBlocksUnchanged),
                              .retries = integer_of(row, kRetries),
                              .stopped = integer_of(row, kStopped) != 0,
                              .duration_ms = is_null(row, kDurationMs)
                                                 ? std::nullopt
                                                 : std::optional(integer_of(row, kDurationMs))};
    }
    if (!is_null(row, kRebootRequested)) {
        record.reboot = RebootNote{.requested = integer_of(row, kRebootRequested) != 0,
                                   .version_after = optional_text_of(row, kVersionAfter),
                                   .error = optional_text_of(row, kRebootError)};
    }
    record.retired = optional_text_of(row, kRetired);
    record.retired_by = optional_text_of(row, kRetiredBy);
    return record;
}

// What the database holds: its schema version, and whether version 0 means empty.
struct SchemaState {
    std::int64_t version = 0;
    bool foreign = false;  // version 0, yet it holds tables of something else
};

// Runs inside a transaction.
Result<SchemaState> read_schema_state(SqliteDatabase& db) {
    // The first read of the file: a file that is not a database fails here.
    auto version = db.query_integer("PRAGMA user_version");
    if (!version) return std::unexpected(version.error());
    if (*version != 0) return SchemaState{*version, false};
    auto objects = db.query_integer("SELECT count(*) FROM sqlite_master");
    if (!objects) return std::unexpected(objects.error());
    return SchemaState{0, *objects != 0};
}

std::string_view declared_type(const ColumnSpec& column) {
    return column.declaration.substr(0, column.declaration.find(' '));
}

// The objects of a journal of `version` are its table, made by this program, and the table's
// index: a trigger could drop or change a record as it is written, a view stand in for the
// table with a query that never ends, a column of its own take a value the program never
// wrote. Runs inside a transaction.
Status check_objects(SqliteDatabase& db, std::int64_t version) {
    const auto foreign = [&](std::string problem) -> Status {
        return std::unexpected(
            db.error(ErrorKind::InvalidData,
                     fmt::format("{}: the journal's schema is not this program's", problem)));
    };
    auto objects = db.prepare("SELECT type, name, sql FROM sqlite_master");
    if (!objects) return std::unexpected(std::move(objects.error()));
    bool table = false;
    for (;;) {
        auto row = objects->step();
        if (!row) return std::unexpected(std::move(row.error()));
        if (!*row) break;
        const auto text = [&](int column) {
            const SqlValue value = objects->column(column);
            const auto* string = std::get_if<std::string>(&value);
            return string != nullptr ? *string : std::string();
        };
        const std::string type = text(0);
        const std::string name = text(1);
        if (type == "table" && name == "writes" && text(2).starts_with("CREATE TABLE ")) {
            table = true;
        } else if (!(type == "index" && name == "writes_by_board")) {
            return foreign(fmt::format("it holds the {} {}", type, name));
        }
    }
    if (!table) return foreign("it holds no table writes");
    auto columns = db.prepare("SELECT name, type, pk, hidden FROM pragma_table_xinfo('writes')");
    if (!columns) return std::unexpected(std::move(columns.error()));
    std::size_t index = 0;
    for (const ColumnSpec& column : kColumns) {
        if (column.since > version) continue;
        auto row = columns->step();
        if (!row) return std::unexpected(std::move(row.error()));
        if (!*row) return foreign(fmt::format("its table writes lacks the column {}", column.name));
        const bool key = columns->column(2) != SqlValue(std::int64_t{0});
        const bool hidden = columns->column(3) != SqlValue(std::int64_t{0});
        if (columns->column(0) != SqlValue(std::string(column.name)) ||
            columns->column(1) != SqlValue(std::string(declared_type(column))) ||
            key != (column.written == Written::ById) || hidden) {
            return foreign(fmt::format("column {} of its table writes is not {} {}", index,
                                       column.name, declared_type(column)));
        }
        ++index;
    }
    if (auto row = columns->step(); !row || *row) {
        if (!row) return std::unexpected(std::move(row.error()));
        return foreign(
            fmt::format("its table writes has more columns than schema version {}", version));
    }
    return {};
}

// Runs inside a transaction.
Status refuse_schema(SqliteDatabase& db, const SchemaState& state) {
    if (state.foreign) {
        return std::unexpected(
            db.error(ErrorKind::InvalidData, "the database holds other data, not a journal"));
    }
    if (state.version > kJournalSchemaVersion) {
        return std::unexpected(db.error(
            ErrorKind::Unsupported,
            fmt::format("the journal's schema version {} is newer than this program's ({})",
                        state.version, kJournalSchemaVersion)));
    }
    if (state.version < 0) {
        return std::unexpected(
            db.error(ErrorKind::InvalidData,
                     fmt::format("the journal's schema version {} is none that this program writes",
                                 state.version)));
    }
    if (state.version == 0) return {};
    return check_objects(db, state.version);
}

// Creates the schema in an empty database or brings an older one up to date, all in one
// transaction that holds the write lock from its start, so that two programs starting at once
// can't both create it.
Status bring_up_to_date(SqliteDatabase& db) {
    if (auto begun = db.exec("BEGIN IMMEDIATE"); !begun) return begun;
    const auto rollback = [&](Error error) -> Status {
        (void)db.exec("ROLLBACK");
        return std::unexpected(std::move(error));
    };
    auto state = read_schema_state(db);
    if (!state) return rollback(std::move(state.error()));
    if (auto refused = refuse_schema(db, *state); !refused) {
        return rollback(std::move(refused.error()));
    }
    if (state->version == kJournalSchemaVersion) return db.exec("COMMIT");
    for (auto version = state->version + 1; version <= kJournalSchemaVersion; ++version) {
        if (auto migrated = db.exec(migration_to(static_cast<int>(version))); !migrated) {
            return rollback(std::move(migrated.error()));
        }
    }
    if (auto set = db.exec(fmt::format("PRAGMA user_version = {}", kJournalSchemaVersion)); !set) {
        return rollback(std::move(set.error()));
    }
    return db.exec("COMMIT");
}

// Why SQLite could open the file for reading only.
Error read_only_error(const SqliteDatabase& db) {
    const int fd = ::open(db.file().c_str(), O_RDWR | O_CLOEXEC);
    const int errnum = fd < 0 ? errno : 0;
    if (fd >= 0) ::close(fd);
    return db.error(ErrorKind::ReadOnlyFilesystem,
                    errnum != 0 ? fmt::format("can't write it: {}", std::strerror(errnum))
                                : std::string("can't write it"));
}

// Writes the columns of `row` that are `written` at that moment: a new record, or (with `id`)
// an update of the record `id`, which must exist.
Result<std::int64_t> store(SqliteDatabase& db, const Row& row, Written written,
                           std::optional<std::int64_t> id) {
    std::string names;
    std::string values;
    std::vector<Column> bound;
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
        if (kColumns[i].written != written) continue;
        bound.push_back(static_cast<Column>(i));
        const auto n = bound.size();
        names += fmt::format("{}{}", n == 1 ? "" : ", ", kColumns[i].name);
        values += fmt::format("{}{}?{}", n == 1 ? "" : ", ",
                              id ? fmt::format("{} = ", kColumns[i].name) : "", n);
    }
    const std::string sql =
        id ? fmt::format("UPDATE writes SET {} WHERE id = ?{}", values, bound.size() + 1)
           : fmt::format("INSERT INTO writes ({}) VALUES ({})", names, values);
    auto statement = db.prepare(sql);
    if (!statement) return std::unexpected(std::move(statement.error()));
    for (std::size_t n = 0; n < bound.size(); ++n) {
        statement->bind(static_cast<int>(n + 1), row[bound[n]]);
    }
    if (id) statement->bind(static_cast<int>(bound.size() + 1), *id);
    // One statement is one transaction: committed and synced when it is done.
    if (auto done = statement->step(); !done) return std::unexpected(std::move(done.error()));
    if (db.changes() != 1) {
        return std::unexpected(
            db.error(ErrorKind::NotFound, id ? fmt::format("it holds no record {}", *id)
                                             : std::string("the record was not added")));
    }
    return id ? *id : db.last_insert_id();
}

}  // namespace

std::string utc_timestamp_now() {
    return utc_timestamp(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));
}

std::string utc_timestamp(std::int64_t unix_seconds) {
    const auto when = static_cast<std::time_t>(unix_seconds);
    std::tm utc{};
    ::gmtime_r(&when, &utc);
    std::array<char, 32> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text.data(), length);
}

std::optional<std::int64_t> unix_seconds_of(std::string_view timestamp) {
    const std::string text(timestamp);
    std::tm utc{};
    const char* end = ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    if (end == nullptr || *end != '\0') return std::nullopt;
    return static_cast<std::int64_t>(::timegm(&utc));
}

std::optional<BoardKind> WriteStart::board_kind() const {
    if (kind < 0 || kind >= kBoardKindCount) return std::nullopt;
    return static_cast<BoardKind>(kind);
}

Journal::Journal(std::filesystem::path file, std::optional<SqliteDatabase> db,
                 std::int64_t schema_version)
    : file_(std::move(file)), db_(std::move(db)), schema_version_(schema_version) {}
Journal::Journal(Journal&&) noexcept = default;
Journal& Journal::operator=(Journal&&) noexcept = default;
Journal::~Journal() = default;

Result<Journal> Journal::open_for_writing(const std::filesystem::path& file) {
    if (auto place = prepare_journal_place(file, JournalUse::Writing); !place) {
        return std::unexpected(std::move(place.error()));
    }
    auto db = SqliteDatabase::open(file, SqliteDatabase::Mode::ReadWriteOrCreate);
    if (!db) return std::unexpected(std::move(db.error()));
    // SQLite falls back to reading when the file can't be written (a read-only file system,
    // a file mode that refuses us).
    if (db->read_only()) return std::unexpected(read_only_error(*db));
    if (auto ready = bring_up_to_date(*db); !ready) {
        return std::unexpected(std::move(ready.error()));
    }
    return Journal(file, std::move(*db), kJournalSchemaVersion);
}

Result<Journal> Journal::open_for_reading(const std::filesystem::path& file) {
    auto place = prepare_journal_place(file, JournalUse::Reading);
    if (!place) return std::unexpected(std::move(place.error()));
    // No journal yet: nothing has been written on this machine.
    if (*place == JournalPresence::Absent)
        return Journal(file, std::nullopt, kJournalSchemaVersion);
    // Read-write where the file allows it, so that SQLite can roll back what a killed writer
    // left half done; nothing is created, and an older schema is left to the next writer.
    auto db = SqliteDatabase::open(file, SqliteDatabase::Mode::ReadWrite);
    if (!db) return std::unexpected(std::move(db.error()));
    if (auto begun = db->exec("BEGIN"); !begun) return std::unexpected(begun.error());
    auto state = read_schema_state(*db);
    Status refused = state ? refuse_schema(*db, *state) : Status();
    (void)db->exec("COMMIT");
    if (!state) return std::unexpected(std::move(state.error()));
    if (!refused) return std::unexpected(std::move(refused.error()));
    // An empty database: no record yet.
    if (state->version == 0) return Journal(file, std::nullopt, kJournalSchemaVersion);
    return Journal(file, std::move(*db), state->version);
}

Result<std::int64_t> Journal::start_write(const WriteStart& start) {
    if (!db_) return std::unexpected(not_open(file_));
    return store(*db_, row_of(start), Written::AtStart, std::nullopt);
}

Status Journal::end_write(std::int64_t id, const WriteEnd& end) {
    if (!db_) return std::unexpected(not_open(file_));
    if (auto stored = store(*db_, row_of(end), Written::AtEnd, id); !stored) {
        return std::unexpected(std::move(stored.error()));
    }
    return {};
}

Status Journal::note_reboot(std::int64_t id, const RebootNote& reboot) {
    if (!db_) return std::unexpected(not_open(file_));
    if (auto stored = store(*db_, row_of(reboot), Written::AtReboot, id); !stored) {
        return std::unexpected(std::move(stored.error()));
    }
    return {};
}

Result<std::vector<WriteRecord>> Journal::select(std::string_view where,
                                                 std::optional<std::string_view> pci_address,
                                                 std::optional<BoardKind> kind,
                                                 std::optional<unsigned> limit) const {
    std::vector<SqlValue> parameters;
    if (pci_address || kind) parameters.resize(2);
    if (pci_address) parameters[0] = std::string(*pci_address);
    if (kind) parameters[1] = std::int64_t{static_cast<std::uint8_t>(*kind)};
    return select_bound(where, parameters, limit);
}

Result<std::vector<WriteRecord>> Journal::select_bound(std::string_view where,
                                                       const std::vector<SqlValue>& parameters,
                                                       std::optional<unsigned> limit) const {
    std::vector<WriteRecord> records;
    if (!db_) return records;
    auto query = db_->prepare(fmt::format("SELECT {} FROM writes w {} ORDER BY id DESC{}",
                                          select_list(schema_version_), where,
                                          limit ? fmt::format(" LIMIT {}", *limit) : ""));
    if (!query) return std::unexpected(std::move(query.error()));
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (!std::holds_alternative<std::monostate>(parameters[i])) {
            query->bind(static_cast<int>(i) + 1, parameters[i]);
        }
    }
    while (true) {
        auto step = query->step();
        if (!step) return std::unexpected(std::move(step.error()));
        if (!*step) break;
        Row row;
        for (std::size_t i = 0; i < row.size(); ++i) row[i] = query->column(static_cast<int>(i));
        records.push_back(record_of(row));
    }
    // What each rollback took off the flash: the image of the write it undid.
    for (WriteRecord& record : records) {
        if (!record.start.backup_of) continue;
        auto undone = db_->prepare("SELECT image_version, image_sha256 FROM writes WHERE id = ?1");
        if (!undone) return std::unexpected(std::move(undone.error()));
        undone->bind(1, *record.start.backup_of);
        auto step = undone->step();
        if (!step) return std::unexpected(std::move(step.error()));
        if (!*step) continue;
        const SqlValue version = undone->column(0);
        const SqlValue sha256 = undone->column(1);
        const auto* number = std::get_if<std::int64_t>(&version);
        const auto* digest = std::get_if<std::string>(&sha256);
        record.undone = WriteRecord::Undone{
            .image_version = number != nullptr ? std::optional(*number) : std::nullopt,
            .image_sha256 = digest != nullptr ? *digest : std::string()};
    }
    return records;
}

Result<std::int64_t> Journal::retire(std::string_view pci_address, std::int64_t kind,
                                     const std::optional<std::string>& by) {
    if (!db_) return std::unexpected(not_open(file_));
    Row row;
    row[kRetired] = text(utc_timestamp_now());
    row[kRetiredBy] = optional_text(by);
    auto statement = db_->prepare(
        "UPDATE writes SET retired = ?1, retired_by = ?2 "
        "WHERE pci = ?3 AND kind = ?4 AND retired IS NULL");
    if (!statement) return std::unexpected(std::move(statement.error()));
    statement->bind(1, row[kRetired]);
    statement->bind(2, row[kRetiredBy]);
    statement->bind(3, std::string(pci_address));
    statement->bind(4, kind);
    // One statement is one transaction: every record of the board, or none.
    if (auto done = statement->step(); !done) return std::unexpected(std::move(done.error()));
    return db_->changes();
}

Result<std::vector<WriteRecord>> Journal::records() const {
    auto records = select("", std::nullopt, std::nullopt, std::nullopt);
    if (!records) return records;
    // From the oldest on: each board's partial images wait for its next verified write.
    std::map<std::pair<std::string, std::int64_t>, std::vector<WriteRecord*>> waiting;
    for (auto record = records->rbegin(); record != records->rend(); ++record) {
        auto& partial = waiting[{record->start.pci_address, record->start.kind}];
        if (record->end && record->end->verified) {
            for (WriteRecord* completed : partial) completed->completed_by = record->id;
            partial.clear();
        } else if (record->interrupted() || record->failed_partway()) {
            partial.push_back(&*record);
        }
    }
    return records;
}

Result<std::vector<WriteRecord>> Journal::history(const HistorySelection& selection) const {
    std::vector<std::string> conditions;
    std::vector<SqlValue> parameters(4);
    if (selection.slot) {
        parameters[0] = selection.slot->first;
        parameters[1] = std::int64_t{static_cast<std::uint8_t>(selection.slot->second)};
        conditions.emplace_back("(pci = ?1 AND kind = ?2)");
    }
    if (selection.devnode) {
        parameters[2] = *selection.devnode;
        conditions.emplace_back("node = ?3");
    }
    std::string where;
    if (!conditions.empty()) where = fmt::format("WHERE ({})", fmt::join(conditions, " OR "));
    if (selection.since) {
        // A start that is not a time (a hand-edited record) is never "since" anything.
        parameters[3] = *selection.since;
        where += fmt::format("{} CAST(strftime('%s', started) AS INTEGER) >= ?4",
                             where.empty() ? "WHERE" : " AND");
    }
    auto records = select_bound(where, parameters, selection.limit);
    if (!records) return records;
    if (auto marked = mark_completed(*records); !marked) {
        return std::unexpected(std::move(marked.error()));
    }
    return records;
}

Result<std::vector<WriteRecord>> Journal::slot_records(std::string_view pci_address) const {
    auto records = select("WHERE pci = ?1", pci_address, std::nullopt, std::nullopt);
    if (!records) return records;
    if (auto marked = mark_completed(*records); !marked) {
        return std::unexpected(std::move(marked.error()));
    }
    return records;
}

Status Journal::mark_completed(std::vector<WriteRecord>& records) const {
    for (WriteRecord& record : records) {
        if (!record.interrupted() && !record.failed_partway()) continue;
        auto query = db_->prepare(
            "SELECT min(id) FROM writes WHERE pci = ?1 AND kind = ?2 AND id > ?3 AND "
            "result IS 'verified'");
        if (!query) return std::unexpected(std::move(query.error()));
        query->bind(1, record.start.pci_address);
        query->bind(2, record.start.kind);
        query->bind(3, record.id);
        auto step = query->step();
        if (!step) return std::unexpected(std::move(step.error()));
        if (!*step) continue;
        const SqlValue completed_by = query->column(0);
        if (const auto* id = std::get_if<std::int64_t>(&completed_by)) record.completed_by = *id;
    }
    return {};
}

std::optional<std::int64_t> WriteRecord::duration_ms() const {
    if (!end) return std::nullopt;
    if (end->duration_ms) return end->duration_ms;
    const auto from = unix_seconds_of(started);
    const auto to = ended ? unix_seconds_of(*ended) : std::nullopt;
    if (!from || !to || *to < *from) return std::nullopt;
    return (*to - *from) * 1000;
}

Result<std::optional<WriteRecord>> Journal::last_write(std::string_view pci_address, BoardKind kind,
                                                       bool flash_touching) const {
    auto found =
        select(fmt::format("WHERE pci = ?1 AND kind = ?2{}{}", flash_touching ? " AND " : "",
                           flash_touching ? kFlashTouching : ""),
               pci_address, kind, 1);
    if (!found) return std::unexpected(std::move(found.error()));
    if (found->empty()) return std::optional<WriteRecord>();
    return std::optional<WriteRecord>(std::move(found->front()));
}

Result<std::optional<WriteRecord>> Journal::record(std::int64_t id) const {
    auto found = select(fmt::format("WHERE id = {}", id), std::nullopt, std::nullopt, 1);
    if (!found) return std::unexpected(std::move(found.error()));
    if (found->empty()) return std::optional<WriteRecord>();
    return std::optional<WriteRecord>(std::move(found->front()));
}

Result<std::optional<WriteRecord>> Journal::last_backup(std::string_view pci_address,
                                                        BoardKind kind) const {
    // A journal of an older schema has no backups.
    if (schema_version_ < kColumns[kBackupFile].since) return std::optional<WriteRecord>();
    auto found =
        select("WHERE pci = ?1 AND kind = ?2 AND backup_file IS NOT NULL", pci_address, kind, 1);
    if (!found) return std::unexpected(std::move(found.error()));
    if (found->empty()) return std::optional<WriteRecord>();
    return std::optional<WriteRecord>(std::move(found->front()));
}

Result<std::vector<WriteRecord>> Journal::last_writes(bool flash_touching) const {
    // Inside the subquery the unqualified columns are those of `o`.
    return select(fmt::format("WHERE id = (SELECT max(id) FROM writes o WHERE o.pci = w.pci AND "
                              "o.kind = w.kind{}{})",
                              flash_touching ? " AND " : "", flash_touching ? kFlashTouching : ""),
                  std::nullopt, std::nullopt, std::nullopt);
}

}  // namespace tarnvel
