#pragma once
// The program's one error value. Every fallible operation returns its result or an
// Error in a std::expected; only the per-board update prints errors and decides whether
// the run goes on.

#include <cstdint>
#include <expected>
#include <string>
#include <variant>

namespace tarnvel {

// Categories of errors, each with a fixed description (error_kind_text).
enum class ErrorKind : std::uint8_t {
    PermissionDenied,
    NotFound,
    Interrupted,
    ArgumentListTooLong,
    WouldBlock,
    OutOfMemory,
    ResourceBusy,
    AlreadyExists,
    CrossesDevices,
    NotADirectory,
    IsADirectory,
    InvalidInput,
    ExecutableFileBusy,
    FileTooLarge,
    StorageFull,
    NotSeekable,
    ReadOnlyFilesystem,
    TooManyLinks,
    BrokenPipe,
    Deadlock,
    InvalidFilename,
    Unsupported,
    DirectoryNotEmpty,
    FilesystemLoop,
    AddrInUse,
    AddrNotAvailable,
    NetworkDown,
    NetworkUnreachable,
    ConnectionAborted,
    ConnectionReset,
    NotConnected,
    TimedOut,
    ConnectionRefused,
    HostUnreachable,
    InProgress,
    StaleNetworkFileHandle,
    QuotaExceeded,
    InvalidData,
    Other,
    Uncategorized,
};

// The kind an operating-system error number falls into; unknown numbers (and 0) are
// Uncategorized.
ErrorKind error_kind_for_errno(std::int32_t errnum);

// An error of the archive reader, carried whole: its own codes and its own message.
struct ArchiveError {
    int zip_code = 0;     // the archive reader's error code
    int system_code = 0;  // the system or zlib error behind it, if any
    std::string message;  // the archive reader's text for the two codes

    friend bool operator==(const ArchiveError&, const ArchiveError&) = default;
};

class Error {
  public:
    // A failed system call or register access, by its error number.
    static Error os(std::int32_t errnum);
    // One of the program's own messages, or a system message text without its number.
    static Error message(ErrorKind kind, std::string text);
    // A failed sysfs write: the C library's text for the number alone, kind by the number.
    static Error sysfs_write(std::int32_t errnum);
    static Error archive(ArchiveError error);

    ErrorKind kind() const { return kind_; }
    // The operating-system error number, when this is an operating-system error.
    const std::int32_t* os_code() const { return std::get_if<std::int32_t>(&detail_); }
    const std::string* message_text() const { return std::get_if<std::string>(&detail_); }
    const ArchiveError* archive_error() const { return std::get_if<ArchiveError>(&detail_); }

    // What the error concerns beyond its fixed text (the archive entry that was passed over,
    // for example), for a report that explains more than the updater's fixed lines; empty when
    // there is nothing to add. error_text leaves it out.
    const std::string& note() const { return note_; }
    Error with_note(std::string note) && {
        note_ = std::move(note);
        return std::move(*this);
    }

    friend bool operator==(const Error&, const Error&) = default;

  private:
    using Detail = std::variant<std::int32_t, std::string, ArchiveError>;
    Error(ErrorKind kind, Detail detail) : kind_(kind), detail_(std::move(detail)) {}

    ErrorKind kind_;
    Detail detail_;
    std::string note_;
};

// "{strerror} (os error {n})" for an operating-system error, the message itself for a
// message error, the archive reader's message for an archive error.
std::string error_text(const Error& error);
// error_text followed by the note in parentheses, when there is one.
std::string error_text_with_note(const Error& error);
// The description of the error's kind, for example "permission denied".
std::string_view error_kind_text(const Error& error);
std::string_view error_kind_text(ErrorKind kind);

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

// The program's own fixed messages.
inline constexpr const char* kFirmwareNotFound = "firmware not found in archive";
inline constexpr const char* kCantWriteFlash = "can't write to flash";
inline constexpr const char* kWrongHwVersion = "wrong hw version";
inline constexpr const char* kWrongFwVersion = "wrong fw version";
inline constexpr const char* kFlashWriteTimeout = "flash write timeout";

inline Error flash_write_timeout() {
    return Error::message(ErrorKind::TimedOut, kFlashWriteTimeout);
}

}  // namespace tarnvel
