#pragma once
// The results of each command as text for people and as JSON for scripts, both rendered from
// one row per board or record (report_row.hpp), in the words of the outcome table
// (update/outcome.hpp). The JSON keys are an interface (tarnvel-fw(8)): keys may be added, none
// is renamed or changes its meaning.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bin/tarnvel-fw/outcomes.hpp"
#include "update/decision.hpp"
#include "update/inventory.hpp"
#include "journal/journal.hpp"

namespace tarnvel::fw {

// A board's status in the readable text: its word, except that a last write a stop signal
// ended part-way reads "stopped" (as the update and the history say it), where the JSON keeps
// "write-failed" with "stopped" true.
std::string_view status_text(const Decision& decision);

// An array of objects: node, model, kind, hardware, firmware, archive, available, status,
// reason, pci, last_write, backup_record, image_sha256, stopped, signature, signature_key_id,
// signature_comment, signature_reason.
std::string list_json(std::span<const BoardListing> rows);
// A table with a header line; "-" where a value is missing, the reason after the status.
std::string list_table(std::span<const BoardListing> rows);

// {"ok": ..., "boards": [...]}: per board node, model, kind, hardware, result, firmware_before,
// firmware_after, image_version, rebooted, retries, error, pci, image_sha256, version_after,
// hardware_after, blocks_written, blocks_unchanged, record_id, signature, signature_key_id,
// signature_comment.
std::string update_json(std::span<const UpdateOutcome> outcomes, bool ok);
// One line per board.
std::string update_text(std::span<const UpdateOutcome> outcomes);

// {"ok": ..., "boards": [...]}: per board node, model, kind, hardware, firmware, result,
// image_version, bytes, blocks, first_difference, differing_blocks, error, pci, last_write.
std::string verify_json(std::span<const VerifyOutcome> outcomes, bool ok);
std::string verify_text(std::span<const VerifyOutcome> outcomes);

// A signature as checked: "unsigned", "verified", "untrusted-key" or "bad".
std::string_view signature_word(SignatureState state);

// How a record's write ended: "verified", "failed" or "interrupted" (it never ended), or
// "writing" (it has not ended because it is going on).
std::string_view record_result(const WriteRecord& record);

// An array of the records with their fields, newest first.
std::string history_json(std::span<const WriteRecord> records);
// One line per record, newest first.
std::string history_text(std::span<const WriteRecord> records);

}  // namespace tarnvel::fw
