#include "firmware/zip_archive.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <new>

#include "base/trusted_file.hpp"

namespace tarnvel {
namespace {

// Decompressed bytes asked of libzip per read: bounds how much memory a lying declared size
// can make us touch before the data runs out.
constexpr std::uint64_t kReadChunk = 1 << 20;

// DEFLATE cannot expand data by more than about 1032:1, so no honest entry of an archive file
// decompresses to more than this many times the file's size.
constexpr std::uint64_t kMaxDeflateRatio = 1032;

struct FileCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};

Error zip_code_failure(int zip_code) {
    zip_error_t error;
    zip_error_init_with_code(&error, zip_code);
    Error result = zip_failure(error);
    zip_error_fini(&error);
    return result;
}

}  // namespace

Error zip_failure(zip_error_t& error) {
    const int zip_code = zip_error_code_zip(&error);
    const int system_code = zip_error_code_system(&error);
    if (zip_error_system_type(&error) == ZIP_ET_SYS && system_code != 0) {
        return Error::os(system_code);
    }
    return Error::archive({zip_code, system_code, zip_error_strerror(&error)});
}

namespace {

// The archive a source holds, opened for reading: the archive then owns the source. `error`
// is finished either way.
Result<zip_t*> open_source(zip_source_t* source, zip_error_t& error) {
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
    if (archive == nullptr) {
        zip_source_free(source);
        Error failure = zip_failure(error);
        zip_error_fini(&error);
        return std::unexpected(std::move(failure));
    }
    zip_error_fini(&error);
    return archive;
}

}  // namespace

Result<ZipArchive> ZipArchive::open(const std::string& path) {
    // A device is refused before it is opened: opening some devices does something (a
    // watchdog starts counting, a tape rewinds). A directory, a FIFO or a device would open
    // fine read-only; say what it is rather than what libzip can't do to it.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (auto regular = check_regular_file(info.st_mode); !regular) {
            return std::unexpected(std::move(regular.error()));
        }
    }
    // Non-blocking, so that a FIFO put in the archive's place meanwhile can't stall the run; it
    // changes nothing for a regular file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::unexpected(Error::os(errno));
    Status regular = ::fstat(fd, &info) == 0 ? check_regular_file(info.st_mode)
                                             : Status(std::unexpected(Error::os(errno)));
    if (!regular) {
        ::close(fd);
        return std::unexpected(std::move(regular.error()));
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        const int errnum = errno;
        ::close(fd);
        return std::unexpected(Error::os(errnum));
    }

    zip_error_t error;
    zip_error_init(&error);
    // From here on the source owns the file, and once opened the archive owns the source.
    zip_source_t* source = zip_source_filep_create(file, 0, -1, &error);
    if (source == nullptr) {
        std::fclose(file);
        Error failure = zip_failure(error);
        zip_error_fini(&error);
        return std::unexpected(std::move(failure));
    }
    auto archive = open_source(source, error);
    if (!archive) return std::unexpected(std::move(archive.error()));
    return ZipArchive(*archive, static_cast<std::uint64_t>(info.st_size));
}

Result<std::vector<std::uint8_t>> ZipArchive::read_file(const std::string& path) {
    // No archive holds more than the 4 GiB its 32-bit offsets reach.
    return read_whole_file(path, std::numeric_limits<std::uint32_t>::max());
}

Result<ZipArchive> ZipArchive::open_bytes(std::span<const std::uint8_t> bytes) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    if (source == nullptr) {
        Error failure = zip_failure(error);
        zip_error_fini(&error);
        return std::unexpected(std::move(failure));
    }
    auto archive = open_source(source, error);
    if (!archive) return std::unexpected(std::move(archive.error()));
    return ZipArchive(*archive, bytes.size());
}

Error ZipArchive::last_error() const {
    return zip_failure(*zip_get_error(archive_.get()));
}

std::uint64_t ZipArchive::entry_count() const {
    const zip_int64_t count = zip_get_num_entries(archive_.get(), 0);
    return count > 0 ? static_cast<std::uint64_t>(count) : 0;
}

Result<std::string_view> ZipArchive::entry_name(std::uint64_t index) const {
    const char* name = zip_get_name(archive_.get(), index, ZIP_FL_ENC_GUESS);
    if (name == nullptr) return std::unexpected(last_error());
    return std::string_view(name);
}

Result<EntryType> ZipArchive::entry_type(std::uint64_t index) const {
    auto name = entry_name(index);
    if (!name) return std::unexpected(std::move(name.error()));
    if (name->ends_with('/')) return EntryType::Directory;
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive_.get(), index, 0, &opsys, &attributes) != 0) {
        return std::unexpected(last_error());
    }
    // The low byte holds the MS-DOS attributes on archives from MS-DOS and from Unix alike.
    constexpr zip_uint32_t kDosDirectory = 0x10;
    if ((opsys == ZIP_OPSYS_DOS || opsys == ZIP_OPSYS_UNIX) && (attributes & kDosDirectory) != 0) {
        return EntryType::Directory;
    }
    if (opsys != ZIP_OPSYS_UNIX) return EntryType::File;
    // Unix archivers keep st_mode in the high 16 bits; some leave its type bits at 0.
    const mode_t mode = attributes >> 16;
    switch (mode & S_IFMT) {
        case 0:
        case S_IFREG: return EntryType::File;
        case S_IFDIR: return EntryType::Directory;
        case S_IFLNK: return EntryType::SymbolicLink;
        default: return EntryType::Other;
    }
}

Result<std::uint64_t> ZipArchive::declared_size(std::uint64_t index) const {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive_.get(), index, 0, &stat) != 0) {
        return std::unexpected(last_error());
    }
    if ((stat.valid & ZIP_STAT_SIZE) == 0) return std::unexpected(zip_code_failure(ZIP_ER_INCONS));
    return stat.size;
}

Result<std::vector<std::uint8_t>> ZipArchive::read_entry(std::uint64_t index,
                                                         std::uint64_t size) const {
    std::unique_ptr<zip_file_t, FileCloser> file(zip_fopen_index(archive_.get(), index, 0));
    if (!file) return std::unexpected(last_error());

    std::vector<std::uint8_t> data;
    // Room for the whole image at once, so an honest entry is read straight into its final
    // buffer; but never more than the archive file could decompress to, so that an entry lying
    // about its size costs no more memory than the data that really comes out of it.
    const std::uint64_t plausible = file_size_ > (UINT64_MAX - kReadChunk) / kMaxDeflateRatio
                                        ? size
                                        : file_size_ * kMaxDeflateRatio + kReadChunk;
    try {
        data.reserve(std::min(size, plausible));
        while (data.size() < size) {
            const std::uint64_t have = data.size();
            const std::uint64_t want = std::min(kReadChunk, size - have);
            data.resize(have + want);
            const zip_int64_t got = zip_fread(file.get(), data.data() + have, want);
            if (got < 0) return std::unexpected(zip_failure(*zip_file_get_error(file.get())));
            data.resize(have + static_cast<std::uint64_t>(got));
            if (got == 0) break;
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::os(ENOMEM));
    }
    // libzip compares the CRC-32 (and the size) once the data reaches its end, so read on
    // until it does; a byte beyond the declared size means the directory does not describe
    // this entry.
    std::uint8_t beyond = 0;
    const zip_int64_t extra = zip_fread(file.get(), &beyond, 1);
    if (extra < 0) return std::unexpected(zip_failure(*zip_file_get_error(file.get())));
    if (extra > 0 || data.size() != size) return std::unexpected(zip_code_failure(ZIP_ER_INCONS));
    return data;
}

}  // namespace tarnvel
