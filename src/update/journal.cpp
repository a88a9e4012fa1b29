#include "update/journal.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>

namespace tarnvel {
namespace {

namespace fs = std::filesystem;

// How long a program waits for another one's transaction to end: a record is a row, written
// and synced in milliseconds, so this is only reached when something holds the file locked.
constexpr int kBusyTimeoutMs = 10000;

// kMigrations[v] takes the schema from version v to v + 1; version 0 is an empty database.
constexpr std::array<const char*, kJournalSchemaVersion> kMigrations = {
    // 1: one row per write of a board's flash.
    "CREATE TABLE writes ("
    " id INTEGER PRIMARY KEY,"
    " pci TEXT NOT NULL,"       // the PCI address of the board's slot
    " node TEXT NOT NULL,"      // its device node at the time
    " kind INTEGER NOT NULL,"   // the board kind, 1-9
    " model TEXT NOT NULL,"     // "QX480"
    " hardware TEXT NOT NULL,"  // "2.0"
    " firmware_before INTEGER NOT NULL,"
    " image_version INTEGER,"  // NULL for an image file
    " image_size INTEGER NOT NULL,"
    " image_sha256 TEXT NOT NULL,"
    " image_archive TEXT,"  // the archive and its entry,
    " image_entry TEXT,"
    " image_file TEXT,"  // or the image file
    " program TEXT NOT NULL,"
    " user TEXT NOT NULL,"
    " boot_id TEXT NOT NULL,"
    " started TEXT NOT NULL,"  // RFC 3339, UTC
    " ended TEXT,"             // NULL: the write never ended
    " result TEXT CHECK (result IN ('verified', 'failed')),"
    " error TEXT,"
    " flash_changed INTEGER,"
    " blocks INTEGER,"
    " blocks_written INTEGER,"
    " retries INTEGER,"
    " stopped INTEGER,"           // a stop signal ended the run right after the write
    " reboot_requested INTEGER,"  // NULL: no reboot was decided on
    " version_after TEXT,"        // the board's \"version\" once rebooted
    " reboot_error TEXT"
    ");"
    "CREATE INDEX writes_by_board ON writes (pci, kind, id);",
    // 2: writes that leave the blocks already holding the image as they are. Every write
    // before them erased and wrote each block it reached.
    "ALTER TABLE writes ADD COLUMN blocks_unchanged INTEGER;"
    "UPDATE writes SET blocks_unchanged = 0 WHERE ended IS NOT NULL;",
};

// The columns of a record, in the order record_from_row reads them, from a database of
// `schema_version`: a column an older schema lacks reads as 0.
std::string columns(std::int64_t schema_version) {
    return fmt::format(
        "id, pci, node, kind, model, hardware, firmware_before, image_version, image_size, "
        "image_sha256, image_archive, image_entry, image_file, program, user, boot_id, started, "
        "ended, result, error, flash_changed, blocks, blocks_written, retries, stopped, "
        "reboot_requested, version_after, reboot_error, {}",
        schema_version >= 2 ? "blocks_unchanged" : "0");
}

// Records of writes that failed before their first erase reached the chip say nothing about
// what the flash holds.
// (IS, not =: a write that never ended has no result, and counts.)
constexpr const char* kFlashTouching = "NOT (result IS 'failed' AND flash_changed IS 0)";

ErrorKind kind_of_sqlite(int code) {
    switch (code & 0xFF) {
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT: return ErrorKind::InvalidData;
        case SQLITE_READONLY: return ErrorKind::ReadOnlyFilesystem;
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return ErrorKind::ResourceBusy;
        case SQLITE_FULL: return ErrorKind::StorageFull;
        case SQLITE_PERM:
        case SQLITE_AUTH: return ErrorKind::PermissionDenied;
        default: return ErrorKind::Other;
    }
}

Error journal_error(const fs::path& file, ErrorKind kind, std::string_view problem) {
    return Error::message(kind, fmt::format("{}: {}", file.string(), problem));
}

Error not_open(const fs::path& file) {
    return journal_error(file, ErrorKind::Other, "not open for writing");
}

// SQLite's own account of its last failure on `db`, with the system's where one lies behind it.
Error sqlite_error(const fs::path& file, sqlite3* db) {
    const int code = sqlite3_extended_errcode(db);
    std::string problem = sqlite3_errmsg(db);
    const int primary = code & 0xFF;
    const int system = sqlite3_system_errno(db);
    if ((primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR || primary == SQLITE_FULL) &&
        system != 0) {
        problem += fmt::format(" ({})", std::strerror(system));
    }
    return journal_error(file, kind_of_sqlite(code), problem);
}

// A prepared statement, finalized when it goes away.
class Statement {
  public:
    Statement(sqlite3* db, const std::string& sql) {
        if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size() + 1), &statement_,
                               nullptr) != SQLITE_OK) {
            statement_ = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool prepared() const { return statement_ != nullptr; }

    void bind(int index, std::int64_t value) { sqlite3_bind_int64(statement_, index, value); }
    void bind(int index, const std::string& value) {
        sqlite3_bind_text(statement_, index, value.c_str(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
    }
    void bind(int index, std::string_view value) { bind(index, std::string(value)); }
    template <class T>
    void bind(int index, const std::optional<T>& value) {
        if (value) {
            bind(index, *value);
        } else {
            sqlite3_bind_null(statement_, index);
        }
    }

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return sqlite3_step(statement_); }

    bool is_null(int column) const {
        return sqlite3_column_type(statement_, column) == SQLITE_NULL;
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    std::string text(int column) const {
        const auto* bytes = sqlite3_column_text(statement_, column);
        return bytes != nullptr ? std::string(reinterpret_cast<const char*>(bytes)) : std::string();
    }
    std::optional<std::string> optional_text(int column) const {
        if (is_null(column)) return std::nullopt;
        return text(column);
    }

  private:
    sqlite3_stmt* statement_ = nullptr;
};

Status exec(const fs::path& file, sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        return std::unexpected(sqlite_error(file, db));
    }
    return {};
}

Result<std::int64_t> query_integer(const fs::path& file, sqlite3* db, const char* sql) {
    Statement statement(db, sql);
    if (!statement.prepared() || statement.step() != SQLITE_ROW) {
        return std::unexpected(sqlite_error(file, db));
    }
    return statement.integer(0);
}

// What the database holds: its schema version, and whether version 0 means empty.
struct SchemaState {
    std::int64_t version = 0;
    bool foreign = false;  // version 0, yet it holds tables of something else
};

// Runs inside a transaction.
Result<SchemaState> read_schema_state(const fs::path& file, sqlite3* db) {
    // The first read of the file: a file that is not a database fails here.
    auto version = query_integer(file, db, "PRAGMA user_version");
    if (!version) return std::unexpected(version.error());
    if (*version != 0) return SchemaState{*version, false};
    auto objects = query_integer(file, db, "SELECT count(*) FROM sqlite_master");
    if (!objects) return std::unexpected(objects.error());
    return SchemaState{0, *objects != 0};
}

Status refuse_schema(const fs::path& file, const SchemaState& state) {
    if (state.foreign) {
        return std::unexpected(journal_error(file, ErrorKind::InvalidData,
                                             "the database holds other data, not a journal"));
    }
    if (state.version > kJournalSchemaVersion || state.version < 0) {
        return std::unexpected(journal_error(
            file, ErrorKind::Unsupported,
            fmt::format("the journal's schema version {} is newer than this program's ({})",
                        state.version, kJournalSchemaVersion)));
    }
    return {};
}

// Creates the schema in an empty database or brings an older one up to date, all in one
// transaction that holds the write lock from its start, so that two programs starting at once
// can't both create it.
Status bring_up_to_date(const fs::path& file, sqlite3* db) {
    if (auto begun = exec(file, db, "BEGIN IMMEDIATE"); !begun) return begun;
    const auto rollback = [&](Error error) -> Status {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return std::unexpected(std::move(error));
    };
    auto state = read_schema_state(file, db);
    if (!state) return rollback(std::move(state.error()));
    if (auto refused = refuse_schema(file, *state); !refused) {
        return rollback(std::move(refused.error()));
    }
    if (state->version == kJournalSchemaVersion) return exec(file, db, "COMMIT");
    for (auto version = state->version; version < kJournalSchemaVersion; ++version) {
        if (auto migrated = exec(file, db, kMigrations[static_cast<std::size_t>(version)]);
            !migrated) {
            return rollback(std::move(migrated.error()));
        }
    }
    const std::string set_version = fmt::format("PRAGMA user_version = {}", kJournalSchemaVersion);
    if (auto set = exec(file, db, set_version.c_str()); !set)
        return rollback(std::move(set.error()));
    return exec(file, db, "COMMIT");
}

// Makes the directory and every missing one above it, mode 0755 whatever the umask.
Status make_directory(const fs::path& file, const fs::path& directory) {
    std::vector<fs::path> missing;
    for (fs::path dir = directory; !dir.empty(); dir = dir.parent_path()) {
        struct stat info {};
        if (::stat(dir.c_str(), &info) == 0) break;
        if (errno != ENOENT) break;  // the mkdir below says what is wrong
        missing.push_back(dir);
        if (dir == dir.parent_path()) break;
    }
    const auto failure = [&](const fs::path& dir, int errnum) -> Status {
        return std::unexpected(journal_error(
            file, error_kind_for_errno(errnum),
            fmt::format("can't make the directory {}: {}", dir.string(), std::strerror(errnum))));
    };
    for (auto dir = missing.rbegin(); dir != missing.rend(); ++dir) {
        if (::mkdir(dir->c_str(), 0755) != 0) {
            if (errno == EEXIST) continue;
            return failure(*dir, errno);
        }
        ::chmod(dir->c_str(), 0755);
    }
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0) return failure(directory, errno);
    if (!S_ISDIR(info.st_mode)) return failure(directory, ENOTDIR);
    return {};
}

// Why SQLite could open the file for reading only.
Error read_only_error(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    const int errnum = fd < 0 ? errno : 0;
    if (fd >= 0) ::close(fd);
    return journal_error(file, ErrorKind::ReadOnlyFilesystem,
                         errnum != 0 ? fmt::format("can't write it: {}", std::strerror(errnum))
                                     : std::string("can't write it"));
}

WriteRecord record_from_row(const Statement& row) {
    WriteRecord record;
    record.id = row.integer(0);
    WriteStart& start = record.start;
    start.pci_address = row.text(1);
    start.devnode = row.text(2);
    start.kind = static_cast<BoardKind>(row.integer(3));
    start.model = row.text(4);
    start.hardware = row.text(5);
    start.firmware_before = static_cast<std::uint16_t>(row.integer(6));
    if (!row.is_null(7)) start.image_version = static_cast<std::int32_t>(row.integer(7));
    start.image_size = static_cast<std::uint64_t>(row.integer(8));
    start.image_sha256 = row.text(9);
    start.image_archive = row.optional_text(10);
    start.image_entry = row.optional_text(11);
    start.image_file = row.optional_text(12);
    start.program = row.text(13);
    start.user = row.text(14);
    start.boot_id = row.text(15);
    record.started = row.text(16);
    record.ended = row.optional_text(17);
    if (record.ended) {
        record.end = WriteEnd{.verified = row.text(18) == "verified",
                              .error = row.optional_text(19),
                              .flash_changed = row.integer(20) != 0,
                              .blocks = static_cast<std::uint32_t>(row.integer(21)),
                              .blocks_written = static_cast<std::uint32_t>(row.integer(22)),
                              .blocks_unchanged = static_cast<std::uint32_t>(row.integer(28)),
                              .retries = static_cast<unsigned>(row.integer(23)),
                              .stopped = row.integer(24) != 0};
    }
    if (!row.is_null(25)) {
        record.reboot = RebootNote{.requested = row.integer(25) != 0,
                                   .version_after = row.optional_text(26),
                                   .error = row.optional_text(27)};
    }
    return record;
}

}  // namespace

