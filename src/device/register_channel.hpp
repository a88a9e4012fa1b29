#pragma once
// The register access channel: one ioctl on the board's device node per 32-bit register
// access. Nothing is batched, cached or retried here, and the request path does no
// allocation: flash programming issues millions of these. The only lock is the one on the
// node itself, taken when it is opened, so that one board is never driven by two programs.

#include <linux/ioctl.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "base/error.hpp"

namespace tarnvel {

// The ioctl argument, in the host's byte order.
struct RegisterRequest {
    std::uint32_t op;        // kRegisterOpRead or kRegisterOpWrite
    std::uint32_t reg;       // register number
    std::uint32_t value;     // write: the value; read: 0 when sent, the content on return
    std::uint32_t reserved;  // always sent as 0
};
static_assert(sizeof(RegisterRequest) == 16);
static_assert(offsetof(RegisterRequest, op) == 0);
static_assert(offsetof(RegisterRequest, reg) == 4);
static_assert(offsetof(RegisterRequest, value) == 8);
static_assert(offsetof(RegisterRequest, reserved) == 12);

inline constexpr std::uint32_t kRegisterOpRead = 1;
inline constexpr std::uint32_t kRegisterOpWrite = 2;
// The driver's ioctl type; its only request is number 0.
inline constexpr unsigned kRegisterIoctlType = 0x46;
// A read-write request: the driver both takes the request and returns it filled in.
inline constexpr unsigned long kRegisterIoctl = _IOWR(kRegisterIoctlType, 0, RegisterRequest);
static_assert(kRegisterIoctl == 0xC0104600UL);

// The error number of a failed request: errno as the driver left it, whatever its value, so
// that the operator sees the number the driver gave (a number the C library has no name for
// shows as "Unknown error N") and never "Success" for a failure.
struct ChannelError {
    std::int32_t code;
    friend bool operator==(const ChannelError&, const ChannelError&) = default;
};

ChannelError channel_error_from_errno(int errnum);

inline Error to_error(ChannelError e) {
    return Error::os(e.code);
}

std::expected<std::uint32_t, ChannelError> register_read(int fd, std::uint32_t reg);
std::expected<void, ChannelError> register_write(int fd, std::uint32_t reg, std::uint32_t value);

struct BoardDevice;
// Opens the board's device node read-write into board.fd and takes an exclusive lock on it
// without waiting (flock), which lasts until the node is closed. A node another process holds
// fails with EWOULDBLOCK ("operation would block"), like a node that can't be opened. When
// the open fails the record is unchanged; an already open descriptor is closed only after the
// new open has succeeded (and before the lock is taken, since its own lock would refuse the
// new descriptor), so a failed lock then leaves the record closed.
Status open_board(BoardDevice& board);

// The process that holds the board lock of the node at `devnode`, as the kernel's table of
// locks (/proc/locks) names it, without opening the node: none when no process holds it, or
// the table or the node can't be read.
struct LockHolder {
    int pid = 0;
    std::string command;  // its command name, empty when it can't be read
};
std::optional<LockHolder> board_lock_holder(const std::string& devnode,
                                            const std::string& locks_file = "/proc/locks");

}  // namespace tarnvel
