#include "update/backup_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zstd.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <set>

#include "base/atomic_file.hpp"
#include "base/trusted_file.hpp"
#include "update/sha256.hpp"

namespace tarnvel {
namespace {

namespace fs = std::filesystem;

// zstd's default level: a firmware span compresses at some hundreds of MB/s there, far faster
// than the flash is read, and its erased stretches shrink to nothing.
constexpr int kCompressionLevel = 3;
// What the flash held is no secret, and only the directory's owner may enter it; the umask
// still applies.
constexpr mode_t kBackupMode = 0644;

Error backup_error(const fs::path& path, ErrorKind kind, std::string_view problem) {
    return Error::message(kind, fmt::format("{}: {}", path.string(), problem));
}

Error os_error(const fs::path& path, int errnum) {
    return backup_error(path, error_kind_for_errno(errnum), std::strerror(errnum));
}

// The backups directory as the journal's must be: a real directory (never followed through a
// symbolic link), owned by root or the user running this and writable by no one else. A
// backup found there is written back to a board.
Status check_directory(const fs::path& directory, const struct stat& info) {
    if (!S_ISDIR(info.st_mode)) {
        return std::unexpected(
            backup_error(directory, ErrorKind::AlreadyExists,
                         fmt::format("it is {}, not a directory", mode_type_text(info.st_mode))));
    }
    if (auto problem = directory_problem(directory, info)) {
        return std::unexpected(
            backup_error(directory, ErrorKind::PermissionDenied, "refused: " + *problem));
    }
    return {};
}

// The backups directory checked; none when it is not there.
Result<bool> directory_present(const fs::path& directory) {
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0) {
        if (errno == ENOENT) return false;
        return std::unexpected(os_error(directory, errno));
    }
    if (auto checked = check_directory(directory, info); !checked) {
        return std::unexpected(checked.error());
    }
    return true;
}

// The backups directory as it must be, made so (only its owner may enter) when missing.
Status ready_directory(const fs::path& directory) {
    auto present = directory_present(directory);
    if (!present) return std::unexpected(present.error());
    if (*present) return {};
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        return std::unexpected(os_error(directory, errno));
    }
    present = directory_present(directory);
    if (!present) return std::unexpected(present.error());
    return {};
}

// A name from the journal is a name in the backups directory, nothing else.
Status check_name(const fs::path& directory, const std::string& file) {
    if (file.empty() || file.find('/') != std::string::npos || file == "." || file == "..") {
        return std::unexpected(backup_error(directory, ErrorKind::InvalidData,
                                            fmt::format("\"{}\" is no backup's name", file)));
    }
    return {};
}

// The backup at `path` opened for reading: neither through a symbolic link nor waiting on a
// FIFO, and only a regular file of ours with one name, which no one else can have written.
Result<int> open_backup(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::unexpected(os_error(path, errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int errnum = errno;
        ::close(fd);
        return std::unexpected(os_error(path, errnum));
    }
    if (auto problem = file_problem(path, "it", info, FileNames::One)) {
        ::close(fd);
        return std::unexpected(backup_error(path, ErrorKind::InvalidData, "refused: " + *problem));
    }
    return fd;
}

// The slot named in a backup's name ("TIME_SLOT_kKIND.zst"); empty for a name of another form.
std::string_view slot_of(std::string_view name) {
    const std::size_t first = name.find('_');
    const std::size_t kind = name.rfind("_k");
    if (first == std::string_view::npos || kind == std::string_view::npos || kind <= first ||
        !name.ends_with(".zst")) {
        return {};
    }
    return name.substr(first + 1, kind - first - 1);
}

// "20261208T012233.123456789Z": the time a backup was taken, to the nanosecond, so that names
// sort by age.
std::string timestamp_now() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    std::array<char, 32> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y%m%dT%H%M%S", &utc);
    return fmt::format("{}.{:09}Z", std::string_view(text.data(), length), now.tv_nsec);
}

}  // namespace

BackupStore::BackupStore(fs::path state_dir) : directory_(std::move(state_dir) / kBackupDirName) {}

Result<BackupRef> BackupStore::keep(std::string_view pci_address, BoardKind kind,
                                    std::span<const std::uint8_t> span) {
    if (auto ready = ready_directory(directory_); !ready) return std::unexpected(ready.error());
    std::vector<std::uint8_t> frame(ZSTD_compressBound(span.size()));
    const std::size_t size =
        ZSTD_compress(frame.data(), frame.size(), span.data(), span.size(), kCompressionLevel);
    if (ZSTD_isError(size) != 0) {
        return std::unexpected(backup_error(directory_, ErrorKind::Other, ZSTD_getErrorName(size)));
    }
    frame.resize(size);
    // A name already taken (two backups in the same nanosecond) is never overwritten: the next
    // nanosecond's name is tried instead.
    for (int attempt = 0;; ++attempt) {
        const std::string name =
            fmt::format("{}_{}_k{}.zst", timestamp_now(), pci_address, static_cast<unsigned>(kind));
        const fs::path path = directory_ / name;
        auto file = AtomicFile::create(path, false, kBackupMode);
        if (!file) return std::unexpected(file.error());
        if (auto written = file->write(frame); !written) return std::unexpected(written.error());
        auto committed = file->commit();
        if (committed) return BackupRef{name, sha256_hex(span)};
        const std::int32_t* code = committed.error().os_code();
        if (code == nullptr || *code != EEXIST || attempt == 3) {
            return std::unexpected(committed.error());
        }
    }
}

