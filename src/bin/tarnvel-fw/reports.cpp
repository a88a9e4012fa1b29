#include "bin/tarnvel-fw/reports.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <tuple>
#include <vector>

#include "base/utf8.hpp"
#include "bin/tarnvel-fw/board_selection.hpp"
#include "update/board_identity.hpp"
#include "journal/host.hpp"
#include "update/rollback.hpp"

namespace tarnvel::fw {
namespace {

// What a record's backup holds, in words.
std::string backup_holding_text(const WriteStart& start) {
    if (!start.backup_holds) return "content not labelled";
    WriteRecord labelled;
    labelled.start = start;
    return firmware_text(backup_label(labelled));
}

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

// The machine now, once for the run: whether a write that never ended is going on.
const HostNow& host_now() {
    static const HostNow host = HostNow::current();
    return host;
}

std::optional<double> seconds_of(std::optional<std::int64_t> milliseconds) {
    if (!milliseconds) return std::nullopt;
    return static_cast<double>(*milliseconds) / 1000;
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
        {"requested_by", or_null(start.requested_by)},
        {"pid", start.writer ? Json(start.writer->pid) : Json(nullptr)},
        {"duration_seconds", or_null(seconds_of(record.duration_ms()))},
        {"completed_by", or_null(record.completed_by)},
        {"retired", or_null(record.retired)},
        {"retired_by", or_null(record.retired_by)},
        {"backup_file", or_null(start.backup_file)},
        {"backup_sha256", or_null(start.backup_sha256)},
        {"backup_skipped", start.backup_skipped},
        {"backup_of", or_null(start.backup_of)},
        {"signature_key_id", or_null(start.signature_key_id)},
        {"signature_comment", or_null(start.signature_comment)},
        {"rollback_of", or_null(start.backup_of)},
        {"backup_size", or_null(start.backup_size)},
        {"backup_holds", or_null(start.backup_holds)},
        {"backup_version", or_null(start.backup_version)},
        {"backup_image_sha256", or_null(start.backup_image_sha256)},
        {"backup_present", or_null(record.backup_present)},
    };
}

Json record_or_null(const std::optional<WriteRecord>& record) {
    return record ? record_json(*record) : Json(nullptr);
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

// A write a stop signal ended part-way, as the history says it.
std::string stopped_text(const WriteEnd& end, std::string_view replaced, bool was_replaced) {
    if (!end.flash_changed) return "stopped by a stop signal before it changed the flash";
    const std::string after =
        fmt::format("after {} of {} blocks", end.blocks_written + end.blocks_unchanged, end.blocks);
    return was_replaced
               ? fmt::format("stopped by a stop signal {}{}", after, replaced)
               : fmt::format("STOPPED by a stop signal {}, the flash holds a partial image", after);
}

}  // namespace

std::string_view signature_word(SignatureState state) {
    switch (state) {
        case SignatureState::Unsigned: return "unsigned";
        case SignatureState::Verified: return "verified";
        case SignatureState::UntrustedKey: return "untrusted-key";
        case SignatureState::Bad: return "bad";
    }
    return "bad";
}

std::string_view record_result(const WriteRecord& record) {
    switch (write_state(record, host_now())) {
        case WriteState::Verified: return "verified";
        case WriteState::Failed: return "failed";
        case WriteState::Interrupted: return "interrupted";
        case WriteState::Writing: return "writing";
    }
    return "interrupted";
}

std::string_view status_text(const Decision& decision) {
    if (decision.status == BoardStatus::WriteFailed && decision.stopped) return "stopped";
    return status_word(decision.status);
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
        object["backup_record"] = or_null(row.backup_record);
        object["image_sha256"] = or_null(row.image_sha256);
        object["stopped"] = row.decision.stopped;
        const std::optional<SignatureCheck>& signature = row.signature;
        object["signature"] = signature ? Json(signature_word(signature->state)) : Json(nullptr);
        object["signature_key_id"] = signature ? or_null(signature->key_id) : Json(nullptr);
        object["signature_comment"] =
            signature ? or_null(signature->trusted_comment) : Json(nullptr);
        object["signature_reason"] = or_null(row.signature_refused);
        object["rolled_back"] = row.rolled_back;
        array.push_back(std::move(object));
    }
    return document(array);
}

