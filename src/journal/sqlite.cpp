#include "journal/sqlite.hpp"

#include <sqlite3.h>

#include <fmt/format.h>

#include <array>
#include <cstring>
#include <utility>

namespace tarnvel {
namespace {

// How long a program waits for another one's transaction to end: a record is a row, written
// and synced in milliseconds, so this is only reached when something holds the file locked.
constexpr int kBusyTimeoutMs = 10000;
// How often a running statement looks at its clock, in SQLite's virtual machine instructions: a
// few microseconds of work.
constexpr int kInstructionsPerClockLook = 1000;

// What the handle is told to refuse whatever the file holds.
struct Setting {
    int option;
    int value;
    std::string_view what;  // the refusal when this SQLite does not take it
};
constexpr std::array<Setting, 4> kSettings{{
    {SQLITE_DBCONFIG_DEFENSIVE, 1, "its defensive mode"},
    {SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, "untrusted schemas"},
    {SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, "turning triggers off"},
    {SQLITE_DBCONFIG_ENABLE_VIEW, 0, "turning views off"},
}};

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

Error file_error(const std::filesystem::path& file, ErrorKind kind, std::string_view problem) {
    return Error::message(kind, fmt::format("{}: {}", file.string(), problem));
}

Error sqlite_error(const std::filesystem::path& file, sqlite3* db) {
    const int code = sqlite3_extended_errcode(db);
    std::string problem = sqlite3_errmsg(db);
    const int primary = code & 0xFF;
    const int system = sqlite3_system_errno(db);
    if ((primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR || primary == SQLITE_FULL) &&
        system != 0) {
        problem += fmt::format(" ({})", std::strerror(system));
    }
    return file_error(file, kind_of_sqlite(code), problem);
}

}  // namespace

int SqliteDatabase::look_at_clock(void* clock_address) {
    auto& clock = *static_cast<Clock*>(clock_address);
    if (std::chrono::steady_clock::now() < clock.deadline) return 0;
    clock.expired = true;
    return 1;
}

void SqliteDatabase::Close::operator()(sqlite3* db) const {
    sqlite3_close_v2(db);
}

SqliteDatabase::SqliteDatabase(std::filesystem::path file, sqlite3* db,
                               std::chrono::milliseconds time_limit)
    : file_(std::move(file)),
      clock_(std::make_unique<Clock>(Clock{.limit = time_limit, .deadline = {}, .expired = false})),
      db_(db) {}
SqliteDatabase::SqliteDatabase(SqliteDatabase&&) noexcept = default;
SqliteDatabase& SqliteDatabase::operator=(SqliteDatabase&&) noexcept = default;
SqliteDatabase::~SqliteDatabase() = default;

Result<SqliteDatabase> SqliteDatabase::open(const std::filesystem::path& file, Mode mode,
                                            std::chrono::milliseconds time_limit) {
    const int flags = mode == Mode::ReadWriteOrCreate ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                                      : SQLITE_OPEN_READWRITE;
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(file.c_str(), &handle, flags, nullptr) != SQLITE_OK) {
        Error error = handle != nullptr ? sqlite_error(file, handle)
                                        : file_error(file, ErrorKind::OutOfMemory, "out of memory");
        sqlite3_close_v2(handle);
        return std::unexpected(std::move(error));
    }
    SqliteDatabase db(file, handle, time_limit);
    sqlite3_extended_result_codes(handle, 1);
    sqlite3_busy_timeout(handle, kBusyTimeoutMs);
    for (const Setting& setting : kSettings) {
        int now = -1;
        if (sqlite3_db_config(handle, setting.option, setting.value, &now) != SQLITE_OK ||
            now != setting.value) {
            return std::unexpected(db.error(
                ErrorKind::Unsupported,
                fmt::format("this SQLite ({}) lacks {}", sqlite3_libversion(), setting.what)));
        }
    }
    sqlite3_progress_handler(handle, kInstructionsPerClockLook, look_at_clock, db.clock_.get());
    // FULL is SQLite's default in rollback-journal mode; said here so that no build's other
    // default weakens it.
    if (auto synced = db.exec("PRAGMA synchronous = FULL"); !synced) {
        return std::unexpected(std::move(synced.error()));
    }
    // A file switched to a write-ahead log is switched back: with one, even a reader needs to
    // write beside the database, and a reader who can't is refused.
    if (!db.read_only()) {
        auto journal_mode = db.query_value("PRAGMA journal_mode = DELETE");
        if (!journal_mode) return std::unexpected(std::move(journal_mode.error()));
        const auto* mode_name = std::get_if<std::string>(&*journal_mode);
        if (mode_name == nullptr || *mode_name != "delete") {
            return std::unexpected(db.error(
                ErrorKind::ResourceBusy,
                fmt::format("its journal mode {} can't be set back to the rollback journal now",
                            mode_name != nullptr ? *mode_name : std::string("(none)"))));
        }
    }
    return db;
}

