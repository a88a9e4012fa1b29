#include "base/output.hpp"

#include <unistd.h>
#include <cerrno>

namespace tarnvel {

namespace {

// ECMA-48 "erase in line", from the cursor to the end of the line.
constexpr std::string_view kEraseToEndOfLine = "\x1b[K";

}  // namespace

Status Output::print(std::string_view text) {
    if (erase_overwritten_lines_) {
        for (char c : text) {
            pending_.push_back(c);
            if (c == '\r') pending_.append(kEraseToEndOfLine);
        }
    } else {
        pending_.append(text);
    }
    if (text.find('\n') == std::string_view::npos) return {};
    return write_front(pending_.rfind('\n') + 1);
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

void write_to_stderr(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace tarnvel
