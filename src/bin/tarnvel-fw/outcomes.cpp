#include "bin/tarnvel-fw/outcomes.hpp"

#include <fmt/format.h>

#include <vector>

#include "bin/tarnvel-fw/board_access.hpp"
#include "bin/tarnvel-fw/configuration.hpp"
#include "update/image_policy.hpp"

namespace tarnvel::fw {
namespace {

// Why the update failed, in words.
std::string failure_text(const BoardUpdateReport& report) {
    const std::string error = report.error ? error_text(*report.error) : "";
    if (report.result == UpdateResult::Stopped) {
        const std::uint32_t done = report.blocks_written + report.blocks_unchanged;
        return report.flash_changed
                   ? fmt::format(
                         "a stop signal ended the write after {} of {} blocks; the flash "
                         "holds a partial image: do not power off, run the update again "
                         "to write the rest",
                         done, report.blocks)
                   : fmt::format(
                         "a stop signal ended the write before it changed the flash; it "
                         "holds what it held before");
    }
    switch (report.failure) {
        case UpdateFailure::None: break;
        case UpdateFailure::Access: return access_failure_text(*report.access, *report.error);
        case UpdateFailure::Journal:
            // A rollback needs the journal: it has no --no-journal.
            return fmt::format("not written: the journal can't record the write ({}){}", error,
                               report.image_backup_of ? "" : "; --no-journal writes without it");
        case UpdateFailure::Backup:
            return fmt::format(
                "not written: what the flash holds could not be kept first ({}); "
                "--no-backup writes without it",
                error);
        case UpdateFailure::Undecided:
            return fmt::format(
                "not written: the journal's record of the board can't be read "
                "({}), so what its flash holds is not known",
                error);
        case UpdateFailure::Programming:
            // Only an erase or program command that went out can have changed the flash.
            return report.flash_changed
                       ? fmt::format(
                             "{}; the flash holds a partial image: do not power off, "
                             "contact support",
                             error)
                       : fmt::format(
                             "{}; the write did not start: the flash holds what it held "
                             "before",
                             error);
        case UpdateFailure::Reboot:
            return fmt::format(
                "the reboot failed: {}; power the machine off and on to load the "
                "new firmware",
                error);
        case UpdateFailure::Identity: {
            const ReportedIdentity& after = *report.after;
            switch (*report.verdict) {
                case RebootVerdict::Unreadable:
                    return after.version
                               ? fmt::format(
                                     "the board came back with an unreadable identity: "
                                     "it reports version \"{}\"",
                                     *after.version)
                               : "the board came back with an unreadable identity: it reports "
                                 "no readable version";
                case RebootVerdict::OtherHardware:
                    return fmt::format(
                        "the board came back with an unexpected identity: it reports version "
                        "\"{}\", hardware {} where it had {}",
                        after.version.value_or(""),
                        after.hardware
                            ? hardware_text(after.hardware->first, after.hardware->second)
                            : "unknown",
                        report.board.hardware());
                case RebootVerdict::OtherFirmware:
                    return fmt::format(
                        "after the reboot the board reports firmware {}, not the "
                        "image's {}",
                        after.firmware.value_or(0), report.image_version.value_or(0));
                case RebootVerdict::AsWritten: break;
            }
            break;
        }
    }
    return error;
}

// What the journal could not record of a write that ended, said with what the flash got: the
// record left without its end says the write never ended.
std::optional<std::string> unrecorded_text(const BoardUpdateReport& r) {
    std::vector<std::string> parts;
    if (r.end_unrecorded) {
        parts.push_back(fmt::format(
            "{}, but the journal could not record the end of the write ({}): its record says the "
            "write never ended; run tarnvel-fw verify on the board",
            r.failure == UpdateFailure::Programming ? "the write failed"
                                                    : "the board was written and verified",
            error_text(*r.end_unrecorded)));
    }
    if (r.reboot_unrecorded) {
        parts.push_back(fmt::format("the journal could not record the reboot ({})",
                                    error_text(*r.reboot_unrecorded)));
    }
    if (parts.empty()) return std::nullopt;
    std::string text = parts.front();
    for (std::size_t i = 1; i < parts.size(); ++i) text += "; " + parts[i];
    return text;
}

}  // namespace

UpdateOutcome outcome_of(const BoardUpdateReport& report) {
    UpdateOutcome outcome(report);
    if (report.result == UpdateResult::Failed || report.result == UpdateResult::Stopped) {
        outcome.error = failure_text(report);
    }
    if (report.result == UpdateResult::Blocked) {
        outcome.error =
            fmt::format("its image {} is on the blocked list of {}",
                        report.image_sha256.value_or(""), configuration_file().string());
    }
    if (report.result == UpdateResult::NotApproved) {
        outcome.error =
            fmt::format("its image {} is not on the approved list of {}",
                        report.image_sha256.value_or(""), configuration_file().string());
    }
    if (report.signature) {
        const SignatureVerdict verdict =
            report.result == UpdateResult::Unsigned             ? SignatureVerdict::Unsigned
            : report.result == UpdateResult::UntrustedSignature ? SignatureVerdict::UntrustedKey
            : report.result == UpdateResult::BadSignature       ? SignatureVerdict::Bad
                                                                : SignatureVerdict::Allowed;
        if (verdict == SignatureVerdict::Bad) {
            outcome.error = signature_refusal(verdict, *report.signature);
        } else if (verdict != SignatureVerdict::Allowed) {
            outcome.error = fmt::format("{} ({})", signature_refusal(verdict, *report.signature),
                                        configuration_file().string());
        }
    }
    if (report.passed_over) outcome.error = report.passed_over->detail();
    if (report.result == UpdateResult::NotAttempted) outcome.error = "a stop signal ended the run";
    if (report.result == UpdateResult::PendingPowerCycle) outcome.note = report.decision->reason;
    if (auto unrecorded = unrecorded_text(report)) {
        outcome.error = outcome.error ? *outcome.error + "; " + *unrecorded : *unrecorded;
    }
    return outcome;
}

}  // namespace tarnvel::fw
