#pragma once
// A journal as someone other than the programs handles it: SQL run on it by another program,
// and what a directory holds, to show that a run refusing it changed nothing; and a write's
// start, to fill it with.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>

#include "sim/support/file_text.hpp"
#include "journal/journal.hpp"

namespace tarnvel::testing {

// The start of a write as the programs record it, of a board of `kind` in the slot `pci`.
inline WriteStart a_write(std::string pci = "0000:03:00.0", BoardKind kind = BoardKind::Qx480Spi) {
    return WriteStart{.pci_address = std::move(pci),
                      .devnode = "/dev/tarnvel0",
                      .kind = static_cast<std::int64_t>(kind),
                      .model = "QX480",
                      .hardware = "2.0",
                      .firmware_before = 40,
                      .image_version = 41,
                      .image_size = 2048,
                      .image_sha256 = std::string(64, 'a'),
                      .image_archive = "/lib/firmware/tarnvel/qx480v2_0.zip",
                      .image_entry = "qx480_1_41.bin",
                      .image_file = std::nullopt,
                      .program = "tarnvel-fw",
                      .user = "root",
                      .boot_id = "b0070000-0000-0000-0000-000000000000",
                      .requested_by = "alice",
                      .writer = ProcessStamp{.pid = 4321, .start_ticks = 123456}};
}

// Runs `sql` on the database, with SQLite's own defaults, outside the journal's code.
inline void run_sql(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db) << "\n"
        << sql;
    sqlite3_close(db);
}

// Every name under `dir` (links not followed) with what it is, whose it is and what it holds,
// and what the files that links name hold.
inline std::map<std::string, std::string> snapshot(const std::filesystem::path& dir) {
    std::map<std::string, std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        const std::filesystem::path& path = entry.path();
        struct stat info {};
        ::lstat(path.c_str(), &info);
        std::string what = fmt::format("mode {:o} uid {} links {} size {}", info.st_mode,
                                       info.st_uid, info.st_nlink, info.st_size);
        if (S_ISLNK(info.st_mode)) {
            const auto target = std::filesystem::read_symlink(path);
            what += " -> " + target.string();
            if (std::filesystem::is_regular_file(target)) {
                what += " " + sim::read_whole_file(target).value_or("?");
            }
        }
        if (S_ISREG(info.st_mode)) what += " " + sim::read_whole_file(path).value_or("?");
        found[path.string()] = what;
    }
    return found;
}

}  // namespace tarnvel::testing
