#include "bin/tarnvel-fw/report_row.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "base/utf8.hpp"

namespace tarnvel::fw {

ReportRow& ReportRow::add(std::string_view key, Json value, std::optional<std::string> text) {
    cells_.push_back({key, std::move(value), std::move(text)});
    return *this;
}

ReportRow& ReportRow::add(const ReportRow& other) {
    cells_.insert(cells_.end(), other.cells_.begin(), other.cells_.end());
    return *this;
}

Json ReportRow::object() const {
    Json object = Json::object();
    for (const Cell& cell : cells_) object[std::string(cell.key)] = cell.value;
    return object;
}

std::string ReportRow::text(std::string_view key) const {
    const auto cell = std::ranges::find(cells_, key, &Cell::key);
    if (cell == cells_.end()) return "-";
    if (cell->text) return *cell->text;
    const Json& value = cell->value;
    if (value.is_null()) return "-";
    if (!value.is_string()) return value.dump();
    const auto& text = value.get_ref<const std::string&>();
    return text.empty() ? "-" : printable(text);
}

std::string table_text(std::span<const ReportRow> rows, std::span<const Column> columns,
                       std::string_view trailing) {
    std::vector<std::vector<std::string>> texts(rows.size() + 1);
    std::vector<std::size_t> widths;
    for (const Column& column : columns) {
        texts[0].emplace_back(column.heading);
        widths.push_back(column.heading.size());
    }
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            texts[r + 1].push_back(rows[r].text(columns[i].key));
            widths[i] = std::max(widths[i], texts[r + 1][i].size());
        }
    }
    std::string table;
    for (std::size_t r = 0; r < texts.size(); ++r) {
        std::string line;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            line += fmt::format("{:<{}}  ", texts[r][i], widths[i]);
        }
        if (r > 0 && rows[r - 1].text(trailing) != "-") {
            line += "(" + rows[r - 1].text(trailing) + ")";
        }
        line.erase(line.find_last_not_of(' ') + 1);
        table += line + "\n";
    }
    return table;
}

std::string lines_text(std::span<const ReportRow> rows) {
    std::string text;
    for (const ReportRow& row : rows) text += row.line;
    return text;
}

Json array_of(std::span<const ReportRow> rows) {
    Json array = Json::array();
    for (const ReportRow& row : rows) array.push_back(row.object());
    return array;
}

// Texts a board reports need not be UTF-8: such bytes are replaced, never a reason to fail.
// The dump escapes C0 controls; DEL and the C1 controls (U+0080-U+009F, among them U+009B, a
// terminal's CSI) are escaped too, so that a document shown on a terminal drives nothing.
// Outside strings a document is ASCII, so every such byte is inside one.
std::string document(const Json& json) {
    const std::string dumped = json.dump(2, ' ', false, Json::error_handler_t::replace);
    std::string text;
    text.reserve(dumped.size() + 1);
    for (std::size_t i = 0; i < dumped.size(); ++i) {
        const auto byte = static_cast<unsigned char>(dumped[i]);
        const auto next = i + 1 < dumped.size() ? static_cast<unsigned char>(dumped[i + 1]) : 0;
        if (byte == 0x7F) {
            text += "\\u007f";
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            text += fmt::format("\\u{:04x}", next);
            ++i;
        } else {
            text += dumped[i];
        }
    }
    return text + "\n";
}

}  // namespace tarnvel::fw
