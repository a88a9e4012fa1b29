#include "update/configuration_file.hpp"

#include <fmt/format.h>

#include <string>

#include "base/trusted_file.hpp"
#include "base/utf8.hpp"

namespace tarnvel {
namespace {

namespace fs = std::filesystem;

Error refused_at(const fs::path& file, std::size_t line, std::size_t column,
                 std::string_view problem) {
    // A problem of no place in the text (line 0) is one of the whole file.
    if (line == 0) {
        return Error::message(ErrorKind::InvalidInput,
                              printable(fmt::format("{}: {}", file.string(), problem)));
    }
    return Error::message(
        ErrorKind::InvalidInput,
        printable(fmt::format("{}: line {}, column {}: {}", file.string(), line, column, problem)));
}

bool starts(std::string_view text, std::size_t at, std::string_view with) {
    return text.substr(at, with.size()) == with;
}

bool key_character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == ' ' || c == '\t';
}

// Refuses a text larger or nested deeper than a configuration may be, before the parser sees
// it. Walks the text as TOML's lexer would, just far enough to tell strings and comments from
// the rest: outside them every '[' and '{' opens a level until its closing bracket, and every
// dot in a run of key characters and quoted names (a dotted key, or a table's name) goes one
// level deeper. A float or a date has one dot in such a run, never more.
Status check_bounds(std::string_view text, const fs::path& file) {
    if (text.size() > kLargestConfiguration) {
        return std::unexpected(refused_at(
            file, 1, 1,
            fmt::format("larger than a configuration may be ({} bytes)", kLargestConfiguration)));
    }
    enum class In : std::uint8_t { Text, Comment, Basic, Literal, LongBasic, LongLiteral };
    In in = In::Text;
    std::size_t line = 1;
    std::size_t line_start = 0;
    std::size_t brackets = 0;
    std::size_t dots = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
            line_start = i + 1;
        }
        switch (in) {
            case In::Comment:
                if (c == '\n') in = In::Text;
                continue;
            case In::Basic:
            case In::LongBasic:
                if (c == '\\' && i + 1 < text.size()) {
                    if (text[i + 1] == '\n') {
                        ++line;
                        line_start = i + 2;
                    }
                    ++i;
                } else if (in == In::LongBasic && starts(text, i, R"(""")")) {
                    i += 2;
                    in = In::Text;
                } else if (in == In::Basic && (c == '"' || c == '\n')) {
                    in = In::Text;
                }
                continue;
            case In::Literal:
                if (c == '\'' || c == '\n') in = In::Text;
                continue;
            case In::LongLiteral:
                if (starts(text, i, "'''")) {
                    i += 2;
                    in = In::Text;
                }
                continue;
            case In::Text: break;
        }
        bool deeper = false;
        if (c == '#') {
            in = In::Comment;
        } else if (c == '"') {
            in = starts(text, i, R"(""")") ? In::LongBasic : In::Basic;
            if (in == In::LongBasic) i += 2;
        } else if (c == '\'') {
            in = starts(text, i, "'''") ? In::LongLiteral : In::Literal;
            if (in == In::LongLiteral) i += 2;
        } else if (c == '[' || c == '{') {
            ++brackets;
            dots = 0;
            deeper = true;
        } else if (c == ']' || c == '}') {
            if (brackets > 0) --brackets;
            dots = 0;
        } else if (c == '.') {
            ++dots;
            deeper = true;
        } else if (!key_character(c)) {
            dots = 0;
        }
        if (deeper && brackets + dots > kDeepestConfiguration) {
            return std::unexpected(refused_at(
                file, line, i - line_start + 1,
                fmt::format("tables, lists and dotted keys nest deeper than a configuration "
                            "may ({} levels)",
                            kDeepestConfiguration)));
        }
    }
    return {};
}

}  // namespace

Error configuration_refusal(const fs::path& file, const toml::source_region& where,
                            std::string_view problem) {
    return refused_at(file, where.begin.line, where.begin.column, problem);
}

Result<toml::table> parse_configuration(std::string_view text, const fs::path& file) {
    if (auto bounded = check_bounds(text, file); !bounded) {
        return std::unexpected(bounded.error());
    }
    try {
        return toml::parse(text, file.string());
    } catch (const toml::parse_error& error) {
        return std::unexpected(configuration_refusal(file, error.source(), error.description()));
    }
}

Result<std::optional<toml::table>> read_configuration_file(const fs::path& file) {
    auto text = read_trusted_file(file, kLargestConfiguration);
    if (!text) return std::unexpected(text.error());
    if (!*text) return std::nullopt;
    auto table = parse_configuration(**text, file);
    if (!table) return std::unexpected(table.error());
    return std::move(*table);
}

}  // namespace tarnvel
