#pragma once
// A ZIP archive opened read-only through libzip, with every failure turned into an Error.

#include <zip.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"

namespace tarnvel {

// A libzip error as the program's Error: a failed system call behind it (reading or seeking
// the file) as that system error, anything else as the archive reader's error with libzip's
// own message.
Error zip_failure(zip_error_t& error);

// What an entry holds, by its name and the attributes its archiver recorded.
enum class EntryType : std::uint8_t {
    File,  // a regular file, or nothing recorded that says otherwise
    Directory,
    SymbolicLink,  // its content is the path the link points to
    Other,         // a device, a FIFO or a socket
};

class ZipArchive {
  public:
    // Opens the file read-only first, so that a missing or unreadable file reports the system
    // error, then reads the archive's central directory.
    static Result<ZipArchive> open(const std::string& path);
    // The archive file read whole into memory, refused as open refuses it; no more than 4 GiB.
    static Result<std::vector<std::uint8_t>> read_file(const std::string& path);
    // The archive in `bytes` (read_file's), which must outlive it: what is checked of those
    // bytes is what its entries are read from.
    static Result<ZipArchive> open_bytes(std::span<const std::uint8_t> bytes);

    std::uint64_t entry_count() const;
    // The entry's name in UTF-8 (libzip converts names that are not marked as UTF-8); valid
    // until the archive is closed.
    Result<std::string_view> entry_name(std::uint64_t index) const;
    // A name ending in "/" is a directory; so is an entry whose MS-DOS attributes say so.
    // Entries made on Unix carry the file's mode, which tells a symbolic link and the rest.
    Result<EntryType> entry_type(std::uint64_t index) const;
    // The uncompressed size the archive declares for the entry.
    Result<std::uint64_t> declared_size(std::uint64_t index) const;
    // The entry's whole content, decompressed, with its CRC-32 checked. `size` is its declared
    // size: exactly that many bytes must come out.
    Result<std::vector<std::uint8_t>> read_entry(std::uint64_t index, std::uint64_t size) const;

  private:
    struct Discard {
        void operator()(zip_t* archive) const { zip_discard(archive); }
    };
    ZipArchive(zip_t* archive, std::uint64_t file_size)
        : archive_(archive), file_size_(file_size) {}

    Error last_error() const;

    // Closing the archive closes the file it was read from.
    std::unique_ptr<zip_t, Discard> archive_;
    // The archive file's size: bounds what its entries can honestly decompress to.
    std::uint64_t file_size_;
};

}  // namespace tarnvel