std::string utc_timestamp_now() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    ::gmtime_r(&now, &utc);
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

void Journal::Close::operator()(sqlite3* db) const {
    sqlite3_close_v2(db);
}

Journal::Journal(std::filesystem::path file, sqlite3* db, std::int64_t schema_version)
    : file_(std::move(file)), db_(db), schema_version_(schema_version) {}
Journal::Journal(Journal&&) noexcept = default;
Journal& Journal::operator=(Journal&&) noexcept = default;
Journal::~Journal() = default;

namespace {

// Opens the database file with the busy timeout and full syncs; the handle is closed again on
// failure.
Result<sqlite3*> open_database(const fs::path& file, int flags) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        Error error = db != nullptr ? sqlite_error(file, db)
                                    : journal_error(file, ErrorKind::OutOfMemory, "out of memory");
        sqlite3_close_v2(db);
        return std::unexpected(std::move(error));
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // FULL is SQLite's default in rollback-journal mode; said here so that no build's other
    // default weakens it.
    if (auto synced = exec(file, db, "PRAGMA synchronous = FULL"); !synced) {
        sqlite3_close_v2(db);
        return std::unexpected(std::move(synced.error()));
    }
    return db;
}

}  // namespace

Result<Journal> Journal::open_for_writing(const std::filesystem::path& file) {
    if (auto made = make_directory(file, file.has_parent_path() ? file.parent_path() : ".");
        !made) {
        return std::unexpected(std::move(made.error()));
    }
    auto db = open_database(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (!db) return std::unexpected(std::move(db.error()));
    Journal journal(file, *db, kJournalSchemaVersion);
    // SQLite falls back to reading when the file can't be written (a read-only file system,
    // a file mode that refuses us).
    if (sqlite3_db_readonly(*db, "main") == 1) return std::unexpected(read_only_error(file));
    if (auto ready = bring_up_to_date(file, *db); !ready) {
        return std::unexpected(std::move(ready.error()));
    }
    return journal;
}

Result<Journal> Journal::open_for_reading(const std::filesystem::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        // No journal yet: nothing has been written on this machine.
        if (errno == ENOENT) return Journal(file, nullptr, kJournalSchemaVersion);
        return std::unexpected(
            journal_error(file, error_kind_for_errno(errno), std::strerror(errno)));
    }
    // Read-write where the file allows it, so that SQLite can roll back what a killed writer
    // left half done; nothing is created, and an older schema is left to the next writer.
    auto db = open_database(file, SQLITE_OPEN_READWRITE);
    if (!db) return std::unexpected(std::move(db.error()));
    Journal journal(file, *db, kJournalSchemaVersion);
    if (auto begun = exec(file, *db, "BEGIN"); !begun) return std::unexpected(begun.error());
    auto state = read_schema_state(file, *db);
    sqlite3_exec(*db, "COMMIT", nullptr, nullptr, nullptr);
    if (!state) return std::unexpected(std::move(state.error()));
    if (auto refused = refuse_schema(file, *state); !refused) {
        return std::unexpected(std::move(refused.error()));
    }
    if (state->version == 0) journal.db_.reset();  // an empty database: no record yet
    journal.schema_version_ = state->version;
    return journal;
}

