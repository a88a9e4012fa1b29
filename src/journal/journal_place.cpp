#include "journal/journal_place.hpp"

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

#include "base/trusted_file.hpp"

namespace tarnvel {
namespace {

namespace fs = std::filesystem;

// SQLite's unix files take paths of up to 512 bytes, and its rollback journal's name is the
// database's with "-journal" after it.
constexpr std::size_t kLongestPath = 512 - std::string_view("-journal").size();
// The files SQLite keeps beside the database: its rollback journal, and a write-ahead log and
// its index where someone switched the file to one. SQLite reads them as its own.
constexpr std::array<std::string_view, 3> kBesideFiles = {"-journal", "-wal", "-shm"};

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
