#include "base/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <utility>

namespace tarnvel {
namespace {

std::filesystem::path directory_of(const std::filesystem::path& path) {
    return path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
}

Status flush_directory(const std::filesystem::path& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(Error::os(errno));
    const bool flushed = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!flushed) return std::unexpected(Error::os(error));
    return {};
}

// The status of the regular file a replacing commit puts its file in place of; none when the
// name is free. Anything but a regular file is refused: a rename over a device node, a FIFO or
// a link would put a file where something else belongs.
Result<std::optional<struct stat>> file_to_replace(const std::filesystem::path& path) {
    struct stat old {};
    if (::lstat(path.c_str(), &old) != 0) {
        if (errno == ENOENT) return std::nullopt;
        return std::unexpected(Error::os(errno));
    }
    if (S_ISREG(old.st_mode)) return old;
    std::error_code ignored;
    return std::unexpected(Error::message(
        ErrorKind::AlreadyExists,
        fmt::format("it is {}, and only a regular file is replaced",
                    file_type_text(std::filesystem::symlink_status(path, ignored).type()))));
}

}  // namespace

std::string_view file_type_text(std::filesystem::file_type type) {
    using std::filesystem::file_type;
    switch (type) {
        case file_type::regular: return "a regular file";
        case file_type::directory: return "a directory";
        case file_type::symlink: return "a symbolic link";
        case file_type::character: return "a character device";
        case file_type::block: return "a block device";
        case file_type::fifo: return "a FIFO";
        case file_type::socket: return "a socket";
        default: return "not a regular file";
    }
}

Status write_file_atomically(const std::filesystem::path& path, std::string_view bytes,
                             bool replace) {
    auto file = AtomicFile::create(path, replace);
    if (!file) return std::unexpected(file.error());
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    if (auto written = file->write(std::span(data, bytes.size())); !written) return written;
    return file->commit();
}

Result<AtomicFile> AtomicFile::create(const std::filesystem::path& path, bool replace,
                                      mode_t mode) {
    if (replace) {
        // Refused before anything is made beside it.
        if (auto old = file_to_replace(path); !old) return std::unexpected(old.error());
    }
    const std::filesystem::path directory = directory_of(path);
    // Made with `mode` less the umask, by the kernel: the umask is never read, so that threads
    // making files at once can't see one another's changes to it. A replaced file's own bits
    // are given at the commit.
    const int fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd >= 0) return AtomicFile(path, {}, fd, replace);
    // EISDIR from a kernel without unnamed files, EOPNOTSUPP from a file system without them.
    if (errno != EISDIR && errno != EOPNOTSUPP) return std::unexpected(Error::os(errno));
    // A short hidden name, so that it fits wherever the file's own name fits, made where no
    // file is.
    for (int attempt = 0;; ++attempt) {
        const std::filesystem::path temporary =
            directory / fmt::format(".tarnvel-{:08x}", std::random_device()());
        const int named =
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (named >= 0) return AtomicFile(path, temporary, named, replace);
        if (errno != EEXIST || attempt == 16) return std::unexpected(Error::os(errno));
    }
}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_(std::move(other.temporary_)),
      fd_(std::exchange(other.fd_, -1)),
      replace_(other.replace_),
      committed_(std::exchange(other.committed_, true)) {}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

Status AtomicFile::write(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::unexpected(Error::os(errno));
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return {};
}

Status AtomicFile::set_permissions() const {
    std::optional<struct stat> old;
    if (replace_) {
        auto found = file_to_replace(path_);
        if (!found) return std::unexpected(found.error());
        old = *found;
    }
    // A new file has the mode it was made with, less the umask.
    if (!old) return {};
    const mode_t mode = old->st_mode & 0777;
    // The bits first: once the file is another user's, only the capability to change any
    // file's bits could.
    if (::fchmod(fd_, mode) != 0) return std::unexpected(Error::os(errno));
    // The owner and group the replaced file had: its reader (a collector running as a user of
    // its own, say) reads the new file as it read the old.
    struct stat made {};
    if (::fstat(fd_, &made) != 0) return std::unexpected(Error::os(errno));
    if ((made.st_uid != old->st_uid || made.st_gid != old->st_gid) &&
        ::fchown(fd_, old->st_uid, old->st_gid) != 0) {
        const int error = errno;
        return std::unexpected(Error::message(
            error_kind_for_errno(error),
            fmt::format("can't give the new file the owner and group of the old one ({}:{}): {}",
                        old->st_uid, old->st_gid, std::strerror(error))));
    }
    return {};
}

Status AtomicFile::link_as(const std::filesystem::path& name) const {
    if (!temporary_.empty()) {
        if (::link(temporary_.c_str(), name.c_str()) != 0) return std::unexpected(Error::os(errno));
        return {};
    }
    // The unnamed file by its descriptor's path under /proc; without /proc, by the descriptor
    // itself, which only a process that may look up any file can do.
    const std::string by_descriptor = fmt::format("/proc/self/fd/{}", fd_);
    if (::linkat(AT_FDCWD, by_descriptor.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return {};
    }
    if (errno == ENOENT && ::linkat(fd_, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return {};
    return std::unexpected(Error::os(errno));
}

Status AtomicFile::commit() {
    if (auto permitted = set_permissions(); !permitted) return permitted;
    if (::fsync(fd_) != 0) return std::unexpected(Error::os(errno));
    if (!replace_) {
        // A link fails where the name is taken, where a rename would silently replace it.
        if (auto linked = link_as(path_); !linked) return linked;
        if (!temporary_.empty()) ::unlink(temporary_.c_str());
    } else {
        // A rename replaces the old file in one step; an unnamed file first needs a name of its
        // own to be renamed from, held only for that moment.
        std::filesystem::path from = temporary_;
        for (int attempt = 0; from.empty(); ++attempt) {
            const std::filesystem::path hidden =
                directory_of(path_) / fmt::format(".tarnvel-{:08x}", std::random_device()());
            auto linked = link_as(hidden);
            if (linked) {
                from = hidden;
            } else if (linked.error() != Error::os(EEXIST) || attempt == 16) {
                return linked;
            }
        }
        if (::rename(from.c_str(), path_.c_str()) != 0) {
            const int error = errno;
            if (temporary_.empty()) ::unlink(from.c_str());
            return std::unexpected(Error::os(error));
        }
    }
    committed_ = true;
    return flush_directory(directory_of(path_));
}

}  // namespace tarnvel
