#include "base/trusted_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "base/utf8.hpp"

namespace tarnvel {
namespace {

namespace fs = std::filesystem;

// Writable by the group or by anyone.
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;

std::string link_target(const fs::path& link) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    return ec ? std::string("?") : target.string();
}

std::string mode_text(mode_t mode) {
    return fmt::format("{:04o}", mode & 07777);
}

// `path` with every symbolic link in it followed; none when something on the way is missing.
std::optional<fs::path> real_path(const fs::path& path) {
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                           &std::free);
    if (!real) return std::nullopt;
    return fs::path(real.get());
}

Error refusal(const fs::path& file, std::string_view problem) {
    return Error::message(ErrorKind::PermissionDenied,
                          printable(fmt::format("{}: refused: {}", file.string(), problem)));
}

Error failure(const fs::path& file, int errnum) {
    return Error::message(error_kind_for_errno(errnum),
                          printable(fmt::format("{}: {}", file.string(), std::strerror(errnum))));
}

// The directory `dir` is, wherever its links lead, checked; problems are told of `shown`.
Status check_directory(const fs::path& shown, const fs::path& dir) {
    const std::optional<fs::path> real = real_path(dir);
    if (!real) return std::unexpected(failure(shown, errno));
    struct stat info {};
    if (::lstat(real->c_str(), &info) != 0) return std::unexpected(failure(shown, errno));
    if (auto problem = directory_problem(*real, info)) {
        return std::unexpected(refusal(shown, *problem));
    }
    return {};
}

// The directory that holds `file` (a name in a real directory) checked.
Status check_holder(const fs::path& shown, const fs::path& file) {
    return check_directory(shown, file.parent_path());
}

}  // namespace

bool trusted_owner(uid_t owner) {
    return owner == 0 || owner == ::getuid() || owner == ::geteuid();
}

std::string_view mode_type_text(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISREG(mode)) return "a regular file";
    return "of an unknown type";
}

std::optional<std::string> directory_problem(const fs::path& dir, const struct stat& info) {
    if (S_ISLNK(info.st_mode)) {
        return fmt::format("its directory {} is a symbolic link (to {}), which is not followed",
                           dir.string(), link_target(dir));
    }
    if (!S_ISDIR(info.st_mode)) {
        return fmt::format("its directory {} is {}", dir.string(), mode_type_text(info.st_mode));
    }
    if (!trusted_owner(info.st_uid)) {
        return fmt::format(
            "its directory {} belongs to uid {}, neither root nor the user "
            "running this",
            dir.string(), info.st_uid);
    }
    if ((info.st_mode & kWritableByOthers) != 0 && (info.st_mode & S_ISVTX) == 0) {
        return fmt::format("its directory {} is writable by others and not sticky (mode {})",
                           dir.string(), mode_text(info.st_mode));
    }
    return std::nullopt;
}

std::optional<std::string> file_problem(const fs::path& path, std::string_view name,
                                        const struct stat& info, FileNames names) {
    if (S_ISLNK(info.st_mode)) {
        return fmt::format("{} is a symbolic link (to {}), which is not followed", name,
                           link_target(path));
    }
    if (!S_ISREG(info.st_mode)) {
        return fmt::format("{} is {}, not a regular file", name, mode_type_text(info.st_mode));
    }
    if (!trusted_owner(info.st_uid)) {
        return fmt::format("{} belongs to uid {}, neither root nor the user running this", name,
                           info.st_uid);
    }
    if ((info.st_mode & kWritableByOthers) != 0) {
        return fmt::format("{} is writable by others (mode {})", name, mode_text(info.st_mode));
    }
    if (names == FileNames::One && info.st_nlink != 1) {
        return fmt::format("{} has {} names (hard links), not one", name, info.st_nlink);
    }
    return std::nullopt;
}

Status check_trusted_directory(const fs::path& dir) {
    if (!dir.is_absolute()) {
        return std::unexpected(refusal(dir, "not an absolute path"));
    }
    return check_directory(dir, dir);
}

