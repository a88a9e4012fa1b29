#include "firmware/image_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <new>

namespace tarnvel {

Result<std::vector<std::uint8_t>> read_image_file(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::unexpected(Error::os(errno));
    if (S_ISDIR(info.st_mode)) return std::unexpected(Error::os(EISDIR));
    if (!S_ISREG(info.st_mode)) {
        return std::unexpected(Error::message(ErrorKind::InvalidInput, "not a regular file"));
    }
    if (static_cast<std::uint64_t>(info.st_size) > std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected(Error::os(EFBIG));
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::unexpected(Error::os(errno));

    std::vector<std::uint8_t> data;
    Status status;
    try {
        data.resize(static_cast<std::size_t>(info.st_size));
        std::size_t have = 0;
        // Read until the end of the file, which may have changed size since stat.
        while (true) {
            if (have == data.size()) data.resize(have + 4096);
            const ssize_t got = ::read(fd, data.data() + have, data.size() - have);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                status = std::unexpected(Error::os(errno));
                break;
            }
            if (got == 0) break;
            have += static_cast<std::size_t>(got);
            if (have > std::numeric_limits<std::uint32_t>::max()) {
                status = std::unexpected(Error::os(EFBIG));
                break;
            }
        }
        data.resize(have);
    } catch (const std::bad_alloc&) {
        status = std::unexpected(Error::os(ENOMEM));
    }
    ::close(fd);
    if (!status) return std::unexpected(std::move(status.error()));
    return data;
}

}  // namespace tarnvel
