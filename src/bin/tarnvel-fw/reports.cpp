#include "bin/tarnvel-fw/reports.hpp"

#include <fmt/format.h>

#include <array>
#include <vector>

#include "base/utf8.hpp"
#include "bin/tarnvel-fw/board_selection.hpp"
#include "bin/tarnvel-fw/report_row.hpp"
#include "journal/host.hpp"
#include "update/board_identity.hpp"
#include "update/outcome.hpp"
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

// The cells every board row starts with; an unsupported board has no model and no hardware.
ReportRow board_cells(const BoardIdentity& board) {
    const auto model = board.model();
    ReportRow row;
    row.add("node", board.devnode)
        .add("model", model ? Json(std::string(*model)) : Json(nullptr))
        .add("kind", static_cast<unsigned>(board.kind))
        .add("hardware", model ? Json(board.hardware()) : Json(nullptr));
    return row;
}

// The signature as checked, for the cells of list and update.
void add_signature(ReportRow& row, const std::optional<SignatureCheck>& signature) {
    row.add("signature", signature ? Json(signature_word(signature->state)) : Json(nullptr))
        .add("signature_key_id", signature ? or_null(signature->key_id) : Json(nullptr))
        .add("signature_comment", signature ? or_null(signature->trusted_comment) : Json(nullptr));
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

// The record's cells, as `history --json` and every `last_write` show them.
ReportRow record_cells(const WriteRecord& record) {
    const WriteStart& start = record.start;
    const std::optional<WriteEnd>& end = record.end;
    const std::optional<RebootNote>& reboot = record.reboot;
    const auto of_end = [&](auto member) { return end ? Json((*end).*member) : Json(nullptr); };
    ReportRow row;
    row.add("id", record.id)
        .add("pci", start.pci_address)
        .add("node", start.devnode)
        .add("model", start.model.empty() ? Json(nullptr) : Json(start.model))
        .add("kind", start.kind)
        .add("hardware", start.hardware)
        .add("firmware_before", start.firmware_before)
        .add("image_version", or_null(start.image_version))
        .add("image_size", start.image_size)
        .add("image_sha256", start.image_sha256)
        .add("image_archive", or_null(start.image_archive))
        .add("image_entry", or_null(start.image_entry))
        .add("image_file", or_null(start.image_file))
        .add("program", start.program)
        .add("user", start.user)
        .add("boot_id", start.boot_id)
        .add("started", record.started)
        .add("ended", or_null(record.ended))
        .add("result", record_result(record))
        .add("error", end ? or_null(end->error) : Json(nullptr))
        .add("flash_changed", of_end(&WriteEnd::flash_changed))
        .add("blocks", of_end(&WriteEnd::blocks))
        .add("blocks_written", of_end(&WriteEnd::blocks_written))
        .add("blocks_unchanged", of_end(&WriteEnd::blocks_unchanged))
        .add("retries", of_end(&WriteEnd::retries))
        .add("stopped", of_end(&WriteEnd::stopped))
        .add("reboot_requested", reboot ? Json(reboot->requested) : Json(nullptr))
        .add("version_after", reboot ? or_null(reboot->version_after) : Json(nullptr))
        .add("reboot_error", reboot ? or_null(reboot->error) : Json(nullptr))
        .add("requested_by", or_null(start.requested_by))
        .add("pid", start.writer ? Json(start.writer->pid) : Json(nullptr))
        .add("duration_seconds", or_null(seconds_of(record.duration_ms())))
        .add("completed_by", or_null(record.completed_by))
        .add("retired", or_null(record.retired))
        .add("retired_by", or_null(record.retired_by))
        .add("backup_file", or_null(start.backup_file))
        .add("backup_sha256", or_null(start.backup_sha256))
        .add("backup_skipped", start.backup_skipped)
        .add("backup_of", or_null(start.backup_of))
        .add("signature_key_id", or_null(start.signature_key_id))
        .add("signature_comment", or_null(start.signature_comment))
        .add("rollback_of", or_null(start.backup_of))
        .add("backup_size", or_null(start.backup_size))
        .add("backup_holds", or_null(start.backup_holds))
        .add("backup_version", or_null(start.backup_version))
        .add("backup_image_sha256", or_null(start.backup_image_sha256))
        .add("backup_present", or_null(record.backup_present));
    return row;
}

Json record_or_null(const std::optional<WriteRecord>& record) {
    return record ? record_cells(*record).object() : Json(nullptr);
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

// How the record's write ended, in words: what the flash got.
std::string write_text(const WriteRecord& r) {
    // A partial image that a later verified write replaced is history: said in the past.
    const std::string replaced =
        r.completed_by
            ? fmt::format("; the partial image it left was replaced by #{}", *r.completed_by)
            : "";
    switch (write_state(r, host_now())) {
        case WriteState::Writing:
            return fmt::format("WRITING: in progress in process {}", r.start.writer->pid);
        case WriteState::Interrupted:
            return r.completed_by ? "interrupted: never ended" + replaced
                                  : "INTERRUPTED: never ended, the flash holds a partial image";
        case WriteState::Verified:
            return "verified" +
                   blocks_text(r.end->blocks_written, r.end->blocks_unchanged, r.end->retries);
        case WriteState::Failed:
            // A stop signal's end is said in the words the update said it in.
            return r.end->stopped ? stopped_text(*r.end, replaced, r.completed_by.has_value())
                   : !r.end->flash_changed ? fmt::format("FAILED: {}, the flash was not changed",
                                                         r.end->error.value_or(""))
                   : r.completed_by
                       ? fmt::format("failed: {}{}", r.end->error.value_or(""), replaced)
                       : fmt::format("FAILED: {}, the flash holds a partial image",
                                     r.end->error.value_or(""));
    }
    return "";
}

// What came with and after the write: its signature, its backup, its end, the reboot.
std::string write_notes(const WriteRecord& r) {
    const WriteStart& start = r.start;
    std::string notes;
    if (start.signature_key_id) {
        notes += fmt::format("; signed by key {}, trusted comment \"{}\"", *start.signature_key_id,
                             start.signature_comment.value_or(""));
    }
    if (start.backup_file) {
        notes +=
            fmt::format("; what it overwrote ({}) {} {}", backup_holding_text(start),
                        r.backup_present == false ? "was kept in" : "kept in", *start.backup_file);
        if (r.backup_present == false) notes += ", since removed";
    }
    if (start.backup_skipped) notes += "; no backup, as asked";
    if (r.ended) {
        const auto duration = r.duration_ms();
        notes += duration ? fmt::format("; ended {} after {:.1f} s", *r.ended,
                                        static_cast<double>(*duration) / 1000)
                          : fmt::format("; ended {}", *r.ended);
    }
    if (r.reboot && !r.reboot->requested) notes += "; not rebooted";
    if (r.reboot && r.reboot->requested) {
        notes += r.reboot->error ? fmt::format("; the reboot failed: {}", *r.reboot->error)
                 : r.reboot->version_after
                     ? fmt::format("; rebooted, reports \"{}\"", *r.reboot->version_after)
                     : std::string("; rebooted, reports no version");
    }
    if (r.retired) {
        notes += fmt::format("; retired {} by {}: the board was forgotten", *r.retired,
                             r.retired_by.value_or("-"));
    }
    return notes;
}

// The record's cells, and its line in the history.
ReportRow record_row(const WriteRecord& r) {
    const WriteStart& start = r.start;
    const std::string image =
        start.backup_of ? fmt::format("the backup of record #{}", *start.backup_of)
        : start.image_version
            ? fmt::format("image {} from {}:{}", *start.image_version,
                          start.image_archive.value_or("-"), start.image_entry.value_or("-"))
            : fmt::format("image file {}", start.image_file.value_or("-"));
    ReportRow row = record_cells(r);
    // One line per record, whatever its texts hold.
    row.line = printable(fmt::format(
                   "{} #{} {} ({} v{}, PCI {}) by {} as {}{}, boot {}: firmware {}, {} ({} bytes, "
                   "sha256 {}): {}{}",
                   r.started, r.id, start.devnode, start.model, start.hardware, start.pci_address,
                   start.program, start.user,
                   start.requested_by ? fmt::format(" for {}", *start.requested_by) : "",
                   start.boot_id, start.firmware_before, image, start.image_size,
                   start.image_sha256, write_text(r), write_notes(r))) +
               "\n";
    return row;
}

ReportRow list_row(const BoardListing& listing) {
    const Decision& decision = listing.decision;
    ReportRow row = board_cells(listing.board);
    row.add("firmware", or_null(listing.firmware()))
        .add("archive", or_null(listing.archive))
        .add("available", or_null(listing.available))
        // The readable status says a stopped write "stopped"; the document keeps its status
        // "write-failed", with "stopped" true.
        .add("status", status_word(decision.status), std::string(status_text(decision)))
        .add("reason", or_null(decision.reason))
        .add("pci", listing.board.pci_address)
        .add("last_write", record_or_null(listing.last_write))
        .add("backup_record", or_null(listing.backup_record),
             listing.backup_record ? fmt::format("#{}", *listing.backup_record) : "-")
        .add("image_sha256", or_null(listing.image_sha256))
        .add("stopped", decision.stopped);
    add_signature(row, listing.signature);
    row.add("signature_reason", or_null(listing.signature_refused))
        .add("rolled_back", listing.rolled_back);
    return row;
}

constexpr std::array<Column, 10> kListColumns{{
    {"NODE", "node"},
    {"PCI", "pci"},
    {"MODEL", "model"},
    {"HW", "hardware"},
    {"FIRMWARE", "firmware"},
    {"ARCHIVE", "archive"},
    {"AVAILABLE", "available"},
    {"IMAGE_SHA256", "image_sha256"},
    {"BACKUP", "backup_record"},
    {"STATUS", "status"},
}};

// What was written over the board's firmware, and how the board came out of it.
std::string updated_text(const BoardUpdateReport& r, const std::string& reboot) {
    const std::uint16_t before = r.board.fw_version;
    const bool same_version = r.image_version && *r.image_version == before;
    const std::string what =
        r.image_backup_of && r.image_version
            ? fmt::format("rolled back to firmware {} (the backup of record #{}) over firmware {}",
                          *r.image_version, *r.image_backup_of, before)
        : r.image_backup_of ? fmt::format("the backup of record #{} written back over firmware {}",
                                          *r.image_backup_of, before)
        : same_version      ? fmt::format("firmware {} written again", before)
        : r.image_version ? fmt::format("updated from firmware {} to {}", before, *r.image_version)
                          : fmt::format("image file written over firmware {}", before);
    return what + reboot;
}

// The board's update in words, after its name: the outcome's short text and what it says of
// this board.
std::string update_what(const UpdateOutcome& o) {
    const BoardUpdateReport& r = o.report;
    const std::uint16_t before = r.board.fw_version;
    const Outcome outcome = outcome_of(r.result);
    std::string what(outcome_row(outcome).text);
    const std::string reason = r.decision ? r.decision->reason.value_or("") : "";
    // The version the board runs, written again (--force): nothing new to start.
    const bool same_version = r.image_version && *r.image_version == before;
    const std::string reboot =
        r.rebooted     ? fmt::format(", rebooted, reports firmware {}",
                                     text_or_dash(r.after ? r.after->firmware : std::nullopt))
        : same_version ? ", not rebooted: the board runs this version already"
                       : ", not rebooted: the new firmware runs after the next power cycle";
    switch (outcome) {
        case Outcome::Updated: what = updated_text(r, reboot); break;
        case Outcome::Unchanged:
            what += fmt::format(
                ": the flash already held {}, nothing was erased or written",
                r.image_version ? fmt::format("image {}", *r.image_version) : "the image file");
            if (r.rebooted) what += reboot;
            break;
        case Outcome::UpToDate:
            what += fmt::format(": firmware {}, image {} (--force writes it anyway)", before,
                                text_or_dash(r.image_version));
            break;
        case Outcome::BoardNewer:
            what += fmt::format(": {}; --force writes the older image", reason);
            break;
        case Outcome::Writing:
        case Outcome::HeldBack: what += ": " + reason; break;
        case Outcome::PendingPowerCycle:
            what += fmt::format(": {} (--force writes it again)", o.note.value_or(""));
            break;
        case Outcome::DynamicFirmware: what += ", nothing to write"; break;
        case Outcome::Declined:
        case Outcome::Unsupported: break;
        case Outcome::NotAttempted:
            what += ": " + o.error.value_or("the run ended before this board");
            break;
        case Outcome::Missing:
            what += fmt::format(" in PCI slot {}: {}", r.board.pci_address, o.error.value_or(""));
            break;
        default: what += ": " + o.error.value_or(""); break;
    }
    // An unchanged write wrote no block: it only says how many it found holding the image.
    const bool updated = r.result == UpdateResult::Updated;
    const bool written = written_and_verified(r.result);
    what += blocks_text(updated && r.programmed ? std::optional(r.blocks_written) : std::nullopt,
                        written ? r.blocks_unchanged : 0, r.retries);
    // What a write that succeeded could not record.
    if (written && o.error) what += "; " + *o.error;
    if (written && r.signature && r.signature->state == SignatureState::Verified) {
        what += fmt::format("; signed by key {}: \"{}\"", r.signature->key_id.value_or(""),
                            r.signature->trusted_comment.value_or(""));
    }
    return what;
}

// A canary's backup written back, and the reboot after it.
Json rollback_object(const std::optional<BoardUpdateReport>& back) {
    if (!back) return nullptr;
    const std::optional<ReportedIdentity>& again = back->after;
    return Json{
        {"result", result_word(back->result)},
        {"record_id", or_null(back->record)},
        {"image_version", or_null(back->image_version)},
        {"rebooted", back->rebooted},
        {"firmware_after", again ? or_null(again->firmware) : Json(nullptr)},
        {"version_after", again ? or_null(again->version) : Json(nullptr)},
    };
}

ReportRow update_row(const UpdateOutcome& outcome) {
    const BoardUpdateReport& r = outcome.report;
    const std::optional<ReportedIdentity>& after = r.after;
    const auto hardware_after =
        after && after->hardware
            ? Json(hardware_text(after->hardware->first, after->hardware->second))
            : Json(nullptr);
    ReportRow row = board_cells(r.board);
    row.add("result", result_word(r.result))
        .add("firmware_before", r.board.fw_version)
        .add("firmware_after", after ? or_null(after->firmware) : Json(nullptr))
        .add("image_version", or_null(r.image_version))
        .add("rebooted", r.rebooted)
        .add("retries", r.retries)
        .add("error", or_null(outcome.error))
        .add("pci", r.board.pci_address)
        .add("image_sha256", or_null(r.image_sha256))
        .add("version_after", after ? or_null(after->version) : Json(nullptr))
        .add("hardware_after", hardware_after)
        .add("blocks_written", r.programmed ? Json(r.blocks_written) : Json(nullptr))
        .add("blocks_unchanged", r.programmed ? Json(r.blocks_unchanged) : Json(nullptr))
        .add("record_id", or_null(r.record));
    add_signature(row, r.signature);
    row.add("rollback", rollback_object(outcome.rollback));
    row.line = board_line(r.board, update_what(outcome));
    return row;
}

// What `verify` found of the board in words, after its name.
std::string verify_what(const VerifyOutcome& o) {
    const std::string image =
        o.image_version ? fmt::format("image {}", *o.image_version) : "the image file";
    std::string what(outcome_row(o.result).text);
    switch (o.result) {
        case Outcome::Match:
            what += fmt::format(" {} ({} bytes)", image, text_or_dash(o.bytes));
            break;
        case Outcome::Mismatch:
            what += fmt::format(" with {}: first difference at byte 0x{:x}, {} of {} blocks differ",
                                image, o.first_difference.value_or(0),
                                text_or_dash(o.differing_blocks), text_or_dash(o.blocks));
            break;
        case Outcome::Missing:
            what += fmt::format(" in PCI slot {}: {}", o.board.pci_address, o.error.value_or(""));
            break;
        case Outcome::Unsupported: break;
        case Outcome::DynamicFirmware: what += ", nothing to verify"; break;
        default: what += ": " + o.error.value_or(""); break;
    }
    return what;
}

ReportRow verify_row(const VerifyOutcome& outcome) {
    ReportRow row = board_cells(outcome.board);
    row.add("firmware", outcome.result == VerifyResult::Missing ? Json(nullptr)
                                                                : Json(outcome.board.fw_version))
        .add("result", outcome_word(outcome.result))
        .add("image_version", or_null(outcome.image_version))
        .add("bytes", or_null(outcome.bytes))
        .add("blocks", or_null(outcome.blocks))
        .add("first_difference", or_null(outcome.first_difference))
        .add("differing_blocks", or_null(outcome.differing_blocks))
        .add("error", or_null(outcome.error))
        .add("pci", outcome.board.pci_address)
        .add("last_write", record_or_null(outcome.last_write));
    row.line = board_line(outcome.board, verify_what(outcome));
    return row;
}

template <class T, class Build>
std::vector<ReportRow> rows_of(std::span<const T> items, Build build) {
    std::vector<ReportRow> rows;
    rows.reserve(items.size());
    for (const T& item : items) rows.push_back(build(item));
    return rows;
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
    return outcome_word(outcome_of(write_state(record, host_now())));
}

std::string_view status_text(const Decision& decision) {
    return outcome_word(outcome_of(decision));
}

std::string list_json(std::span<const BoardListing> rows) {
    return document(array_of(rows_of(rows, list_row)));
}

std::string list_table(std::span<const BoardListing> rows) {
    return table_text(rows_of(rows, list_row), kListColumns, "reason");
}

std::string update_json(std::span<const UpdateOutcome> outcomes, bool ok) {
    return document(Json{{"ok", ok}, {"boards", array_of(rows_of(outcomes, update_row))}});
}

std::string update_text(std::span<const UpdateOutcome> outcomes) {
    return lines_text(rows_of(outcomes, update_row));
}

std::string verify_json(std::span<const VerifyOutcome> outcomes, bool ok) {
    return document(Json{{"ok", ok}, {"boards", array_of(rows_of(outcomes, verify_row))}});
}

std::string verify_text(std::span<const VerifyOutcome> outcomes) {
    return lines_text(rows_of(outcomes, verify_row));
}

std::string history_json(std::span<const WriteRecord> records) {
    return document(array_of(rows_of(records, record_row)));
}

std::string history_text(std::span<const WriteRecord> records) {
    return lines_text(rows_of(records, record_row));
}

}  // namespace tarnvel::fw