Result<std::int64_t> Journal::start_write(const WriteStart& start) {
    if (!db_) return std::unexpected(not_open(file_));
    Statement insert(db_.get(),
                     "INSERT INTO writes (pci, node, kind, model, hardware, firmware_before, "
                     "image_version, image_size, image_sha256, image_archive, image_entry, "
                     "image_file, program, user, boot_id, started) "
                     "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, "
                     "?16)");
    if (!insert.prepared()) return std::unexpected(sqlite_error(file_, db_.get()));
    insert.bind(1, start.pci_address);
    insert.bind(2, start.devnode);
    insert.bind(3, std::int64_t{static_cast<std::uint8_t>(start.kind)});
    insert.bind(4, start.model);
    insert.bind(5, start.hardware);
    insert.bind(6, std::int64_t{start.firmware_before});
    insert.bind(
        7, start.image_version ? std::optional<std::int64_t>(*start.image_version) : std::nullopt);
    insert.bind(8, static_cast<std::int64_t>(start.image_size));
    insert.bind(9, start.image_sha256);
    insert.bind(10, start.image_archive);
    insert.bind(11, start.image_entry);
    insert.bind(12, start.image_file);
    insert.bind(13, start.program);
    insert.bind(14, start.user);
    insert.bind(15, start.boot_id);
    insert.bind(16, utc_timestamp_now());
    // One statement is one transaction: committed and synced when it is done.
    if (insert.step() != SQLITE_DONE) return std::unexpected(sqlite_error(file_, db_.get()));
    return sqlite3_last_insert_rowid(db_.get());
}

