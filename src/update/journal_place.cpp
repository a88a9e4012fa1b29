#include "update/journal_place.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnvel {
namespace {

namespace fs = std::filesystem;

// SQLite's unix files take paths of up to 512 bytes, and its rollback journal's name is the
// database's with "-journal" after it.
constexpr std::size_t kLongestPath = 512 - std::string_view("-journal").size();
// The files SQLite keeps beside the database: its rollback journal, and a write-ahead log and
// its index where someone switched the file to one. SQLite reads them as its own.
constexpr std::array<std::string_view, 3> kBesideFiles = {"-journal", "-wal", "-shm"};
// Writable by the group or by anyone.
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;

Error refused(const fs::path& file, std::string problem) {
    return Error::message(ErrorKind::PermissionDenied,
                          fmt::format("{}: refused: {}", file.string(), problem));
}

Error failed(const fs::path& file, const fs::path& what, int errnum) {
    return Error::message(error_kind_for_errno(errnum),
                          what == file ? fmt::format("{}: {}", file.string(), std::strerror(errnum))
                                       : fmt::format("{}: {}: {}", file.string(), what.string(),
                                                     std::strerror(errnum)));
}

std::string_view type_of(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISREG(mode)) return "a regular file";
    return "of an unknown type";
}

bool trusted_owner(uid_t owner) {
    return owner == 0 || owner == ::getuid() || owner == ::geteuid();
}

std::string link_target(const fs::path& link) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    return ec ? std::string("?") : target.string();
}

std::string mode_text(mode_t mode) {
    return fmt::format("{:04o}", mode & 07777);
}

// What is wrong with the directory, if anything: `info` is its lstat.
std::optional<std::string> directory_problem(const fs::path& dir, const struct stat& info) {
    if (S_ISLNK(info.st_mode)) {
        return fmt::format("its directory {} is a symbolic link (to {}), which is not followed",
                           dir.string(), link_target(dir));
    }
    if (!S_ISDIR(info.st_mode)) {
        return fmt::format("its directory {} is {}", dir.string(), type_of(info.st_mode));
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

// What is wrong with the file, or one of SQLite's beside it, if anything: `info` is its lstat,
// `name` what it is called in the refusal.
std::optional<std::string> file_problem(const fs::path& path, std::string_view name,
                                        const struct stat& info) {
    if (S_ISLNK(info.st_mode)) {
        return fmt::format("{} is a symbolic link (to {}), which is not followed", name,
                           link_target(path));
    }
    if (!S_ISREG(info.st_mode)) {
        return fmt::format("{} is {}, not a regular file", name, type_of(info.st_mode));
    }
    if (!trusted_owner(info.st_uid)) {
        return fmt::format("{} belongs to uid {}, neither root nor the user running this", name,
                           info.st_uid);
    }
    if ((info.st_mode & kWritableByOthers) != 0) {
        return fmt::format("{} is writable by others (mode {})", name, mode_text(info.st_mode));
    }
    if (info.st_nlink != 1) {
        return fmt::format("{} has {} names (hard links), not one", name, info.st_nlink);
    }
    return std::nullopt;
}

// Makes the directory and every missing one above it, mode 0755 whatever the umask.
Status make_directory(const fs::path& file, const fs::path& directory) {
    std::vector<fs::path> missing;
    for (fs::path dir = directory; !dir.empty(); dir = dir.parent_path()) {
        struct stat info {};
        if (::lstat(dir.c_str(), &info) == 0) break;
        if (errno != ENOENT) break;  // the mkdir below says what is wrong
        missing.push_back(dir);
        if (dir == dir.parent_path()) break;
    }
    const auto failure = [&](const fs::path& dir, int errnum) -> Status {
        return std::unexpected(
            Error::message(error_kind_for_errno(errnum),
                           fmt::format("{}: can't make the directory {}: {}", file.string(),
                                       dir.string(), std::strerror(errnum))));
    };
    for (auto dir = missing.rbegin(); dir != missing.rend(); ++dir) {
        if (::mkdir(dir->c_str(), 0755) != 0) {
            if (errno == EEXIST) continue;
            return failure(*dir, errno);
        }
        ::chmod(dir->c_str(), 0755);
    }
    return {};
}

// The file as SQLite will name it, every symbolic link above the directory followed, must be
// short enough for it and its rollback journal.
Status check_length(const fs::path& file, const fs::path& shown) {
    if (file.string().size() <= kLongestPath) return {};
    return std::unexpected(Error::message(
        ErrorKind::InvalidFilename,
        fmt::format("{}: the path is {} bytes long{}; SQLite opens a journal of at most {}",
                    shown.string(), file.string().size(),
                    file == shown ? "" : fmt::format(" as {}", file.string()), kLongestPath)));
}

// The directory's real path with the file's name, once the directory is there.
fs::path resolved(const fs::path& file) {
    const std::unique_ptr<char, decltype(&std::free)> real(
        ::realpath(file.parent_path().c_str(), nullptr), &std::free);
    return real ? fs::path(real.get()) / file.filename() : file;
}

}  // namespace

Result<JournalPresence> prepare_journal_place(const fs::path& file, JournalUse use) {
    if (!file.is_absolute()) {
        return std::unexpected(Error::message(
            ErrorKind::InvalidInput,
            fmt::format("{}: not an absolute path: each working directory would have a journal "
                        "of its own",
                        file.string())));
    }
    if (auto length = check_length(file, file); !length) return std::unexpected(length.error());
    const fs::path dir = file.parent_path();

    struct stat info {};
    if (::lstat(dir.c_str(), &info) != 0) {
        if (errno != ENOENT) return std::unexpected(failed(file, dir, errno));
        if (use == JournalUse::Reading) return JournalPresence::Absent;
        if (auto made = make_directory(file, dir); !made) return std::unexpected(made.error());
        if (::lstat(dir.c_str(), &info) != 0) return std::unexpected(failed(file, dir, errno));
    }
    if (auto problem = directory_problem(dir, info)) {
        return std::unexpected(refused(file, std::move(*problem)));
    }
    if (auto length = check_length(resolved(file), file); !length) {
        return std::unexpected(length.error());
    }

    if (::lstat(file.c_str(), &info) != 0) {
        if (errno != ENOENT) return std::unexpected(failed(file, file, errno));
        if (use == JournalUse::Reading) return JournalPresence::Absent;
        // Made here, never through a name someone put in the way: SQLite then opens a file
        // that exists.
        const int fd =
            ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) return std::unexpected(failed(file, file, errno));
        if (fd >= 0) {
            ::fchmod(fd, 0644);
            ::close(fd);
        }
        if (::lstat(file.c_str(), &info) != 0) return std::unexpected(failed(file, file, errno));
    }
    if (auto problem = file_problem(file, "it", info)) {
        return std::unexpected(refused(file, std::move(*problem)));
    }
    for (const std::string_view suffix : kBesideFiles) {
        const fs::path beside = file.string() + std::string(suffix);
        if (::lstat(beside.c_str(), &info) != 0) {
            if (errno == ENOENT) continue;
            return std::unexpected(failed(file, beside, errno));
        }
        if (auto problem = file_problem(beside, beside.string(), info)) {
            return std::unexpected(refused(file, std::move(*problem)));
        }
    }
    return JournalPresence::Present;
}

}  // namespace tarnvel
