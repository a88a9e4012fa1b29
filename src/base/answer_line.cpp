#include "base/answer_line.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/utf8.hpp"

namespace tarnvel {
namespace {

// Code points with the Unicode White_Space property.
bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

bool AnswerReader::refill() {
    begin_ = 0;
    end_ = 0;
    for (;;) {
        if (end_fd_ >= 0) {
            std::array<pollfd, 2> fds{{{fd_, POLLIN, 0}, {end_fd_, POLLIN, 0}}};
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (fds[1].revents != 0) return false;
        }
        const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
        if (n > 0) {
            end_ = static_cast<std::size_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        // End of input, a closed descriptor, or any other failure: the line ends here.
        return false;
    }
}

template <class Take>
bool AnswerReader::consume_up_to_line_feed(std::size_t room, Take take) {
    const char* first = buffer_.data() + begin_;
    const char* last = first + std::min(end_ - begin_, room);
    const char* feed = std::find(first, last, '\n');
    const char* stop = feed != last ? feed + 1 : last;
    take(first, stop);
    begin_ += static_cast<std::size_t>(stop - first);
    return feed != last;
}

bool AnswerReader::skip_rest_of_line() {
    std::size_t skipped = 0;
    while (skipped < line_limit_) {
        if (begin_ == end_ && !refill()) {
            // The input ended the line.
            in_overlong_line_ = false;
            return false;
        }
        const bool ended = consume_up_to_line_feed(
            line_limit_ - skipped,
            [&](const char* first, const char* stop) { skipped += stop - first; });
        if (ended) {
            in_overlong_line_ = false;
            return true;
        }
    }
    return false;
}

std::string AnswerReader::read_answer_line() {
    if (in_overlong_line_ && !skip_rest_of_line()) return {};
    std::string line;
    for (;;) {
        if (line.size() == line_limit_) {
            in_overlong_line_ = true;
            return {};
        }
        if (begin_ == end_ && !refill()) break;
        const bool ended = consume_up_to_line_feed(
            line_limit_ - line.size(),
            [&](const char* first, const char* stop) { line.append(first, stop); });
        if (ended) break;
    }
    if (!is_valid_utf8(line)) line.clear();
    return line;
}

bool is_yes_answer(std::string_view line) {
    const auto code_points = decode_utf8(line);
    if (!code_points) return false;
    std::u32string_view text = *code_points;
    while (!text.empty() && is_white_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_white_space(text.back())) text.remove_suffix(1);
    // Lower-casing neither makes nor unmakes white space, so trimming first changes nothing, and
    // 'Y' is the only code point whose full lower-case mapping is "y" (a multi-character
    // mapping never yields a lone "y"), so this is the lower-cased line compared with "y".
    return text.size() == 1 && (text.front() == U'y' || text.front() == U'Y');
}

}  // namespace tarnvel