void SqliteDatabase::start_clock() const {
    clock_->deadline = std::chrono::steady_clock::now() + clock_->limit;
    clock_->expired = false;
}

Error SqliteDatabase::statement_error() const {
    if (clock_->expired) {
        return error(ErrorKind::TimedOut,
                     fmt::format("a statement ran longer than {} ms and was given up",
                                 clock_->limit.count()));
    }
    return last_error();
}

bool SqliteDatabase::read_only() const {
    return sqlite3_db_readonly(db_.get(), "main") == 1;
}

Status SqliteDatabase::exec(std::string_view sql) {
    const std::string text(sql);
    start_clock();
    if (sqlite3_exec(db_.get(), text.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        return std::unexpected(statement_error());
    }
    return {};
}

Result<SqlValue> SqliteDatabase::query_value(std::string_view sql) {
    auto statement = prepare(sql);
    if (!statement) return std::unexpected(std::move(statement.error()));
    auto row = statement->step();
    if (!row) return std::unexpected(std::move(row.error()));
    return *row ? statement->column(0) : SqlValue();
}

Result<std::int64_t> SqliteDatabase::query_integer(std::string_view sql) {
    auto value = query_value(sql);
    if (!value) return std::unexpected(std::move(value.error()));
    if (const auto* number = std::get_if<std::int64_t>(&*value)) return *number;
    return std::unexpected(error(ErrorKind::InvalidData, fmt::format("{} gave no number", sql)));
}

Result<SqliteStatement> SqliteDatabase::prepare(std::string_view sql) {
    sqlite3_stmt* statement = nullptr;
    start_clock();
    if (sqlite3_prepare_v2(db_.get(), sql.data(), static_cast<int>(sql.size()), &statement,
                           nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return std::unexpected(statement_error());
    }
    return SqliteStatement(*this, statement);
}

std::int64_t SqliteDatabase::changes() const {
    return sqlite3_changes64(db_.get());
}

std::int64_t SqliteDatabase::last_insert_id() const {
    return sqlite3_last_insert_rowid(db_.get());
}

Error SqliteDatabase::last_error() const {
    return sqlite_error(file_, db_.get());
}

Error SqliteDatabase::error(ErrorKind kind, std::string_view problem) const {
    return file_error(file_, kind, problem);
}

SqliteStatement::SqliteStatement(const SqliteDatabase& db, sqlite3_stmt* statement)
    : db_(&db), statement_(statement) {}

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept
    : db_(other.db_), statement_(std::exchange(other.statement_, nullptr)) {}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept {
    std::swap(db_, other.db_);
    std::swap(statement_, other.statement_);
    return *this;
}

SqliteStatement::~SqliteStatement() {
    sqlite3_finalize(statement_);
}

void SqliteStatement::bind(int index, const SqlValue& value) {
    if (const auto* number = std::get_if<std::int64_t>(&value)) {
        sqlite3_bind_int64(statement_, index, *number);
    } else if (const auto* text = std::get_if<std::string>(&value)) {
        sqlite3_bind_text(statement_, index, text->data(), static_cast<int>(text->size()),
                          SQLITE_TRANSIENT);
    } else {
        sqlite3_bind_null(statement_, index);
    }
}

Result<bool> SqliteStatement::step() {
    switch (sqlite3_step(statement_)) {
        case SQLITE_ROW: return true;
        case SQLITE_DONE: return false;
        default: return std::unexpected(db_->statement_error());
    }
}

SqlValue SqliteStatement::column(int index) const {
    switch (sqlite3_column_type(statement_, index)) {
        case SQLITE_NULL: return SqlValue();
        // A real number reads as the integer SQLite makes of it, as the schema's columns are
        // integers or texts.
        case SQLITE_INTEGER:
        case SQLITE_FLOAT: return sqlite3_column_int64(statement_, index);
        default: {
            const auto* bytes = sqlite3_column_text(statement_, index);
            const int length = sqlite3_column_bytes(statement_, index);
            return bytes != nullptr ? std::string(reinterpret_cast<const char*>(bytes),
                                                  static_cast<std::size_t>(length))
                                    : std::string();
        }
    }
}

}  // namespace tarnvel
