#include "update/decision.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "device/sysfs_parse.hpp"
#include "update/outcome.hpp"

namespace tarnvel {
namespace {

using Why = PassedOver::Why;

BoardStatus status_of(const PassedOver& passed_over) {
    return outcome_row(outcome_of(passed_over.why)).status.value_or(BoardStatus::NoImage);
}

// The record's write left the image in the flash, and the board now reports that image's
// version after a reboot: the image is known to have started.
bool known_started(const WriteRecord& record) {
    if (!record.end || !record.end->verified || !record.start.image_version) return false;
    if (!record.reboot || !record.reboot->version_after) return false;
    const auto firmware = parse_fw_version(*record.reboot->version_after);
    return firmware && std::int64_t{*firmware} == *record.start.image_version;
}

// The write never ended, yet the board now runs the very image it was writing, having run
// another version before it: the board has started that image from its flash since, which a
// partial image can't be, so the write had completed the image before it was cut short.
bool image_started_since(const WriteRecord& record, const BoardIdentity& board) {
    return record.interrupted() && record.start.image_version &&
           *record.start.image_version == std::int64_t{board.fw_version} &&
           record.start.firmware_before != board.fw_version;
}

std::string partial_reason(const WriteRecord& record, const ImageOffer& image) {
    std::string reason =
        record.interrupted() ? fmt::format("the write by {} started {} never ended",
                                           record.start.program, record.started)
        : record.end->stopped
            ? fmt::format("the write by {} was stopped at {} by a stop signal",
                          record.start.program, record.ended.value_or(record.started))
            : fmt::format("the write by {} at {} failed: {}", record.start.program,
                          record.ended.value_or(record.started),
                          record.end->error.value_or("unknown error"));
    reason += ": the flash holds a partial image";
    if (!image)
        reason += fmt::format("; no image to write: {}", image.error().detail().value_or(""));
    return reason;
}

// The record was made on this boot: a boot id that can't be read matches none.
bool same_boot(const WriteRecord& record, const HostNow& host) {
    return record.start.boot_id == host.boot_id && host.boot_id != kUnknownBoot;
}

// The record was made on another boot than this one, both known.
bool booted_since(const WriteRecord& record, const HostNow& host) {
    return record.start.boot_id != host.boot_id && host.boot_id != kUnknownBoot &&
           record.start.boot_id != kUnknownBoot;
}

std::string pending_reason(const WriteRecord& record, const BoardIdentity& board,
                           const HostNow& host) {
    const std::string written =
        fmt::format("image {} was written and verified at {}", *record.start.image_version,
                    record.ended.value_or(record.started));
    // A reboot of the machine restarts the boards on what they loaded, not from their flash.
    if (booted_since(record, host)) {
        return fmt::format(
            "{}; the machine has been rebooted since, but not power-cycled: the "
            "board runs firmware {} until the machine is powered off and on",
            written, board.fw_version);
    }
    return fmt::format("{}; the board runs firmware {} until it is power-cycled", written,
                       board.fw_version);
}

// What the board needs, all weighed; decide adds the versions alone.
Decision decide_status(const BoardIdentity& board, const ImageOffer& image,
                       const WriteRecord* last_write, const HostNow& host) {
    if (!image &&
        (image.error().why == Why::Unsupported || image.error().why == Why::DynamicFirmware)) {
        return Decision{status_of(image.error()), std::nullopt};
    }
    if (last_write != nullptr && write_state(*last_write, host) == WriteState::Writing) {
        return Decision{
            BoardStatus::Writing,
            fmt::format("{} (process {}) has been writing it since {}", last_write->start.program,
                        last_write->start.writer->pid, last_write->started)};
    }
    const bool started_since = last_write != nullptr && image_started_since(*last_write, board);
    if (last_write != nullptr && (last_write->interrupted() || last_write->failed_partway()) &&
        !started_since) {
        // A rollback cut short still took its image off the board: the next rollout does not
        // write that image back over the partial flash; the rollback run again completes it.
        if (last_write->start.backup_of && image && *image && last_write->undone &&
            last_write->undone->image_version == std::int64_t{**image}) {
            return Decision{BoardStatus::HeldBack,
                            fmt::format("{}; record {} was a rollback of image {}: tarnvel-fw "
                                        "rollback completes it, --force writes image {} again",
                                        partial_reason(*last_write, image), last_write->id,
                                        **image, **image)};
        }
        Decision partial{
            last_write->interrupted() ? BoardStatus::Interrupted : BoardStatus::WriteFailed,
            partial_reason(*last_write, image)};
        partial.stopped = last_write->end && last_write->end->stopped;
        return partial;
    }
    // A verified image the board does not run yet, and the archive still offers it (or
    // offers nothing now): it starts at the next power cycle, and writing it again changes
    // nothing. An image file named for this run is the operator's choice, not this one.
    if (last_write != nullptr && last_write->end && last_write->end->verified &&
        last_write->start.image_version &&
        std::int64_t{board.fw_version} != *last_write->start.image_version &&
        (!image || *image == last_write->start.image_version)) {
        return Decision{BoardStatus::PendingPowerCycle, pending_reason(*last_write, board, host)};
    }
    // After a rollback the board starts the firmware written back at its next power cycle;
    // an image file named for this run is the operator's choice. A rollback cut short whose
    // firmware the board has started since left it whole on the flash: rolled back all the same.
    const bool rolled_back = last_write != nullptr && last_write->start.backup_of &&
                             ((last_write->end && last_write->end->verified) || started_since);
    const bool image_file = image && !*image;
    if (rolled_back && !image_file && last_write->start.image_version &&
        std::int64_t{board.fw_version} != *last_write->start.image_version) {
        return Decision{
            BoardStatus::PendingPowerCycle,
            fmt::format("record {} rolled the board back to firmware {}; the board "
                        "runs firmware {} until it is power-cycled",
                        last_write->id, *last_write->start.image_version, board.fw_version)};
    }
    // The image a rollback took off the board is not written back by the next rollout.
    if (rolled_back && image && *image && last_write->undone &&
        last_write->undone->image_version == std::int64_t{**image}) {
        return Decision{BoardStatus::HeldBack,
                        fmt::format("record {} rolled image {} back on this board; --force "
                                    "writes it again",
                                    last_write->id, **image)};
    }
    if (!image) return Decision{status_of(image.error()), image.error().error};
    if (!*image) return Decision{BoardStatus::UpdateAvailable, "an image file"};
    // Compared in 32 bits, as the updater compares them: an image version above 65535 is newer
    // than any board firmware.
    const std::int32_t available = **image;
    const auto running = static_cast<std::int32_t>(board.fw_version);
    if (available == running && started_since) {
        return Decision{BoardStatus::UpToDate,
                        fmt::format("the write by {} started {} never ended, but the board has "
                                    "started its image since: the flash holds it whole",
                                    last_write->start.program, last_write->started)};
    }
    if (available < running) {
        // Writing it would be a downgrade: said as one wherever the board is shown.
        return Decision{BoardStatus::BoardNewer,
                        fmt::format("the board runs firmware {}, newer than the archive's {}",
                                    running, available)};
    }
    return Decision{available > running ? BoardStatus::UpdateAvailable : BoardStatus::UpToDate,
                    std::nullopt};
}

}  // namespace

std::string_view status_word(BoardStatus status) {
    return outcome_word(outcome_of(status));
}

ImageOffer offer_of(const std::expected<ImageListing, PassedOver>& image) {
    if (!image) return std::unexpected(image.error());
    return std::optional<std::int32_t>(image->version);
}

ImageOffer offer_of(const std::expected<ChosenImage, PassedOver>& image) {
    if (!image) return std::unexpected(image.error());
    return image->version;
}

bool Decision::writes_unattended(bool force) const {
    switch (status) {
        case BoardStatus::UpdateAvailable:
        case BoardStatus::Interrupted:
        case BoardStatus::WriteFailed: return true;
        case BoardStatus::UpToDate:
        case BoardStatus::BoardNewer:
        case BoardStatus::PendingPowerCycle:
        case BoardStatus::HeldBack: return force;
        case BoardStatus::NoArchive:
        case BoardStatus::NoImage:
        case BoardStatus::Unsupported:
        case BoardStatus::DynamicFirmware:
        case BoardStatus::Missing:
        case BoardStatus::Undecided: return false;
        // Another process is writing it, holding its lock; not even --force writes beside it.
        case BoardStatus::Writing: return false;
        case BoardStatus::Blocked:
        case BoardStatus::NotApproved:
        case BoardStatus::Unsigned:
        case BoardStatus::UntrustedSignature:
        case BoardStatus::BadSignature: return false;
    }
    return false;
}

WriteState write_state(const WriteRecord& record, const HostNow& host) {
    if (record.end) return record.end->verified ? WriteState::Verified : WriteState::Failed;
    const bool writer_runs = record.start.writer && same_boot(record, host) && host.running &&
                             host.running(*record.start.writer);
    return writer_runs ? WriteState::Writing : WriteState::Interrupted;
}

Decision decide(const BoardIdentity& board, const ImageOffer& image, const WriteRecord* last_write,
                const HostNow& host) {
    Decision decision = decide_status(board, image, last_write, host);
    if (image && *image) {
        const std::int32_t available = **image;
        const auto running = static_cast<std::int32_t>(board.fw_version);
        decision.versions = available > running    ? VersionOrder::ImageNewer
                            : available == running ? VersionOrder::Same
                                                   : VersionOrder::BoardNewer;
    }
    return decision;
}

Decision undecided(const BoardIdentity& board, const ImageOffer& image, const Error& why) {
    Decision decision = decide(board, image, nullptr, HostNow{});
    if (decision.status == BoardStatus::Unsupported ||
        decision.status == BoardStatus::DynamicFirmware) {
        return decision;
    }
    decision.status = BoardStatus::Undecided;
    decision.reason = fmt::format(
        "the journal can't be read ({}), so whether the flash holds a "
        "partial image is not known",
        error_text(why));
    return decision;
}

Decision with_image_policy(Decision decision, ImageVerdict verdict, std::string_view sha256) {
    if (verdict == ImageVerdict::Allowed || !decision.writes_unattended(false)) return decision;
    const bool blocked = verdict == ImageVerdict::Blocked;
    Decision refused(blocked ? BoardStatus::Blocked : BoardStatus::NotApproved,
                     fmt::format("its image {} is {} the {} list", sha256,
                                 blocked ? "on" : "not on", blocked ? "blocked" : "approved"));
    refused.versions = decision.versions;
    return refused;
}

Decision with_signature(Decision decision, SignatureVerdict verdict, const SignatureCheck& check) {
    if (verdict == SignatureVerdict::Allowed || !decision.writes_unattended(false)) return decision;
    Decision refused(verdict == SignatureVerdict::Unsigned       ? BoardStatus::Unsigned
                     : verdict == SignatureVerdict::UntrustedKey ? BoardStatus::UntrustedSignature
                                                                 : BoardStatus::BadSignature,
                     signature_refusal(verdict, check));
    refused.versions = decision.versions;
    return refused;
}

std::vector<WriteRecord> missing_boards(std::span<const WriteRecord> last_writes,
                                        std::span<const BoardIdentity> present) {
    std::vector<WriteRecord> missing;
    for (const WriteRecord& record : last_writes) {
        const bool found = std::ranges::any_of(present, [&](const BoardIdentity& board) {
            return board.pci_address == record.start.pci_address &&
                   board.kind == record.start.board_kind();
        });
        if (!found && !known_started(record) && !record.retired) missing.push_back(record);
    }
    return missing;
}

}  // namespace tarnvel