Result<std::optional<std::string>> read_trusted_file(const fs::path& file, std::size_t largest) {
    if (!file.is_absolute()) {
        return std::unexpected(
            refusal(file,
                    "not an absolute path: each working directory would have a file of "
                    "its own"));
    }
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0) {
        if (errno == ENOENT) return std::nullopt;
        return std::unexpected(failure(file, errno));
    }
    if (auto holder = check_holder(file, file); !holder) return std::unexpected(holder.error());
    fs::path target = file;
    if (S_ISLNK(info.st_mode)) {
        // Followed only to a file that passes the checks itself, in a directory that does.
        const std::optional<fs::path> real = real_path(file);
        if (!real) {
            const int errnum = errno;
            return std::unexpected(refusal(
                file, fmt::format("it is a symbolic link (to {}), and {}", link_target(file),
                                  errnum == ENOENT ? "nothing is there" : std::strerror(errnum))));
        }
        target = *real;
        if (auto holder = check_holder(file, target); !holder) {
            return std::unexpected(holder.error());
        }
    }
    // Neither a link put in place since nor a FIFO holds the open.
    const int fd = ::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::unexpected(failure(file, errno));
    const auto close = std::unique_ptr<const int, void (*)(const int*)>(
        &fd, [](const int* open) { ::close(*open); });
    if (::fstat(fd, &info) != 0) return std::unexpected(failure(file, errno));
    const std::string name = target == file ? std::string("it") : "its target " + target.string();
    if (auto problem = file_problem(target, name, info, FileNames::Any)) {
        return std::unexpected(refusal(file, *problem));
    }
    if (static_cast<std::uint64_t>(info.st_size) > largest) {
        return std::unexpected(
            refusal(file, fmt::format("it holds {} bytes, more than the {} bytes such a file may "
                                      "hold",
                                      info.st_size, largest)));
    }
    // At most one byte more than may be: a file that grew since is refused too.
    std::string text(largest + 1, '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int errnum = errno;
            return std::unexpected(
                Error::message(error_kind_for_errno(errnum),
                               printable(fmt::format("{}: can't be read: {}", file.string(),
                                                     std::strerror(errnum)))));
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done > largest) {
        return std::unexpected(refusal(
            file, fmt::format("it holds more than the {} bytes such a file may hold", largest)));
    }
    text.resize(done);
    return text;
}

Status check_regular_file(mode_t mode) {
    if (S_ISREG(mode)) return {};
    if (S_ISDIR(mode)) return std::unexpected(Error::os(EISDIR));
    const char* what = S_ISFIFO(mode)   ? "a FIFO"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : nullptr;
    return std::unexpected(Error::message(
        ErrorKind::InvalidInput, what != nullptr ? fmt::format("not a regular file but {}", what)
                                                 : std::string("not a regular file")));
}

Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path, std::uint64_t largest) {
    // Refused as the open would refuse it: a device before it is opened, a FIFO without waiting.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (auto regular = check_regular_file(info.st_mode); !regular) {
            return std::unexpected(regular.error());
        }
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::unexpected(Error::os(errno));
    const auto close = std::unique_ptr<const int, void (*)(const int*)>(
        &fd, [](const int* open) { ::close(*open); });
    if (::fstat(fd, &info) != 0) return std::unexpected(Error::os(errno));
    if (auto regular = check_regular_file(info.st_mode); !regular) {
        return std::unexpected(regular.error());
    }
    if (static_cast<std::uint64_t>(info.st_size) > largest) {
        return std::unexpected(Error::os(EFBIG));
    }
    constexpr std::size_t kChunk = std::size_t{1} << 20;
    std::vector<std::uint8_t> data;
    try {
        data.resize(static_cast<std::size_t>(info.st_size));
        std::size_t have = 0;
        // To the end of the file, which may have moved since fstat.
        while (true) {
            if (have == data.size()) {
                data.resize(have + static_cast<std::size_t>(
                                       std::min<std::uint64_t>(kChunk, largest + 1 - have)));
            }
            const ssize_t got = ::read(fd, data.data() + have, data.size() - have);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return std::unexpected(Error::os(errno));
            if (got == 0) break;
            have += static_cast<std::size_t>(got);
            if (have > largest) return std::unexpected(Error::os(EFBIG));
        }
        data.resize(have);
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::os(ENOMEM));
    }
    return data;
}

}  // namespace tarnvel
