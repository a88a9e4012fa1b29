#include "bin/tarnvel-flash/error.hpp"

#include <fmt/format.h>
#include <cstring>

namespace tarnvel {

ErrorKind error_kind_for_errno(std::int32_t errnum) {
    switch (errnum) {
        case 1:
        case 13: return ErrorKind::PermissionDenied;
        case 2: return ErrorKind::NotFound;
        case 4: return ErrorKind::Interrupted;
        case 7: return ErrorKind::ArgumentListTooLong;
        case 11: return ErrorKind::WouldBlock;
        case 12: return ErrorKind::OutOfMemory;
        case 16: return ErrorKind::ResourceBusy;
        case 17: return ErrorKind::AlreadyExists;
        case 18: return ErrorKind::CrossesDevices;
        case 20: return ErrorKind::NotADirectory;
        case 21: return ErrorKind::IsADirectory;
        case 22: return ErrorKind::InvalidInput;
        case 26: return ErrorKind::ExecutableFileBusy;
        case 27: return ErrorKind::FileTooLarge;
        case 28: return ErrorKind::StorageFull;
        case 29: return ErrorKind::NotSeekable;
        case 30: return ErrorKind::ReadOnlyFilesystem;
        case 31: return ErrorKind::TooManyLinks;
        case 32: return ErrorKind::BrokenPipe;
        case 35: return ErrorKind::Deadlock;
        case 36: return ErrorKind::InvalidFilename;
        case 38:
        case 95: return ErrorKind::Unsupported;
        case 39: return ErrorKind::DirectoryNotEmpty;
        case 40: return ErrorKind::FilesystemLoop;
        case 98: return ErrorKind::AddrInUse;
        case 99: return ErrorKind::AddrNotAvailable;
        case 100: return ErrorKind::NetworkDown;
        case 101: return ErrorKind::NetworkUnreachable;
        case 103: return ErrorKind::ConnectionAborted;
        case 104: return ErrorKind::ConnectionReset;
        case 107: return ErrorKind::NotConnected;
        case 110: return ErrorKind::TimedOut;
        case 111: return ErrorKind::ConnectionRefused;
        case 113: return ErrorKind::HostUnreachable;
        case 115: return ErrorKind::InProgress;
        case 116: return ErrorKind::StaleNetworkFileHandle;
        case 122: return ErrorKind::QuotaExceeded;
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

}  // namespace tarnvel
