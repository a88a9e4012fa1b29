#include "bin/tarnvel-fw/metrics_report.hpp"

#include <fmt/format.h>

#include <array>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "base/utf8.hpp"
#include "update/decision.hpp"
#include "update/outcome.hpp"

namespace tarnvel::fw {
namespace {

using Labels = std::vector<std::pair<std::string_view, std::string>>;

// The states a journal record's write can be in, each a series of
// tarnvel_board_last_write_result named by its word in the outcome table.
constexpr std::array kWriteStates = {WriteState::Verified, WriteState::Failed,
                                     WriteState::Interrupted, WriteState::Writing};

// A label value as the format quotes it: backslash, double quote and line feed escaped, and
// UTF-8 whatever a hand-edited journal holds.
std::string label_value(std::string_view text) {
    std::string value = "\"";
    for (const char c : replace_invalid_utf8(text)) {
        switch (c) {
            case '\\': value += "\\\\"; break;
            case '"': value += "\\\""; break;
            case '\n': value += "\\n"; break;
            default: value += c;
        }
    }
    return value + "\"";
}

template <class T>
std::string text_or_empty(const std::optional<T>& value) {
    return value ? fmt::format("{}", *value) : std::string();
}

// What tells the boards apart: the node of a board found is its own, but a slot the journal
// knows may now hold a board of another kind at the same node.
Labels board_labels(const BoardListing& row) {
    return {{"node", row.board.devnode},
            {"pci", row.board.pci_address},
            {"kind", fmt::format("{}", static_cast<unsigned>(row.board.kind))}};
}

// A label has no null: an unsupported board's model and hardware are empty.
Labels info_labels(const BoardListing& row) {
    const auto model = row.board.model();
    Labels labels = board_labels(row);
    labels.emplace_back("model", std::string(model.value_or("")));
    labels.emplace_back("hardware", model ? row.board.hardware() : "");
    labels.emplace_back("firmware", text_or_empty(row.firmware()));
    labels.emplace_back("available", text_or_empty(row.available));
    labels.emplace_back("status", std::string(outcome_word(outcome_of(row.decision.status))));
    return labels;
}

class Exposition {
  public:
    // Starts the gauge `name`: every sample of it follows before the next one starts.
    void gauge(std::string_view name, std::string_view help) {
        name_ = name;
        text_ += fmt::format("# HELP {} {}\n# TYPE {} gauge\n", name, help, name);
    }
    void sample(const Labels& labels, std::int64_t value) {
        std::string label_text;
        for (const auto& [label, text] : labels) {
            label_text +=
                fmt::format("{}{}={}", label_text.empty() ? "" : ",", label, label_value(text));
        }
        text_ += labels.empty() ? fmt::format("{} {}\n", name_, value)
                                : fmt::format("{}{{{}}} {}\n", name_, label_text, value);
    }
    std::string take() { return std::move(text_); }

  private:
    std::string text_;
    std::string_view name_;
};

}  // namespace

std::string metrics_text(std::span<const BoardListing> rows, bool journal_read,
                         std::int64_t scraped_at) {
    Exposition out;
    out.gauge("tarnvel_board_info",
              "A tarnvel board as tarnvel-fw list reports it: model, hardware version, running "
              "firmware, the version of its archive's image and its status; always 1.");
    for (const BoardListing& row : rows) out.sample(info_labels(row), 1);

    out.gauge("tarnvel_board_firmware_version",
              "The firmware version the board runs (none for a missing board).");
    for (const BoardListing& row : rows) {
        if (const auto firmware = row.firmware()) out.sample(board_labels(row), *firmware);
    }

    out.gauge("tarnvel_board_update_available",
              "1 when tarnvel-fw update --yes would write the board: its status is "
              "update-available, interrupted or write-failed.");
    for (const BoardListing& row : rows) {
        out.sample(board_labels(row), row.decision.writes_unattended(false) ? 1 : 0);
    }

    out.gauge("tarnvel_board_power_cycle_pending",
              "1 when the board's flash holds a verified image that starts at the next power "
              "cycle.");
    for (const BoardListing& row : rows) {
        out.sample(board_labels(row),
                   row.decision.status == BoardStatus::PendingPowerCycle ? 1 : 0);
    }

    out.gauge("tarnvel_board_last_write_timestamp_seconds",
              "When the journal's last write of the board's flash started.");
    for (const BoardListing& row : rows) {
        if (!row.last_write) continue;
        if (const auto started = unix_seconds_of(row.last_write->started)) {
            out.sample(board_labels(row), *started);
        }
    }

    out.gauge("tarnvel_board_last_write_result",
              "How the journal's last write of the board's flash ended: 1 for its result "
              "(verified, failed, interrupted: it never ended, or writing: it is going on), 0 "
              "for the others.");
    for (const BoardListing& row : rows) {
        if (!row.last_write) continue;
        for (const WriteState state : kWriteStates) {
            const std::string_view result = outcome_word(outcome_of(state));
            Labels labels = board_labels(row);
            labels.emplace_back("result", std::string(result));
            out.sample(labels, record_result(*row.last_write) == result ? 1 : 0);
        }
    }

    out.gauge("tarnvel_journal_readable",
              "0 when the journal of writes could not be read: the boards it would weigh in on "
              "are then undecided.");
    out.sample({}, journal_read ? 1 : 0);

    out.gauge("tarnvel_scrape_timestamp_seconds",
              "When tarnvel-fw read the boards and the journal for these metrics.");
    out.sample({}, scraped_at);
    return out.take();
}

}  // namespace tarnvel::fw
