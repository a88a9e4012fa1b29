#pragma once
// Firmware archives for simulated boards and tests: the ZIP files the updater looks for, named
// per board kind and hardware version, with stored or DEFLATE entries, and damaged ones that
// exercise every check of the archive reader.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "device/board_table.hpp"

namespace tarnvel::sim {

enum class Compression : std::uint8_t { Stored, Deflate };

// Damage done to one entry of a written archive.
enum class EntryDamage : std::uint8_t {
    None,
    BadCrc,                  // the recorded CRC-32 no longer matches the data
    Encrypted,               // AES-256 encrypted with a password the updater does not know
    UnsupportedCompression,  // recorded as imploded, a method the reader can't expand
};

struct FirmwareEntry {
    std::string name;
    std::vector<std::uint8_t> data;
    Compression compression = Compression::Deflate;
    EntryDamage damage = EntryDamage::None;
    // An uncompressed size to record instead of the real one, for archives that lie about it.
    std::optional<std::uint32_t> declared_size = std::nullopt;
    // A Unix file mode to record for the entry, type bits included (S_IFLNK | 0777: a symbolic
    // link whose target path is `data`); 0 records none.
    std::uint32_t unix_mode = 0;
};

// A name the kind's images carry: "{prefix}{build}_{version}.bin", e.g. "qx480_1_42.bin".
std::string firmware_entry_name(BoardKind kind, std::int32_t version, unsigned build = 1);

// `size` bytes of deterministic noise, different per seed: an image that DEFLATE can't shrink
// and whose every block differs from its neighbours.
std::vector<std::uint8_t> firmware_bytes(std::size_t size, std::uint32_t seed = 1);

// Writes a ZIP archive at `path` holding the entries in order, then damages those that ask
// for it.
Status write_zip(const std::string& path, const std::vector<FirmwareEntry>& entries);

// Writes into `dir` the archive that a board of `kind` with hardware version
// hw_major.hw_minor looks for ("qx400v1_1.zip", "qx410v5_0_bp.zip", ...); returns its path.
Result<std::string> write_firmware_archive(const std::string& dir, BoardKind kind,
                                           std::uint8_t hw_major, std::uint8_t hw_minor,
                                           const std::vector<FirmwareEntry>& entries);

// A file at `path` that is no ZIP archive at all.
Status write_not_a_zip(const std::string& path);

// Cuts the file at `path` down to its first `size` bytes, like a download cut short.
Status truncate_file(const std::string& path, std::uint64_t size);

}  // namespace tarnvel::sim
