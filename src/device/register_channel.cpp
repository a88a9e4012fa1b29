#include "device/register_channel.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <fstream>
#include <sstream>

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

std::optional<LockHolder> board_lock_holder(const std::string& devnode,
                                            const std::string& locks_file) {
    struct stat node {};
    if (::stat(devnode.c_str(), &node) != 0) return std::nullopt;
    // A lock's file as the table writes it: the device of its file system, major and minor in
    // hexadecimal, and its inode.
    const std::string file =
        fmt::format("{:02x}:{:02x}:{}", major(node.st_dev), minor(node.st_dev), node.st_ino);
    std::ifstream locks(locks_file);
    for (std::string line; std::getline(locks, line);) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:05:678 0 EOF"; a waiter's line has "->" after the
        // number, and is no holder.
        std::istringstream fields(line);
        std::string number, type, mode, access, where;
        int pid = 0;
        if (!(fields >> number >> type >> mode >> access >> pid >> where)) continue;
        if (type != "FLOCK" || where != file) continue;
        LockHolder holder{.pid = pid, .command = {}};
        std::ifstream comm(fmt::format("/proc/{}/comm", pid));
        std::getline(comm, holder.command);
        return holder;
    }
    return std::nullopt;
}

}  // namespace tarnvel
