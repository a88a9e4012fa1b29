#include "base/error.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

namespace tarnvel {

// The kinds are those of Linux's error numbers: each name here stands for the number it has on
// Linux (EPERM 1, EACCES 13, ..., EDQUOT 122), which the unit tests check number by number.
ErrorKind error_kind_for_errno(std::int32_t errnum) {
    switch (errnum) {
        case EPERM:
        case EACCES: return ErrorKind::PermissionDenied;
        case ENOENT: return ErrorKind::NotFound;
        case EINTR: return ErrorKind::Interrupted;
        case E2BIG: return ErrorKind::ArgumentListTooLong;
        case EAGAIN: return ErrorKind::WouldBlock;
        case ENOMEM: return ErrorKind::OutOfMemory;
        case EBUSY: return ErrorKind::ResourceBusy;
        case EEXIST: return ErrorKind::AlreadyExists;
        case EXDEV: return ErrorKind::CrossesDevices;
        case ENOTDIR: return ErrorKind::NotADirectory;
        case EISDIR: return ErrorKind::IsADirectory;
        case EINVAL: return ErrorKind::InvalidInput;
        case ETXTBSY: return ErrorKind::ExecutableFileBusy;
        case EFBIG: return ErrorKind::FileTooLarge;
        case ENOSPC: return ErrorKind::StorageFull;
        case ESPIPE: return ErrorKind::NotSeekable;
        case EROFS: return ErrorKind::ReadOnlyFilesystem;
        case EMLINK: return ErrorKind::TooManyLinks;
        case EPIPE: return ErrorKind::BrokenPipe;
        case EDEADLK: return ErrorKind::Deadlock;
        case ENAMETOOLONG: return ErrorKind::InvalidFilename;
        case ENOSYS:
        case EOPNOTSUPP: return ErrorKind::Unsupported;
        case ENOTEMPTY: return ErrorKind::DirectoryNotEmpty;
        case ELOOP: return ErrorKind::FilesystemLoop;
        case EADDRINUSE: return ErrorKind::AddrInUse;
        case EADDRNOTAVAIL: return ErrorKind::AddrNotAvailable;
        case ENETDOWN: return ErrorKind::NetworkDown;
        case ENETUNREACH: return ErrorKind::NetworkUnreachable;
        case ECONNABORTED: return ErrorKind::ConnectionAborted;
        case ECONNRESET: return ErrorKind::ConnectionReset;
        case ENOTCONN: return ErrorKind::NotConnected;
        case ETIMEDOUT: return ErrorKind::TimedOut;
        case ECONNREFUSED: return ErrorKind::ConnectionRefused;
        case EHOSTUNREACH: return ErrorKind::HostUnreachable;
        case EINPROGRESS: return ErrorKind::InProgress;
        case ESTALE: return ErrorKind::StaleNetworkFileHandle;
        case EDQUOT: return ErrorKind::QuotaExceeded;
        default: return ErrorKind::Uncategorized;
    }
}

std::string_view error_kind_text(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::PermissionDenied: return "permission denied";
        case ErrorKind::NotFound: return "entity not found";
        case ErrorKind::Interrupted: return "operation interrupted";
        case ErrorKind::ArgumentListTooLong: return "argument list too long";
        case ErrorKind::WouldBlock: return "operation would block";
        case ErrorKind::OutOfMemory: return "out of memory";
        case ErrorKind::ResourceBusy: return "resource busy";
        case ErrorKind::AlreadyExists: return "entity already exists";
        case ErrorKind::CrossesDevices: return "cross-device link or rename";
        case ErrorKind::NotADirectory: return "not a directory";
        case ErrorKind::IsADirectory: return "is a directory";
        case ErrorKind::InvalidInput: return "invalid input parameter";
        case ErrorKind::ExecutableFileBusy: return "executable file busy";
        case ErrorKind::FileTooLarge: return "file too large";
        case ErrorKind::StorageFull: return "no storage space";
        case ErrorKind::NotSeekable: return "seek on unseekable file";
        case ErrorKind::ReadOnlyFilesystem: return "read-only filesystem or storage medium";
        case ErrorKind::TooManyLinks: return "too many links";
        case ErrorKind::BrokenPipe: return "broken pipe";
        case ErrorKind::Deadlock: return "deadlock";
        case ErrorKind::InvalidFilename: return "invalid filename";
        case ErrorKind::Unsupported: return "unsupported";
        case ErrorKind::DirectoryNotEmpty: return "directory not empty";
        case ErrorKind::FilesystemLoop:
            return "filesystem loop or indirection limit (e.g. symlink loop)";
        case ErrorKind::AddrInUse: return "address in use";
        case ErrorKind::AddrNotAvailable: return "address not available";
        case ErrorKind::NetworkDown: return "network down";
        case ErrorKind::NetworkUnreachable: return "network unreachable";
        case ErrorKind::ConnectionAborted: return "connection aborted";
        case ErrorKind::ConnectionReset: return "connection reset";
        case ErrorKind::NotConnected: return "not connected";
        case ErrorKind::TimedOut: return "timed out";
        case ErrorKind::ConnectionRefused: return "connection refused";
        case ErrorKind::HostUnreachable: return "host unreachable";
        case ErrorKind::InProgress: return "in progress";
        case ErrorKind::StaleNetworkFileHandle: return "stale network file handle";
        case ErrorKind::QuotaExceeded: return "quota exceeded";
        case ErrorKind::InvalidData: return "invalid data";
        case ErrorKind::Other: return "other error";
        case ErrorKind::Uncategorized: return "uncategorized error";
    }
    return "uncategorized error";
}

std::string_view error_kind_text(const Error& error) {
    return error_kind_text(error.kind());
}

Error Error::os(std::int32_t errnum) {
    return Error(error_kind_for_errno(errnum), errnum);
}

Error Error::message(ErrorKind kind, std::string text) {
    return Error(kind, std::move(text));
}

Error Error::sysfs_write(std::int32_t errnum) {
    return Error(error_kind_for_errno(errnum), std::string(std::strerror(errnum)));
}

Error Error::archive(ArchiveError error) {
    return Error(ErrorKind::Other, std::move(error));
}

std::string error_text(const Error& error) {
    if (const auto* code = error.os_code()) {
        return fmt::format("{} (os error {})", std::strerror(*code), *code);
    }
    if (const auto* text = error.message_text()) return *text;
    return error.archive_error()->message;
}

std::string error_text_with_note(const Error& error) {
    if (error.note().empty()) return error_text(error);
    return fmt::format("{} ({})", error_text(error), error.note());
}

}  // namespace tarnvel
