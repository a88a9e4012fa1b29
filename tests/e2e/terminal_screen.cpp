#include "terminal_screen.hpp"

#include <gtest/gtest.h>

#include <charconv>

namespace tarnvel::testing {

std::vector<std::string> render_terminal(std::string_view bytes) {
    constexpr std::size_t kTabStop = 8;
    std::vector<std::string> lines(1);
    std::size_t row = 0;
    std::size_t column = 0;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::string& line = lines[row];
        const char c = bytes[at];
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            if (++row == lines.size()) lines.emplace_back();
            column = 0;
        } else if (c == '\t') {
            column = (column / kTabStop + 1) * kTabStop;
        } else if (c == '\x1b' && at + 1 == bytes.size()) {
            break;  // the start of a sequence still to come
        } else if (c == '\x1b' && bytes.substr(at + 1).starts_with('[')) {
            // A control sequence: ESC [, an optional count, a final letter.
            std::size_t count = 1;
            const char* digits = bytes.data() + at + 2;
            const char* end = bytes.data() + bytes.size();
            const auto [after, error] = std::from_chars(digits, end, count);
            if (error != std::errc() && after == digits) count = 1;
            const std::size_t final_at = static_cast<std::size_t>(after - bytes.data());
            // A sequence cut off at the end has not arrived yet.
            if (final_at >= bytes.size()) break;
            const char final = bytes[final_at];
            if (final == 'K' && after == digits) {  // erase to the end of the line
                if (column < line.size()) line.resize(column);
            } else if (final == 'J' && after == digits) {  // erase to the end of the screen
                if (column < line.size()) line.resize(column);
                lines.resize(row + 1);
            } else if (final == 'A') {  // cursor up, no further than the first line
                row = count > row ? 0 : row - count;
            } else if (final == 'B') {  // cursor down
                row += count;
                if (row >= lines.size()) lines.resize(row + 1);
            } else {
                ADD_FAILURE() << "escape sequence at offset " << at;
            }
            at = final_at;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            ADD_FAILURE() << "control byte " << static_cast<int>(c) << " at offset " << at;
        } else {
            if (line.size() <= column) line.resize(column + 1, ' ');
            line[column++] = c;
        }
    }
    for (auto& line : lines) line.erase(line.find_last_not_of(' ') + 1);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

}  // namespace tarnvel::testing
