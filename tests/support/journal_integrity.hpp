#pragma once
// What SQLite says of a journal that a killed or cut-off program left behind.

#include <sqlite3.h>

#include <filesystem>
#include <string>

namespace tarnvel::testing {

// What PRAGMA integrity_check says of the database, or SQLite's error. Opened read-write, as
// the next program opens it: a transaction that a killed writer left half done is rolled back
// first, which is part of what is checked.
inline std::string integrity_check(const std::filesystem::path& file) {
    sqlite3* db = nullptr;
    std::string verdict;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        const int result = sqlite3_exec(
            db, "PRAGMA integrity_check",
            [](void* out, int, char** values, char**) {
                *static_cast<std::string*>(out) += values[0] != nullptr ? values[0] : "";
                return 0;
            },
            &verdict, nullptr);
        if (result != SQLITE_OK) verdict = sqlite3_errmsg(db);
    } else {
        verdict = db != nullptr ? sqlite3_errmsg(db) : "can't open";
    }
    sqlite3_close(db);
    return verdict;
}

}  // namespace tarnvel::testing
