#include "device/register_channel.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "device/board_device.hpp"

namespace tarnvel {

ChannelError channel_error_from_errno(int errnum) {
    if (errnum < 1 || errnum > 133 || errnum == 41 || errnum == 58) return {0};
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
    int fd = ::open(board.devnode.c_str(), O_RDWR | O_CLOEXEC, 0666);
    if (fd == -1) return std::unexpected(Error::os(errno));
    if (board.fd != -1) ::close(board.fd);
    board.fd = fd;
    return {};
}

}  // namespace tarnvel