std::string list_table(std::span<const BoardListing> rows) {
    using Row = std::array<std::string, 10>;
    std::vector<Row> table_rows{{"NODE", "PCI", "MODEL", "HW", "FIRMWARE", "ARCHIVE", "AVAILABLE",
                                 "IMAGE_SHA256", "BACKUP", "STATUS"}};
    std::vector<std::string> reasons{""};
    for (const BoardListing& row : rows) {
        const auto model = row.board.model();
        table_rows.push_back(
            {printable(row.board.devnode),
             row.board.pci_address.empty() ? "-" : printable(row.board.pci_address),
             std::string(model.value_or("-")), model ? row.board.hardware() : "-",
             text_or_dash(row.firmware()), printable(text_or_dash(row.archive)),
             text_or_dash(row.available), row.image_sha256.value_or("-"),
             row.backup_record ? fmt::format("#{}", *row.backup_record) : "-",
             std::string(status_text(row.decision))});
        reasons.push_back(printable(row.decision.reason.value_or("")));
    }
    std::array<std::size_t, std::tuple_size_v<Row>> widths{};
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
        object["hardware_after"] =
            after && after->hardware
                ? Json(hardware_text(after->hardware->first, after->hardware->second))
                : Json(nullptr);
        object["blocks_written"] = r.programmed ? Json(r.blocks_written) : Json(nullptr);
        object["blocks_unchanged"] = r.programmed ? Json(r.blocks_unchanged) : Json(nullptr);
        object["record_id"] = or_null(r.record);
        object["signature"] =
            r.signature ? Json(signature_word(r.signature->state)) : Json(nullptr);
        object["signature_key_id"] = r.signature ? or_null(r.signature->key_id) : Json(nullptr);
        object["signature_comment"] =
            r.signature ? or_null(r.signature->trusted_comment) : Json(nullptr);
        if (const std::optional<BoardUpdateReport>& back = outcome.rollback) {
            const std::optional<ReportedIdentity>& again = back->after;
            object["rollback"] = Json{
                {"result", result_word(back->result)},
                {"record_id", or_null(back->record)},
                {"image_version", or_null(back->image_version)},
                {"rebooted", back->rebooted},
                {"firmware_after", again ? or_null(again->firmware) : Json(nullptr)},
                {"version_after", again ? or_null(again->version) : Json(nullptr)},
            };
        } else {
            object["rollback"] = nullptr;
        }
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
        const std::string image =
            r.image_version ? fmt::format("image {}", *r.image_version) : "the image file";
        // The version the board runs, written again (--force): nothing new to start.
        const bool same_version = r.image_version && *r.image_version == before;
        const std::string reboot =
            r.rebooted     ? fmt::format(", rebooted, reports firmware {}",
                                         text_or_dash(r.after ? r.after->firmware : std::nullopt))
            : same_version ? ", not rebooted: the board runs this version already"
                           : ", not rebooted: the new firmware runs after the next power cycle";
        switch (r.result) {
            case UpdateResult::Updated:
                what = r.image_backup_of && r.image_version
                           ? fmt::format(
                                 "rolled back to firmware {} (the backup of record #{}) "
                                 "over firmware {}",
                                 *r.image_version, *r.image_backup_of, before)
                       : r.image_backup_of
                           ? fmt::format("the backup of record #{} written back over firmware {}",
                                         *r.image_backup_of, before)
                       : same_version ? fmt::format("firmware {} written again", before)
                       : r.image_version
                           ? fmt::format("updated from firmware {} to {}", before, *r.image_version)
                           : fmt::format("image file written over firmware {}", before);
                what += reboot;
                break;
            case UpdateResult::Unchanged:
                what = fmt::format(
                    "unchanged: the flash already held {}, nothing was erased or "
                    "written",
                    image);
                if (r.rebooted) what += reboot;
                break;
            case UpdateResult::UpToDate:
                what = fmt::format("up to date: firmware {}, image {} (--force writes it anyway)",
                                   before, text_or_dash(r.image_version));
                break;
            case UpdateResult::BoardNewer:
                what = fmt::format("board newer: {}; --force writes the older image",
                                   r.decision->reason.value_or(""));
                break;
            case UpdateResult::Writing:
                what = fmt::format("being written: {}", r.decision->reason.value_or(""));
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
            case UpdateResult::NoArchive: what = "no archive: " + o.error.value_or(""); break;
            case UpdateResult::NoImage: what = "no image: " + o.error.value_or(""); break;
            case UpdateResult::Unsupported: what = "not a supported board"; break;
            case UpdateResult::NotAttempted:
                what = "not attempted: " + o.error.value_or("the run ended before this board");
                break;
            case UpdateResult::Missing:
                what = fmt::format("MISSING in PCI slot {}: {}", r.board.pci_address,
                                   o.error.value_or(""));
                break;
            case UpdateResult::Blocked:
            case UpdateResult::NotApproved:
            case UpdateResult::Unsigned:
            case UpdateResult::UntrustedSignature:
            case UpdateResult::BadSignature: what = "NOT WRITTEN: " + o.error.value_or(""); break;
            case UpdateResult::Stopped: what = "STOPPED: " + o.error.value_or(""); break;
            case UpdateResult::HeldBack:
                what = fmt::format("held back: {}", r.decision->reason.value_or(""));
                break;
            case UpdateResult::RolledBack: what = "ROLLED BACK: " + o.error.value_or(""); break;
        }
        // An unchanged write wrote no block: it only says how many it found holding the image.
        const bool updated = r.result == UpdateResult::Updated;
        const bool written = updated || r.result == UpdateResult::Unchanged;
        what +=
            blocks_text(updated && r.programmed ? std::optional(r.blocks_written) : std::nullopt,
                        written ? r.blocks_unchanged : 0, r.retries);
        // What a write that succeeded could not record.
        if (written && o.error) what += "; " + *o.error;
        if (written && r.signature && r.signature->state == SignatureState::Verified) {
            what += fmt::format("; signed by key {}: \"{}\"", r.signature->key_id.value_or(""),
                                r.signature->trusted_comment.value_or(""));
        }
        text += board_line(r.board, what);
    }
    return text;
}

