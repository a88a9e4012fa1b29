#include "terminal_screen.hpp"

#include <gtest/gtest.h>

namespace tarnvel::testing {

std::vector<std::string> render_terminal(std::string_view bytes) {
    constexpr std::string_view kEraseToEndOfLine = "\x1b[K";
    constexpr std::size_t kTabStop = 8;
    std::vector<std::string> lines(1);
    std::size_t column = 0;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::string& line = lines.back();
        const char c = bytes[at];
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.emplace_back();
            column = 0;
        } else if (c == '\t') {
            column = (column / kTabStop + 1) * kTabStop;
        } else if (bytes.substr(at).starts_with(kEraseToEndOfLine)) {
            if (column < line.size()) line.resize(column);
            at += kEraseToEndOfLine.size() - 1;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            ADD_FAILURE() << "control byte " << static_cast<int>(c) << " at offset " << at;
        } else {
            if (line.size() <= column) line.resize(column + 1, ' ');
            line[column++] = c;
        }
    }
    for (auto& line : lines) line.erase(line.find_last_not_of(' ') + 1);
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

}  // namespace tarnvel::testing
