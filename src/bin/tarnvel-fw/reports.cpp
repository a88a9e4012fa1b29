#include "bin/tarnvel-fw/reports.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <vector>

#include "base/utf8.hpp"
#include "bin/tarnvel-fw/board_selection.hpp"
#include "update/board_identity.hpp"

namespace tarnvel::fw {
namespace {

using Json = nlohmann::ordered_json;

template <class T>
Json or_null(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

// The keys every board object starts with; an unsupported board has no model and no hardware.
Json board_object(const BoardIdentity& board) {
    const auto model = board.model();
    return Json{
        {"node", board.devnode},
        {"model", model ? Json(std::string(*model)) : Json(nullptr)},
        {"kind", static_cast<unsigned>(board.kind)},
        {"hardware", model ? Json(board.hardware()) : Json(nullptr)},
    };
}

Json record_json(const WriteRecord& record) {
    const WriteStart& start = record.start;
    const std::optional<WriteEnd>& end = record.end;
    const std::optional<RebootNote>& reboot = record.reboot;
    return Json{
        {"id", record.id},
        {"pci", start.pci_address},
        {"node", start.devnode},
        {"model", start.model.empty() ? Json(nullptr) : Json(start.model)},
        {"kind", start.kind},
        {"hardware", start.hardware},
        {"firmware_before", start.firmware_before},
        {"image_version", or_null(start.image_version)},
        {"image_size", start.image_size},
        {"image_sha256", start.image_sha256},
        {"image_archive", or_null(start.image_archive)},
        {"image_entry", or_null(start.image_entry)},
        {"image_file", or_null(start.image_file)},
        {"program", start.program},
        {"user", start.user},
        {"boot_id", start.boot_id},
        {"started", record.started},
        {"ended", or_null(record.ended)},
        {"result", record_result(record)},
        {"error", end ? or_null(end->error) : Json(nullptr)},
        {"flash_changed", end ? Json(end->flash_changed) : Json(nullptr)},
        {"blocks", end ? Json(end->blocks) : Json(nullptr)},
        {"blocks_written", end ? Json(end->blocks_written) : Json(nullptr)},
        {"blocks_unchanged", end ? Json(end->blocks_unchanged) : Json(nullptr)},
        {"retries", end ? Json(end->retries) : Json(nullptr)},
        {"stopped", end ? Json(end->stopped) : Json(nullptr)},
        {"reboot_requested", reboot ? Json(reboot->requested) : Json(nullptr)},
        {"version_after", reboot ? or_null(reboot->version_after) : Json(nullptr)},
        {"reboot_error", reboot ? or_null(reboot->error) : Json(nullptr)},
    };
}

Json record_or_null(const std::optional<WriteRecord>& record) {
    return record ? record_json(*record) : Json(nullptr);
}

// Texts a board reports need not be UTF-8: such bytes are replaced, never a reason to fail.
std::string document(const Json& json) {
    return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

template <class T>
std::string text_or_dash(const std::optional<T>& value) {
    return value ? fmt::format("{}", *value) : "-";
}

// What a write did with the blocks, for the text after its result: "3 blocks written, 13
// already held the image, 2 blocks written again"; empty when there is nothing to say.
std::string blocks_text(std::optional<std::int64_t> written, std::int64_t unchanged,
                        std::int64_t retries) {
    std::vector<std::string> parts;
    if (written)
        parts.push_back(fmt::format("{} block{} written", *written, *written == 1 ? "" : "s"));
    if (unchanged != 0) parts.push_back(fmt::format("{} already held the image", unchanged));
    if (retries != 0) parts.push_back(fmt::format("{} blocks written again", retries));
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
    return text.empty() ? text : " (" + text + ")";
}

}  // namespace

std::string_view record_result(const WriteRecord& record) {
    if (!record.end) return "interrupted";
    return record.end->verified ? "verified" : "failed";
}

std::string list_json(std::span<const BoardListing> rows) {
    Json array = Json::array();
    for (const BoardListing& row : rows) {
        Json object = board_object(row.board);
        object["firmware"] = or_null(row.firmware());
        object["archive"] = or_null(row.archive);
        object["available"] = or_null(row.available);
        object["status"] = status_word(row.decision.status);
        object["reason"] = or_null(row.decision.reason);
        object["pci"] = row.board.pci_address;
        object["last_write"] = record_or_null(row.last_write);
        array.push_back(std::move(object));
    }
    return document(array);
}

std::string list_table(std::span<const BoardListing> rows) {
    using Row = std::array<std::string, 7>;
    std::vector<Row> table_rows{{"NODE", "PCI", "MODEL", "HW", "FIRMWARE", "AVAILABLE", "STATUS"}};
    std::vector<std::string> reasons{""};
    for (const BoardListing& row : rows) {
        const auto model = row.board.model();
        table_rows.push_back({printable(row.board.devnode),
                              row.board.pci_address.empty() ? "-" : printable(row.board.pci_address),
                              std::string(model.value_or("-")),
                              model ? row.board.hardware() : "-", text_or_dash(row.firmware()),
                              text_or_dash(row.available),
                              std::string(status_word(row.decision.status))});
        reasons.push_back(printable(row.decision.reason.value_or("")));
    }
    std::array<std::size_t, 7> widths{};
    for (const Row& row : table_rows) {
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    std::string table;
    for (std::size_t r = 0; r < table_rows.size(); ++r) {
        std::string line;
        for (std::size_t i = 0; i < table_rows[r].size(); ++i) {
            line += fmt::format("{:<{}}  ", table_rows[r][i], widths[i]);
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
        const BoardUpdateReport& r = outcome.report;
        const std::optional<ReportedIdentity>& after = r.after;
        Json object = board_object(r.board);
        object["result"] = result_word(r.result);
        object["firmware_before"] = r.board.fw_version;
        object["firmware_after"] = after ? or_null(after->firmware) : Json(nullptr);
        object["image_version"] = or_null(r.image_version);
        object["rebooted"] = r.rebooted;
        object["retries"] = r.retries;
        object["error"] = or_null(outcome.error);
        object["pci"] = r.board.pci_address;
        object["image_sha256"] = or_null(r.image_sha256);
        object["version_after"] = after ? or_null(after->version) : Json(nullptr);
        object["hardware_after"] = after && after->hardware
                                       ? Json(hardware_text(after->hardware->first,
                                                            after->hardware->second))
                                       : Json(nullptr);
        object["blocks_written"] = r.programmed ? Json(r.blocks_written) : Json(nullptr);
        object["blocks_unchanged"] = r.programmed ? Json(r.blocks_unchanged) : Json(nullptr);
        boards.push_back(std::move(object));
    }
    return document(Json{{"ok", ok}, {"boards", std::move(boards)}});
}

std::string update_text(std::span<const UpdateOutcome> outcomes) {
    std::string text;
    for (const UpdateOutcome& o : outcomes) {
        const BoardUpdateReport& r = o.report;
        const std::uint16_t before = r.board.fw_version;
        std::string what;
        switch (r.result) {
            case UpdateResult::Updated:
                what = r.image_version
                           ? fmt::format("updated from firmware {} to {}", before, *r.image_version)
                           : fmt::format("image file written over firmware {}", before);
                what += r.rebooted
                            ? fmt::format(", rebooted, reports firmware {}",
                                          text_or_dash(r.after ? r.after->firmware : std::nullopt))
                            : ", not rebooted: the new firmware runs after the next power cycle";
                break;
            case UpdateResult::UpToDate:
                what = fmt::format("up to date: firmware {}, image {} (--force writes it anyway)",
                                   before, text_or_dash(r.image_version));
                break;
            case UpdateResult::PendingPowerCycle:
                what = fmt::format("awaits a power cycle: {} (--force writes it again)",
                                   o.note.value_or(""));
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
        const bool updated = r.result == UpdateResult::Updated;
        what += blocks_text(updated && r.programmed ? std::optional<std::int64_t>(r.blocks_written)
                                                    : std::nullopt,
                            updated ? r.blocks_unchanged : 0, r.retries);
        // What an update that succeeded could not record.
        if (updated && o.error) what += "; " + *o.error;
        text += board_line(r.board, what);
    }
    return text;
}

std::string verify_json(std::span<const VerifyOutcome> outcomes, bool ok) {
    Json boards = Json::array();
    for (const VerifyOutcome& outcome : outcomes) {
        Json object = board_object(outcome.board);
        object["firmware"] = outcome.board.fw_version;
        object["result"] = result_word(outcome.result);
        object["image_version"] = or_null(outcome.image_version);
        object["bytes"] = or_null(outcome.bytes);
        object["blocks"] = or_null(outcome.blocks);
        object["first_difference"] = or_null(outcome.first_difference);
        object["differing_blocks"] = or_null(outcome.differing_blocks);
        object["error"] = or_null(outcome.error);
        object["pci"] = outcome.board.pci_address;
        object["last_write"] = record_or_null(outcome.last_write);
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
        text += board_line(o.board, what);
    }
    return text;
}

std::string history_json(std::span<const WriteRecord> records) {
    Json array = Json::array();
    for (const WriteRecord& record : records) array.push_back(record_json(record));
    return document(array);
}

std::string history_text(std::span<const WriteRecord> records) {
    std::string text;
    for (const WriteRecord& r : records) {
        const WriteStart& start = r.start;
        const std::string image =
            start.image_version
                ? fmt::format("image {} from {}:{}", *start.image_version,
                              start.image_archive.value_or("-"), start.image_entry.value_or("-"))
                : fmt::format("image file {}", start.image_file.value_or("-"));
        std::string outcome;
        if (!r.end) {
            outcome = "INTERRUPTED: never ended, the flash holds a partial image";
        } else if (r.end->verified) {
            outcome = "verified" +
                      blocks_text(r.end->blocks_written, r.end->blocks_unchanged, r.end->retries);
        } else {
            outcome = fmt::format("FAILED: {}{}", r.end->error.value_or(""),
                                  r.end->flash_changed ? ", the flash holds a partial image"
                                                       : ", the flash was not changed");
        }
        if (r.end && r.end->stopped) outcome += "; stopped by a signal";
        if (r.reboot && !r.reboot->requested) outcome += "; not rebooted";
        if (r.reboot && r.reboot->requested) {
            outcome += r.reboot->error ? fmt::format("; the reboot failed: {}", *r.reboot->error)
                       : r.reboot->version_after
                           ? fmt::format("; rebooted, reports \"{}\"", *r.reboot->version_after)
                           : std::string("; rebooted, reports no version");
        }
        // One line per record, whatever its texts hold.
        text += printable(fmt::format(
                    "{} #{} {} ({} v{}, PCI {}) by {} ({}): firmware {}, {} ({} bytes, sha256 {}): {}",
                    r.started, r.id, start.devnode, start.model, start.hardware, start.pci_address,
                    start.program, start.user, start.firmware_before, image, start.image_size,
                    start.image_sha256, outcome)) +
                "\n";
    }
    return text;
}

}  // namespace tarnvel::fw
