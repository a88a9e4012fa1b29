#include "device/register_channel.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "device/board_device.hpp"

namespace tarnvel {

ChannelError channel_error_from_errno(int errnum) {
    return {errnum};
}

std::expected<std::uint32_t, ChannelError> register_read(int fd, std::uint32_t reg) {
    RegisterRequest request{kRegisterOpRead, reg, 0, 0};
    if (ioctl(fd, kRegisterIoctl, &request) == -1) {
        return std::unexpected(channel_error_from_errno(errno));
    }
    return request.value;
}

std::expected<void, ChannelError> register_write(int fd, std::uint32_t reg, std::uint32_t value) {
    RegisterRequest request{kRegisterOpWrite, reg, value, 0};
    if (ioctl(fd, kRegisterIoctl, &request) == -1) {
        return std::unexpected(channel_error_from_errno(errno));
    }
    return {};
}

Status open_board(BoardDevice& board) {
    const int fd = ::open(board.devnode.c_str(), O_RDWR | O_CLOEXEC, 0666);
    if (fd == -1) return std::unexpected(Error::os(errno));
    // A descriptor the record still holds is another open description of the node: its lock
    // would refuse the new one, so it is closed now that the new open has succeeded.
    if (board.fd != -1) {
        ::close(board.fd);
        board.fd = -1;
    }
    // Held until the node is closed (or the process ends): a second instance of the program
    // that reaches the same board is refused at once instead of driving its flash commands
    // in between ours.
    if (::flock(fd, LOCK_EX | LOCK_NB) == -1) {
        const int error = errno;
        ::close(fd);
        return std::unexpected(Error::os(error));
    }
    board.fd = fd;
    return {};
}

}  // namespace tarnvel
