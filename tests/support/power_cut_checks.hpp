#pragma once
// What every power-cut test checks of the journal a cut left, and the figures it reports: cuts
// tried, boards recovered, records lost and databases damaged.

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include <fmt/format.h>

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

struct CutFigures {
    unsigned tried = 0;         // cuts made
    unsigned recovered = 0;     // boards that came back and were completed
    unsigned gone = 0;          // boards without a factory image that could not start what was left
    unsigned records_lost = 0;  // records of writes that started, missing afterwards
    unsigned databases_damaged = 0;  // journals that could not be opened or failed the check

    CutFigures& operator+=(const CutFigures& other) {
        tried += other.tried;
        recovered += other.recovered;
        gone += other.gone;
        records_lost += other.records_lost;
        databases_damaged += other.databases_damaged;
        return *this;
    }
};

// "{what}: 7 cuts tried, 6 boards recovered, 1 gone (no factory image, listed missing), 0
// records lost, 0 databases damaged", the line every power-cut test prints.
inline std::string figures_line(std::string_view what, const CutFigures& f) {
    return fmt::format(
        "{}: {} cuts tried, {} boards recovered, {} gone (no factory image, listed missing), "
        "{} records lost, {} databases damaged\n",
        what, f.tried, f.recovered, f.gone, f.records_lost, f.databases_damaged);
}

}  // namespace tarnvel::testing
