// Writes the seed journals of the journal fuzz target into the directory given as the only
// argument, as the programs write them: an empty journal, one with a write of every ending (and
// a reboot noted), and that one switched to a write-ahead log by someone else.

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "journal/journal.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tarnvel;

WriteStart a_write(std::string pci, BoardKind kind) {
    return WriteStart{.pci_address = std::move(pci),
                      .devnode = "/dev/tarnvel0",
                      .kind = static_cast<std::int64_t>(kind),
                      .model = "QX630",
                      .hardware = "1.0",
                      .firmware_before = 40,
                      .image_version = 41,
                      .image_size = 2048,
                      .image_sha256 = std::string(64, 'a'),
                      .image_archive = "/lib/firmware/tarnvel/qx630v1_0.zip",
                      .image_entry = "qx630_1_41.bin",
                      .program = "tarnvel-fw",
                      .user = "root",
                      .boot_id = "b0"};
}

bool write_records(const fs::path& file) {
    auto journal = Journal::open_for_writing(file);
    if (!journal) return false;
    const auto verified = journal->start_write(a_write("0000:03:00.0", BoardKind::Qx630));
    const auto failed = journal->start_write(a_write("0000:04:00.0", BoardKind::Qx480Spi));
    const auto interrupted = journal->start_write(a_write("0000:05:00.0", BoardKind::Qx410));
    return verified && failed && interrupted &&
           journal->end_write(*verified, WriteEnd{.verified = true,
                                                  .error = std::nullopt,
                                                  .flash_changed = true,
                                                  .blocks = 1,
                                                  .blocks_written = 1,
                                                  .blocks_unchanged = 0,
                                                  .retries = 0,
                                                  .stopped = false}) &&
           journal->note_reboot(
               *verified,
               RebootNote{.requested = true, .version_after = "1.0r41", .error = std::nullopt}) &&
           journal->end_write(*failed, WriteEnd{.verified = false,
                                                .error = "gone",
                                                .flash_changed = true,
                                                .blocks = 2,
                                                .blocks_written = 1,
                                                .blocks_unchanged = 0,
                                                .retries = 1,
                                                .stopped = true});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    // The journal lives only at an absolute path.
    const fs::path dir = fs::absolute(argv[1]);
    const bool made = Journal::open_for_writing(dir / "empty" / kJournalFileName).has_value() &&
                      write_records(dir / "records" / kJournalFileName) &&
                      write_records(dir / "logged" / kJournalFileName);
    sqlite3* db = nullptr;
    const bool logged =
        sqlite3_open((dir / "logged" / kJournalFileName).c_str(), &db) == SQLITE_OK &&
        sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    bool moved = true;
    for (const char* name : {"empty", "records", "logged"}) {
        std::error_code ec;
        fs::rename(dir / name / kJournalFileName, dir / (std::string(name) + ".sqlite"), ec);
        moved = moved && !ec;
        fs::remove_all(dir / name, ec);
    }
    if (!made || !logged || !moved) {
        std::fprintf(stderr, "can't write the seed journals\n");
        return 1;
    }
    return 0;
}