Result<std::vector<std::uint8_t>> BackupStore::read(const BackupRef& backup,
                                                    std::uint64_t length) const {
    if (auto named = check_name(directory_, backup.file); !named) {
        return std::unexpected(named.error());
    }
    auto present = directory_present(directory_);
    if (!present) return std::unexpected(present.error());
    const fs::path path = directory_ / backup.file;
    if (!*present) return std::unexpected(os_error(path, ENOENT));
    auto fd = open_backup(path);
    if (!fd) return std::unexpected(fd.error());
    struct stat info {};
    std::string frame;
    // A frame of the span is smaller than its bound; anything larger is not one.
    if (::fstat(*fd, &info) == 0 &&
        static_cast<std::uint64_t>(info.st_size) <= ZSTD_compressBound(length)) {
        frame.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        while (done < frame.size()) {
            const ssize_t n = ::read(*fd, frame.data() + done, frame.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        frame.resize(done);
    }
    ::close(*fd);
    const unsigned long long declared = ZSTD_getFrameContentSize(frame.data(), frame.size());
    if (declared != length) {
        return std::unexpected(
            backup_error(path, ErrorKind::InvalidData,
                         fmt::format("it does not hold the {} bytes its record says", length)));
    }
    std::vector<std::uint8_t> span(static_cast<std::size_t>(length));
    const std::size_t size = ZSTD_decompress(span.data(), span.size(), frame.data(), frame.size());
    if (ZSTD_isError(size) != 0 || size != length) {
        // zstd's own words ("Src size is incorrect") tell an operator nothing: a file that
        // ends before its frame does is cut short (a full disk, a copy that stopped), any
        // other is damaged.
        const bool whole_frame =
            ZSTD_isError(ZSTD_findFrameCompressedSize(frame.data(), frame.size())) == 0;
        return std::unexpected(backup_error(
            path, ErrorKind::InvalidData,
            !whole_frame
                ? fmt::format("it is cut short: the file ends before the {} bytes of flash its "
                              "record says it holds",
                              length)
            : ZSTD_isError(size) != 0
                ? std::string("it is damaged: what it holds does not unpack")
                : fmt::format("it is damaged: it unpacks into fewer than the {} bytes its "
                              "record says",
                              length)));
    }
    if (sha256_hex(span) != backup.sha256) {
        return std::unexpected(
            backup_error(path, ErrorKind::InvalidData,
                         fmt::format("its SHA-256 is not the {} its record names", backup.sha256)));
    }
    return span;
}

Status BackupStore::remove(const std::string& file) const {
    if (auto named = check_name(directory_, file); !named) return named;
    const fs::path path = directory_ / file;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return std::unexpected(os_error(path, errno));
    }
    return {};
}

Result<std::vector<std::string>> BackupStore::files() const {
    std::vector<std::string> names;
    auto present = directory_present(directory_);
    if (!present) return std::unexpected(present.error());
    if (!*present) return names;
    std::error_code error;
    for (fs::directory_iterator it(directory_, error), end; !error && it != end;
         it.increment(error)) {
        // Regular files only, never what a link leads to.
        if (it->is_symlink(error) || !it->is_regular_file(error)) continue;
        if (it->path().extension() == ".zst") names.push_back(it->path().filename().string());
    }
    if (error && error != std::errc::no_such_file_or_directory) {
        return std::unexpected(os_error(directory_, error.value()));
    }
    std::ranges::sort(names);
    return names;
}

Status prune_backups(std::span<const WriteRecord> records, const BackupStore& store,
                     std::string_view pci_address, unsigned keep,
                     std::span<const std::string> also_kept) {
    std::set<std::string> kept(also_kept.begin(), also_kept.end());
    std::set<std::string> named;
    bool verified_seen = false;
    unsigned newest = 0;
    // Newest first.
    for (const WriteRecord& record : records) {
        if (record.start.pci_address != pci_address) continue;
        const bool verified = record.end && record.end->verified;
        const bool partial = record.interrupted() || record.failed_partway();
        if (record.start.backup_file) {
            const std::string& file = *record.start.backup_file;
            named.insert(file);
            if (newest < keep || (verified && !verified_seen) || (partial && !verified_seen)) {
                kept.insert(file);
            }
            ++newest;
        }
        verified_seen = verified_seen || verified;
    }
    for (const std::string& file : named) {
        if (kept.contains(file)) continue;
        if (auto removed = store.remove(file); !removed) return removed;
    }
    return {};
}

Status remove_unnamed_backups(std::span<const WriteRecord> records, const BackupStore& store,
                              std::string_view pci_address) {
    std::set<std::string, std::less<>> named;
    for (const WriteRecord& record : records) {
        if (record.start.backup_file) named.insert(*record.start.backup_file);
    }
    auto files = store.files();
    if (!files) return std::unexpected(files.error());
    for (const std::string& file : *files) {
        if (slot_of(file) != pci_address || named.contains(file)) continue;
        if (auto removed = store.remove(file); !removed) return removed;
    }
    return {};
}

}  // namespace tarnvel
