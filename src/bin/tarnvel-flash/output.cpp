#include "bin/tarnvel-flash/output.hpp"

#include <unistd.h>
#include <cerrno>

namespace tarnvel {

Status Output::print(std::string_view text) {
    const auto last_break = text.rfind('\n');
    pending_.append(text);
    if (last_break == std::string_view::npos) return {};
    const std::size_t after_break = text.size() - last_break - 1;
    return write_front(pending_.size() - after_break);
}

Status Output::flush() {
    return write_front(pending_.size());
}

Status Output::write_front(std::size_t count) {
    std::size_t written = 0;
    Status status;
    while (written < count) {
        const ssize_t n = ::write(fd_, pending_.data() + written, count - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            status = std::unexpected(Error::os(errno));
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    pending_.erase(0, written);
    return status;
}

}  // namespace tarnvel
