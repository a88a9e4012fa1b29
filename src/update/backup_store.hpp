#pragma once
// What a board's flash held over the span a write was about to overwrite, kept in the state
// directory (backups/) before the write's record is committed, so that the firmware that was on
// the board can be written back after an archive upgrade has taken its image away. Each backup
// is one zstd frame of the raw span, written whole or not at all; the journal's record of the
// write names it with the SHA-256 of the span, which is checked again before a byte of it is
// written back.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "device/board_table.hpp"
#include "journal/journal.hpp"

namespace tarnvel {

inline constexpr const char* kBackupDirName = "backups";

// A backup as a record names it.
struct BackupRef {
    std::string file;    // its name in the backups directory
    std::string sha256;  // of the span it holds, uncompressed, in hexadecimal
};

class BackupStore {
  public:
    // The backups directory beside the journal: `state_dir`/backups.
    explicit BackupStore(std::filesystem::path state_dir);

    const std::filesystem::path& directory() const { return directory_; }

    // Keeps `span`, what the flash of the board of `kind` in the slot at `pci_address` holds
    // over the span about to be written: compressed, flushed to disk and named, in a directory
    // only its owner can enter (made when missing). A name is never reused. A directory that
    // is not one, or that someone else owns or may write in, is refused.
    Result<BackupRef> keep(std::string_view pci_address, BoardKind kind,
                           std::span<const std::uint8_t> span);

    // The span a backup holds, checked: the directory as keep checks it, the file a regular
    // file of ours with one name (opened without following a link or waiting on a FIFO), its
    // frame saying `length` bytes, and they with the SHA-256 the record names. Nothing larger
    // than `length` is ever allocated.
    Result<std::vector<std::uint8_t>> read(const BackupRef& backup, std::uint64_t length) const;

    // Removes a backup that no record needs any more; one that is already gone is no error.
    Status remove(const std::string& file) const;

    // The names of the backups in the directory (regular files, not links), oldest first
    // (their names sort by time); none when there is no directory, and an error when it is not
    // one to trust.
    Result<std::vector<std::string>> files() const;

  private:
    std::filesystem::path directory_;
};

// After a verified write of the board in the slot at `pci_address`: keeps the newest `keep` of
// its backups that records name, the backup of its last verified write, and the backup of every
// write of it that never ended or failed part-way with no verified write since (what it held
// before); removes the other backups its records name. A backup no record names is left alone.
// `records` are the journal's (Journal::records, newest first). Only this board's backups are
// touched: boards written at once each prune their own. `also_kept` are kept all the same (the
// backup a rollback would return to).
Status prune_backups(std::span<const WriteRecord> records, const BackupStore& store,
                     std::string_view pci_address, unsigned keep,
                     std::span<const std::string> also_kept = {});

// Removes the backups of the board in the slot at `pci_address` that none of `records` names:
// taken for a write whose record the journal refused, or whose record was forgotten since.
// No record can ever name them. Other boards' backups are left: a board written at the same
// time keeps its backup before its record names it.
Status remove_unnamed_backups(std::span<const WriteRecord> records, const BackupStore& store,
                              std::string_view pci_address);

}  // namespace tarnvel
