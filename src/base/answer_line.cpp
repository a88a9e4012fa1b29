#include "base/answer_line.hpp"

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

std::string AnswerReader::read_answer_line() {
    std::string line;
    for (;;) {
        if (begin_ == end_ && !refill()) break;
        const char* first = buffer_.data() + begin_;
        const char* last = buffer_.data() + end_;
        const char* feed = std::find(first, last, '\n');
        if (feed != last) {
            line.append(first, feed + 1);
            begin_ += static_cast<std::size_t>(feed + 1 - first);
            break;
        }
        line.append(first, last);
        begin_ = end_;
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
