#pragma once
// One line of a report, built once from what it reports, and rendered both ways: its cells are
// the JSON object's keys and values in their order, each with the text a readable table shows
// for it, and its line is the readable line of the record or board. A value added to a row
// shows in both forms.

#include <nlohmann/json.hpp>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnvel::fw {

using Json = nlohmann::ordered_json;

template <class T>
Json or_null(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

class ReportRow {
  public:
    // `text` is what a readable table shows for the value, when it is not the value's own
    // text (see text()).
    ReportRow& add(std::string_view key, Json value, std::optional<std::string> text = {});
    // Every cell of `other`, in its order.
    ReportRow& add(const ReportRow& other);

    Json object() const;
    // The readable text of the value at `key`: "-" for null, a missing key or an empty string,
    // texts with their control characters and bytes that are not UTF-8 made printable.
    std::string text(std::string_view key) const;

    std::string line;  // the readable line, with its line break

  private:
    struct Cell {
        std::string_view key;
        Json value;
        std::optional<std::string> text;
    };
    std::vector<Cell> cells_;
};

// A readable table's column: its heading and the key of its cells.
struct Column {
    std::string_view heading;
    std::string_view key;
};

// The rows as a table with a heading line, columns padded to their widest text; the value at
// `trailing`, when there is one, follows its row's last column in parentheses.
std::string table_text(std::span<const ReportRow> rows, std::span<const Column> columns,
                       std::string_view trailing);

// The rows' readable lines, one after another.
std::string lines_text(std::span<const ReportRow> rows);
// The rows' objects as a JSON array.
Json array_of(std::span<const ReportRow> rows);

// A JSON document as printed: indented, and safe to show on a terminal.
std::string document(const Json& json);

}  // namespace tarnvel::fw
