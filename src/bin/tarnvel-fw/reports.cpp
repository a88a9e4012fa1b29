#include "bin/tarnvel-fw/reports.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <vector>

#include "bin/tarnvel-fw/board_selection.hpp"

namespace tarnvel::fw {
namespace {

using Json = nlohmann::ordered_json;

template <class T>
Json or_null(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

// The keys every board object starts with.
Json board_object(const BoardDevice& board) {
    const bool known = board.kind != BoardKind::Unsupported;
    return Json{
        {"node", board.devnode},
        {"model", known ? Json(std::string(board_info(board.kind).model_name)) : Json(nullptr)},
        {"kind", static_cast<unsigned>(board.kind)},
        {"hardware",
         known ? Json(fmt::format("{}.{}", board.hw_major, board.hw_minor)) : Json(nullptr)},
    };
}

std::string document(const Json& json) {
    return json.dump(2) + "\n";
}

template <class T>
std::string text_or_dash(const std::optional<T>& value) {
    return value ? fmt::format("{}", *value) : "-";
}

}  // namespace

std::string list_json(std::span<const ListedBoard> boards) {
    Json array = Json::array();
    for (const auto& [board, entry] : boards) {
        Json object = board_object(*board);
        object["firmware"] = board->fw_version;
        object["archive"] = or_null(entry.archive);
        object["available"] = or_null(entry.available);
        object["status"] = status_word(entry.status);
        object["reason"] = or_null(entry.reason);
        array.push_back(std::move(object));
    }
    return document(array);
}

std::string list_table(std::span<const ListedBoard> boards) {
    using Row = std::array<std::string, 6>;
    std::vector<Row> rows{{"NODE", "MODEL", "HW", "FIRMWARE", "AVAILABLE", "STATUS"}};
    std::vector<std::string> reasons{""};
    for (const auto& [board, entry] : boards) {
        const bool known = board->kind != BoardKind::Unsupported;
        rows.push_back({board->devnode,
                        known ? std::string(board_info(board->kind).model_name) : "-",
                        known ? fmt::format("{}.{}", board->hw_major, board->hw_minor) : "-",
                        fmt::format("{}", board->fw_version), text_or_dash(entry.available),
                        std::string(status_word(entry.status))});
        reasons.push_back(entry.reason.value_or(""));
    }
    std::array<std::size_t, 6> widths{};
    for (const Row& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    std::string table;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (std::size_t i = 0; i < rows[r].size(); ++i) {
            line += fmt::format("{:<{}}  ", rows[r][i], widths[i]);
        }
        if (!reasons[r].empty()) line += "(" + reasons[r] + ")";
        line.erase(line.find_last_not_of(' ') + 1);
        table += line + "\n";
    }
    return table;
}

std::string update_json(std::span<const UpdateOutcome> outcomes, bool ok) {
    Json boards = Json::array();
    for (const UpdateOutcome& outcome : outcomes) {
        Json object = board_object(*outcome.board);
        object["result"] = result_word(outcome.result);
        object["firmware_before"] = outcome.firmware_before;
        object["firmware_after"] = or_null(outcome.firmware_after);
        object["image_version"] = or_null(outcome.image_version);
        object["rebooted"] = outcome.rebooted;
        object["retries"] = outcome.retries;
        object["error"] = or_null(outcome.error);
        boards.push_back(std::move(object));
    }
    return document(Json{{"ok", ok}, {"boards", std::move(boards)}});
}

std::string update_text(std::span<const UpdateOutcome> outcomes) {
    std::string text;
    for (const UpdateOutcome& o : outcomes) {
        std::string what;
        switch (o.result) {
            case UpdateResult::Updated:
                what = o.image_version
                           ? fmt::format("updated from firmware {} to {}", o.firmware_before,
                                         *o.image_version)
                           : fmt::format("image file written over firmware {}", o.firmware_before);
                what += o.rebooted ? fmt::format(", rebooted, reports firmware {}",
                                                 text_or_dash(o.firmware_after))
                                   : ", not rebooted: the new firmware runs after the next "
                                     "power cycle";
                break;
            case UpdateResult::UpToDate:
                what = fmt::format("up to date: firmware {}, image {} (--force writes it anyway)",
                                   o.firmware_before, text_or_dash(o.image_version));
                break;
            case UpdateResult::DynamicFirmware:
                what = "loads its firmware dynamically, nothing to write";
                break;
            case UpdateResult::Declined: what = "not written, as answered"; break;
            case UpdateResult::Failed: what = "FAILED: " + o.error.value_or(""); break;
            case UpdateResult::NoImage: what = "no image: " + o.error.value_or(""); break;
            case UpdateResult::Unsupported: what = "not a supported board"; break;
            case UpdateResult::NotAttempted:
                what = "not attempted: " + o.error.value_or("the run ended before this board");
                break;
        }
        if (o.retries > 0) what += fmt::format(" ({} blocks written again)", o.retries);
        text += fmt::format("{} ({}): {}\n", o.board->devnode, board_title(*o.board), what);
    }
    return text;
}

std::string verify_json(std::span<const VerifyOutcome> outcomes, bool ok) {
    Json boards = Json::array();
    for (const VerifyOutcome& outcome : outcomes) {
        Json object = board_object(*outcome.board);
        object["firmware"] = outcome.board->fw_version;
        object["result"] = result_word(outcome.result);
        object["image_version"] = or_null(outcome.image_version);
        object["bytes"] = or_null(outcome.bytes);
        object["blocks"] = or_null(outcome.blocks);
        object["first_difference"] = or_null(outcome.first_difference);
        object["differing_blocks"] = or_null(outcome.differing_blocks);
        object["error"] = or_null(outcome.error);
        boards.push_back(std::move(object));
    }
    return document(Json{{"ok", ok}, {"boards", std::move(boards)}});
}

std::string verify_text(std::span<const VerifyOutcome> outcomes) {
    std::string text;
    for (const VerifyOutcome& o : outcomes) {
        const std::string image =
            o.image_version ? fmt::format("image {}", *o.image_version) : "the image file";
        std::string what;
        switch (o.result) {
            case VerifyResult::Match:
                what = fmt::format("flash holds {} ({} bytes)", image, text_or_dash(o.bytes));
                break;
            case VerifyResult::Mismatch:
                what = fmt::format(
                    "MISMATCH with {}: first difference at byte 0x{:x}, {} of {} blocks differ",
                    image, o.first_difference.value_or(0), text_or_dash(o.differing_blocks),
                    text_or_dash(o.blocks));
                break;
            case VerifyResult::Failed: what = "FAILED: " + o.error.value_or(""); break;
            case VerifyResult::NoImage: what = "no image: " + o.error.value_or(""); break;
            case VerifyResult::Unsupported: what = "not a supported board"; break;
            case VerifyResult::DynamicFirmware:
                what = "loads its firmware dynamically, nothing to verify";
                break;
        }
        text += fmt::format("{} ({}): {}\n", o.board->devnode, board_title(*o.board), what);
    }
    return text;
}

}  // namespace tarnvel::fw