std::string verify_json(std::span<const VerifyOutcome> outcomes, bool ok) {
    Json boards = Json::array();
    for (const VerifyOutcome& outcome : outcomes) {
        Json object = board_object(outcome.board);
        object["firmware"] = outcome.result == VerifyResult::Missing
                                 ? Json(nullptr)
                                 : Json(outcome.board.fw_version);
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
            case VerifyResult::NoArchive: what = "no archive: " + o.error.value_or(""); break;
            case VerifyResult::NoImage: what = "no image: " + o.error.value_or(""); break;
            case VerifyResult::Missing:
                what = fmt::format("MISSING in PCI slot {}: {}", o.board.pci_address,
                                   o.error.value_or(""));
                break;
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
            start.backup_of ? fmt::format("the backup of record #{}", *start.backup_of)
            : start.image_version
                ? fmt::format("image {} from {}:{}", *start.image_version,
                              start.image_archive.value_or("-"), start.image_entry.value_or("-"))
                : fmt::format("image file {}", start.image_file.value_or("-"));
        // A partial image that a later verified write replaced is history: said in the past.
        const std::string replaced =
            r.completed_by
                ? fmt::format("; the partial image it left was replaced by #{}", *r.completed_by)
                : "";
        std::string outcome;
        switch (write_state(r, host_now())) {
            case WriteState::Writing:
                outcome = fmt::format("WRITING: in progress in process {}", start.writer->pid);
                break;
            case WriteState::Interrupted:
                outcome = r.completed_by ? "interrupted: never ended" + replaced
                                         : "INTERRUPTED: never ended, the flash holds a partial "
                                           "image";
                break;
            case WriteState::Verified:
                outcome = "verified" + blocks_text(r.end->blocks_written, r.end->blocks_unchanged,
                                                   r.end->retries);
                break;
            case WriteState::Failed:
                // A stop signal's end is said in the words the update said it in.
                outcome =
                    r.end->stopped ? stopped_text(*r.end, replaced, r.completed_by.has_value())
                    : !r.end->flash_changed ? fmt::format("FAILED: {}, the flash was not changed",
                                                          r.end->error.value_or(""))
                    : r.completed_by
                        ? fmt::format("failed: {}{}", r.end->error.value_or(""), replaced)
                        : fmt::format("FAILED: {}, the flash holds a partial image",
                                      r.end->error.value_or(""));
                break;
        }
        if (start.signature_key_id) {
            outcome += fmt::format("; signed by key {}, trusted comment \"{}\"",
                                   *start.signature_key_id, start.signature_comment.value_or(""));
        }
        if (start.backup_file) {
            outcome += fmt::format("; what it overwrote ({}) {} {}", backup_holding_text(start),
                                   r.backup_present == false ? "was kept in" : "kept in",
                                   *start.backup_file);
            if (r.backup_present == false) outcome += ", since removed";
        }
        if (start.backup_skipped) outcome += "; no backup, as asked";
        if (r.ended) {
            const auto duration = r.duration_ms();
            outcome += duration ? fmt::format("; ended {} after {:.1f} s", *r.ended,
                                              static_cast<double>(*duration) / 1000)
                                : fmt::format("; ended {}", *r.ended);
        }
        if (r.reboot && !r.reboot->requested) outcome += "; not rebooted";
        if (r.reboot && r.reboot->requested) {
            outcome += r.reboot->error ? fmt::format("; the reboot failed: {}", *r.reboot->error)
                       : r.reboot->version_after
                           ? fmt::format("; rebooted, reports \"{}\"", *r.reboot->version_after)
                           : std::string("; rebooted, reports no version");
        }
        if (r.retired) {
            outcome += fmt::format("; retired {} by {}: the board was forgotten", *r.retired,
                                   r.retired_by.value_or("-"));
        }
        // One line per record, whatever its texts hold.
        text += printable(fmt::format(
                    "{} #{} {} ({} v{}, PCI {}) by {} as {}{}, boot {}: firmware {}, {} ({} bytes, "
                    "sha256 {}): {}",
                    r.started, r.id, start.devnode, start.model, start.hardware, start.pci_address,
                    start.program, start.user,
                    start.requested_by ? fmt::format(" for {}", *start.requested_by) : "",
                    start.boot_id, start.firmware_before, image, start.image_size,
                    start.image_sha256, outcome)) +
                "\n";
    }
    return text;
}

}  // namespace tarnvel::fw
