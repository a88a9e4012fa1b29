#include "base/atomic_file.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

Result<AtomicFile> AtomicFile::create(const std::filesystem::path& path, bool replace) {
    std::string temporary =
        (directory_of(path) / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return std::unexpected(Error::os(errno));
    return AtomicFile(path, temporary, fd, replace);
}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_(std::move(other.temporary_)),
      fd_(std::exchange(other.fd_, -1)),
      replace_(other.replace_),
      committed_(std::exchange(other.committed_, true)) {}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(temporary_.c_str());
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

Status AtomicFile::commit() {
    // The file gets the permissions of any file the user makes, not the owner-only ones
    // mkostemp gave it.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd_, 0666 & ~mask) != 0) return std::unexpected(Error::os(errno));
    if (::fsync(fd_) != 0) return std::unexpected(Error::os(errno));
    if (replace_) {
        if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
            return std::unexpected(Error::os(errno));
        }
    } else {
        // A link fails where the name is taken, where a rename would silently replace it.
        if (::link(temporary_.c_str(), path_.c_str()) != 0) {
            return std::unexpected(Error::os(errno));
        }
        ::unlink(temporary_.c_str());
    }
    committed_ = true;
    return flush_directory(directory_of(path_));
}

}  // namespace tarnvel
