#pragma once
// A thin layer over SQLite's C interface: a database handle that names its file in every error,
// and prepared statements that bind and read plain values. What the journal's records are is
// none of its business.
//
// The file may have been made or changed by someone else, so the handle trusts nothing the
// file says about how to run: no trigger fires and no view is read (the file's own schema
// can't make a statement do more than it says), SQLite's defensive mode keeps the schema
// beyond reach of a statement, functions are not trusted from the schema, every statement
// is given up when it runs longer than a time limit, and a file that can be written keeps
// the rollback journal whatever mode the file asks for.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "base/error.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace tarnvel {

// A column's value as SQLite stores it: NULL, an integer or a text.
using SqlValue = std::variant<std::monostate, std::int64_t, std::string>;

class SqliteStatement;

class SqliteDatabase {
  public:
    enum class Mode : std::uint8_t {
        ReadWrite,          // an existing file, read-write where the file allows it
        ReadWriteOrCreate,  // made when missing
    };

    // How long one statement may run (waits for another program's lock aside): the journal's
    // statements take milliseconds.
    static constexpr std::chrono::milliseconds kStatementTimeLimit{10000};

    // Opens the file with a busy timeout, full syncs and the rollback journal, and the limits
    // above.
    static Result<SqliteDatabase> open(const std::filesystem::path& file, Mode mode,
                                       std::chrono::milliseconds time_limit = kStatementTimeLimit);

    SqliteDatabase(SqliteDatabase&&) noexcept;
    SqliteDatabase& operator=(SqliteDatabase&&) noexcept;
    ~SqliteDatabase();

    const std::filesystem::path& file() const { return file_; }
    // SQLite opened the file for reading only (a read-only file system, a mode that refuses us).
    bool read_only() const;

    Status exec(std::string_view sql);
    // The first column of the first row of `sql` (NULL when it yields no row).
    Result<SqlValue> query_value(std::string_view sql);
    // The same, which must be an integer.
    Result<std::int64_t> query_integer(std::string_view sql);
    Result<SqliteStatement> prepare(std::string_view sql);
    // Rows the last INSERT, UPDATE or DELETE changed, and the id of the last row inserted.
    std::int64_t changes() const;
    std::int64_t last_insert_id() const;

    // SQLite's account of its last failure, with the system's where one lies behind it.
    Error last_error() const;
    // A problem of this file, in the same form: "{file}: {problem}".
    Error error(ErrorKind kind, std::string_view problem) const;

  private:
    friend class SqliteStatement;
    struct Close {
        void operator()(sqlite3* db) const;
    };
    // When the statement that runs now must be given up; where SQLite's progress handler
    // looks, so it stays put when the database is moved.
    struct Clock {
        std::chrono::milliseconds limit;
        std::chrono::steady_clock::time_point deadline;
        bool expired = false;
    };
    SqliteDatabase(std::filesystem::path file, sqlite3* db, std::chrono::milliseconds time_limit);
    // SQLite's progress handler: non-zero gives the running statement up.
    static int look_at_clock(void* clock);
    // Starts the time of a statement: at its preparation, for all its steps.
    void start_clock() const;
    // The failure of a statement just run: the time limit when it was reached.
    Error statement_error() const;

    std::filesystem::path file_;
    std::unique_ptr<Clock> clock_;
    std::unique_ptr<sqlite3, Close> db_;
};

class SqliteStatement {
  public:
    SqliteStatement(SqliteStatement&&) noexcept;
    SqliteStatement& operator=(SqliteStatement&&) noexcept;
    ~SqliteStatement();

    // Parameters are counted from 1.
    void bind(int index, const SqlValue& value);
    // Steps once: true when it yields a row, false when it is done; a failure otherwise.
    Result<bool> step();
    // Columns are counted from 0.
    SqlValue column(int index) const;

  private:
    friend class SqliteDatabase;
    SqliteStatement(const SqliteDatabase& db, sqlite3_stmt* statement);

    const SqliteDatabase* db_;
    sqlite3_stmt* statement_;
};

}  // namespace tarnvel