namespace {

// Sets columns of the record `id`: `assignments` names them with the parameters ?1 to ?N that
// `bind` fills; the id is bound after them.
Status update_record(const fs::path& file, sqlite3* db, std::int64_t id,
                     std::string_view assignments, int parameters,
                     const std::function<void(Statement&)>& bind) {
    if (db == nullptr) return std::unexpected(not_open(file));
    Statement update(
        db, fmt::format("UPDATE writes SET {} WHERE id = ?{}", assignments, parameters + 1));
    if (!update.prepared()) return std::unexpected(sqlite_error(file, db));
    bind(update);
    update.bind(parameters + 1, id);
    if (update.step() != SQLITE_DONE) return std::unexpected(sqlite_error(file, db));
    if (sqlite3_changes(db) != 1) {
        return std::unexpected(
            journal_error(file, ErrorKind::NotFound, fmt::format("it holds no record {}", id)));
    }
    return {};
}

}  // namespace

Status Journal::end_write(std::int64_t id, const WriteEnd& end) {
    return update_record(file_, db_.get(), id,
                         "ended = ?1, result = ?2, error = ?3, flash_changed = ?4, blocks = ?5, "
                         "blocks_written = ?6, retries = ?7, stopped = ?8, blocks_unchanged = ?9",
                         9, [&](Statement& update) {
                             update.bind(1, utc_timestamp_now());
                             update.bind(2, std::string_view(end.verified ? "verified" : "failed"));
                             update.bind(3, end.error);
                             update.bind(4, std::int64_t{end.flash_changed});
                             update.bind(5, std::int64_t{end.blocks});
                             update.bind(6, std::int64_t{end.blocks_written});
                             update.bind(7, std::int64_t{end.retries});
                             update.bind(8, std::int64_t{end.stopped});
                             update.bind(9, std::int64_t{end.blocks_unchanged});
                         });
}

