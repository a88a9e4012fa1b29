#include "bin/tarnvel-fw/help_text.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace tarnvel::fw {
namespace {

constexpr std::size_t kNarrowest = 40;
constexpr std::size_t kDefaultWidth = 80;

// One line of `text`, broken as wrap_text says.
void wrap_line(std::string_view line, std::size_t width, std::size_t hanging, std::string& out) {
    const std::size_t indent = line.find_first_not_of(' ');
    if (indent == std::string_view::npos) return;
    const std::size_t columns = line.find("  ", indent);
    const std::size_t second = columns == std::string_view::npos
                                   ? std::string_view::npos
                                   : line.find_first_not_of(' ', columns);
    const std::string continuation(
        second != std::string_view::npos && second < width / 2 ? second : indent + hanging, ' ');
    std::size_t at = indent;
    std::size_t column = indent;
    out.append(line.substr(0, indent));
    while (at < line.size()) {
        // A word and the blanks before it, kept as they are while the line goes on.
        const std::size_t start = line.find_first_not_of(' ', at);
        if (start == std::string_view::npos) break;
        const std::size_t end = std::min(line.find(' ', start), line.size());
        const std::size_t blanks = start - at;
        if (column > continuation.size() && column + blanks + (end - start) > width) {
            out += '\n';
            out += continuation;
            column = continuation.size();
        } else {
            out.append(blanks, ' ');
            column += blanks;
        }
        out.append(line.substr(start, end - start));
        column += end - start;
        at = end;
    }
}

}  // namespace

std::size_t help_width() {
    winsize size{};
    if (::isatty(STDOUT_FILENO) != 0 && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 &&
        size.ws_col > 0) {
        return std::max<std::size_t>(size.ws_col, kNarrowest);
    }
    if (const char* columns = std::getenv("COLUMNS")) {
        const std::string_view text(columns);
        std::size_t width = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), width);
        if (error == std::errc() && end == text.data() + text.size() && width > 0) {
            return std::max(width, kNarrowest);
        }
    }
    return kDefaultWidth;
}

std::string wrap_text(std::string_view text, std::size_t width, std::size_t hanging) {
    std::string out;
    while (true) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        // Blanks inside a line are kept where it fits whole: a table's columns stay aligned.
        if (line.size() <= width) {
            out.append(line);
        } else {
            wrap_line(line, width, hanging, out);
        }
        if (end == std::string_view::npos) break;
        out += '\n';
        text.remove_prefix(end + 1);
    }
    return out;
}

}  // namespace tarnvel::fw