Status Journal::note_reboot(std::int64_t id, const RebootNote& reboot) {
    return update_record(file_, db_.get(), id,
                         "reboot_requested = ?1, version_after = ?2, reboot_error = ?3", 3,
                         [&](Statement& update) {
                             update.bind(1, std::int64_t{reboot.requested});
                             update.bind(2, reboot.version_after);
                             update.bind(3, reboot.error);
                         });
}

Result<std::vector<WriteRecord>> Journal::select(std::string_view where,
                                                 std::optional<std::string_view> pci_address,
                                                 std::optional<BoardKind> kind,
                                                 std::optional<unsigned> limit) const {
    std::vector<WriteRecord> records;
    if (!db_) return records;
    Statement query(db_.get(), fmt::format("SELECT {} FROM writes w {} ORDER BY id DESC{}",
                                           columns(schema_version_), where,
                                           limit ? fmt::format(" LIMIT {}", *limit) : ""));
    if (!query.prepared()) return std::unexpected(sqlite_error(file_, db_.get()));
    if (pci_address) query.bind(1, *pci_address);
    if (kind) query.bind(2, std::int64_t{static_cast<std::uint8_t>(*kind)});
    int step = SQLITE_ROW;
    while ((step = query.step()) == SQLITE_ROW) records.push_back(record_from_row(query));
    if (step != SQLITE_DONE) return std::unexpected(sqlite_error(file_, db_.get()));
    return records;
}

Result<std::vector<WriteRecord>> Journal::records() const {
    return select("", std::nullopt, std::nullopt, std::nullopt);
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

Result<std::vector<WriteRecord>> Journal::last_writes(bool flash_touching) const {
    // Inside the subquery the unqualified columns are those of `o`.
    return select(fmt::format("WHERE id = (SELECT max(id) FROM writes o WHERE o.pci = w.pci AND "
                              "o.kind = w.kind{}{})",
                              flash_touching ? " AND " : "", flash_touching ? kFlashTouching : ""),
                  std::nullopt, std::nullopt, std::nullopt);
}

}  // namespace tarnvel
