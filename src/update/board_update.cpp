#include "update/board_update.hpp"

#include <syslog.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "device/identity.hpp"
#include "programming/programming.hpp"
#include "programming/readback.hpp"
#include "journal/host.hpp"
#include "update/rollback.hpp"
#include "update/sha256.hpp"

namespace tarnvel {
namespace {

// A record's end that the journal refuses is tried this often, a pause between the tries: a
// lock held past the busy timeout, or a file system that was full for a moment, may have let
// go by then.
constexpr int kEndRecordTries = 3;
constexpr std::chrono::milliseconds kEndRecordPause{500};

// journalctl MESSAGE_ID=… finds every start, or every end, of a write of any board.
constexpr const char* kWriteStartedId = "f2ee89c42946402b9f770c81d05faf21";
constexpr const char* kWriteEndedId = "c043d02e680f4e7595dcd01b1899c900";

WriteStart start_of(const BoardIdentity& board, const ChosenImage& image,
                    const std::string& program, const HostFacts& host,
                    const std::optional<BackupRef>& backup, bool backup_skipped) {
    const bool from_archive = image.origin.entry.has_value();
    const bool verified = image.signature.state == SignatureState::Verified;
    return WriteStart{
        .pci_address = board.pci_address,
        .devnode = board.devnode,
        .kind = static_cast<std::uint8_t>(board.kind),
        .model = std::string(board.model().value_or("")),
        .hardware = board.hardware(),
        .firmware_before = board.fw_version,
        .image_version = image.version,
        .image_size = static_cast<std::int64_t>(image.image.data.size()),
        .image_sha256 = image.sha256,
        .image_archive = from_archive ? std::optional(image.origin.path) : std::nullopt,
        .image_entry = image.origin.entry,
        .image_file = from_archive ? std::nullopt : std::optional(image.origin.path),
        .program = program,
        .user = host.user,
        .boot_id = host.boot_id,
        .requested_by = host.requested_by,
        .writer = host.writer,
        .backup_file = backup ? std::optional(backup->file) : std::nullopt,
        .backup_sha256 = backup ? std::optional(backup->sha256) : std::nullopt,
        .backup_skipped = backup_skipped,
        .backup_of = image.origin.backup_of,
        .signature_key_id = verified ? image.signature.key_id : std::nullopt,
        .signature_comment = verified ? image.signature.trusted_comment : std::nullopt,
    };
}

// The write in the system log: which board, which image, for whom, and its record.
LogEntry write_log_entry(const WriteStart& start, std::optional<std::int64_t> record,
                         const char* message_id, int priority, std::string what) {
    const std::string image = start.image_version
                                  ? fmt::format("image {}", *start.image_version)
                                  : fmt::format("image file {}", start.image_file.value_or(""));
    LogEntry entry{
        .priority = priority,
        .message = fmt::format(
            "firmware write of {} ({} v{}, PCI {}) {}: {} (sha256 {}) over "
            "firmware {}{}{}",
            start.devnode, start.model, start.hardware, start.pci_address, what, image,
            start.image_sha256, start.firmware_before,
            record ? fmt::format(", journal record {}", *record) : "",
            start.requested_by ? fmt::format(", asked by {}", *start.requested_by) : ""),
        .fields = {{"MESSAGE_ID", message_id},
                   {"TARNVEL_PCI", start.pci_address},
                   {"TARNVEL_NODE", start.devnode},
                   {"TARNVEL_KIND", fmt::format("{}", static_cast<unsigned>(start.kind))},
                   {"TARNVEL_MODEL", start.model},
                   {"TARNVEL_HARDWARE", start.hardware},
                   {"TARNVEL_FIRMWARE_BEFORE", fmt::format("{}", start.firmware_before)},
                   {"TARNVEL_IMAGE_SHA256", start.image_sha256},
                   {"TARNVEL_IMAGE",
                    start.image_file.value_or(fmt::format("{}:{}", start.image_archive.value_or(""),
                                                          start.image_entry.value_or("")))},
                   {"TARNVEL_USER", start.user}},
    };
    if (start.image_version) {
        entry.fields.emplace_back("TARNVEL_IMAGE_VERSION", fmt::format("{}", *start.image_version));
    }
    if (record) entry.fields.emplace_back("TARNVEL_RECORD", fmt::format("{}", *record));
    if (start.requested_by) entry.fields.emplace_back("TARNVEL_REQUESTED_BY", *start.requested_by);
    return entry;
}

LogEntry write_ended_entry(const WriteStart& start, std::optional<std::int64_t> record,
                           const WriteEnd& end) {
    std::string what = end.verified
                           ? "verified"
                           : fmt::format("FAILED ({}){}", end.error.value_or(""),
                                         end.flash_changed ? ", the flash holds a partial image"
                                                           : ", the flash is as it was");
    what += fmt::format(" after {:.1f} s, {} of {} blocks written, {} already held the image",
                        static_cast<double>(end.duration_ms.value_or(0)) / 1000, end.blocks_written,
                        end.blocks, end.blocks_unchanged);
    // A partial image is what must not be power-cycled: the most urgent of the two.
    const int priority = end.verified ? LOG_NOTICE : end.flash_changed ? LOG_CRIT : LOG_ERR;
    LogEntry entry = write_log_entry(start, record, kWriteEndedId, priority, std::move(what));
    entry.fields.emplace_back("TARNVEL_RESULT", end.verified ? "verified" : "failed");
    if (end.error) entry.fields.emplace_back("TARNVEL_ERROR", *end.error);
    entry.fields.emplace_back("TARNVEL_FLASH_CHANGED", end.flash_changed ? "1" : "0");
    entry.fields.emplace_back("TARNVEL_BLOCKS", fmt::format("{}", end.blocks));
    entry.fields.emplace_back("TARNVEL_BLOCKS_WRITTEN", fmt::format("{}", end.blocks_written));
    entry.fields.emplace_back("TARNVEL_BLOCKS_UNCHANGED", fmt::format("{}", end.blocks_unchanged));
    entry.fields.emplace_back("TARNVEL_RETRIES", fmt::format("{}", end.retries));
    entry.fields.emplace_back("TARNVEL_DURATION_MS",
                              fmt::format("{}", end.duration_ms.value_or(0)));
    return entry;
}

// The read of the span before a write, shown as that read.
// Only the image's span is shown: the read past it (the rest of the firmware the write
// replaces) is no part of the image's progress.
class SpanReadProgress final : public ProgrammingObserver {
  public:
    SpanReadProgress(ProgrammingObserver& observer, std::uint32_t image_length)
        : observer_(observer), image_length_(image_length) {}
    void pass_started(const BlockPass& pass) override {
        if (auto within = in_image(pass)) observer_.held_read_started(*within);
    }
    void retrying(const BlockPass&) override {}
    void block_progress(const BlockPass& pass, BlockStep step, std::uint32_t bytes) override {
        if (auto within = in_image(pass)) {
            observer_.block_progress(*within, step, std::min(bytes, within->length));
        }
    }

  private:
    std::optional<BlockPass> in_image(const BlockPass& pass) const {
        if (pass.offset >= image_length_ || image_length_ == 0) return std::nullopt;
        const std::uint32_t block_size = pass.block > 0 ? pass.offset / pass.block : pass.length;
        BlockPass within = pass;
        within.length = std::min(pass.length, image_length_ - pass.offset);
        within.image_length = image_length_;
        within.block_count =
            block_size == 0 ? pass.block_count : (image_length_ - 1) / block_size + 1;
        return within;
    }

    ProgrammingObserver& observer_;
    std::uint32_t image_length_;
};

UpdateResult result_of(const PassedOver& passed_over) {
    switch (passed_over.why) {
        case PassedOver::Why::Unsupported: return UpdateResult::Unsupported;
        case PassedOver::Why::DynamicFirmware: return UpdateResult::DynamicFirmware;
        case PassedOver::Why::NoArchive: return UpdateResult::NoArchive;
        case PassedOver::Why::NoImage: return UpdateResult::NoImage;
    }
    return UpdateResult::NoImage;
}

UpdateResult result_of(SignatureVerdict verdict) {
    switch (verdict) {
        case SignatureVerdict::Unsigned: return UpdateResult::Unsigned;
        case SignatureVerdict::UntrustedKey: return UpdateResult::UntrustedSignature;
        case SignatureVerdict::Bad:
        case SignatureVerdict::Allowed: break;
    }
    return UpdateResult::BadSignature;
}

// Whether a backup's bytes begin with the image `write` verified: the rest is what the flash
// held past that image, in the erase blocks the backup reaches over.
bool begins_with_image(const ImageFile& file, const ChosenImage& chosen, const WriteRecord& write) {
    const auto length = static_cast<std::size_t>(write.start.image_size);
    if (length == file.bytes.size()) return write.start.image_sha256 == chosen.sha256;
    return length < file.bytes.size() &&
           write.start.image_sha256 == sha256_hex(std::span(file.bytes).first(length));
}

// A backup written back has no signature of its own: the record of the write that put its
// firmware on the flash vouches for it, and when these bytes begin with that write's verified
// image, the write back records the same signature.
SignatureVerdict judge_restored_image(const ImagePolicy& images, const ImageFile& file, bool force,
                                      ChosenImage& chosen) {
    const WriteRecord* restored = file.restored_write ? &*file.restored_write : nullptr;
    if (restored != nullptr && restored->start.signature_key_id &&
        begins_with_image(file, chosen, *restored) &&
        images.trusts(*restored->start.signature_key_id)) {
        chosen.signature = SignatureCheck{.state = SignatureState::Verified,
                                          .path = {},
                                          .key_id = restored->start.signature_key_id,
                                          .trusted_comment = restored->start.signature_comment,
                                          .problem = std::nullopt};
    }
    return judge_restored(images, restored, force);
}

void fail(BoardUpdateReport& report, UpdateFailure failure, std::optional<Error> error) {
    report.result = UpdateResult::Failed;
    report.failure = failure;
    report.error = std::move(error);
}

void access_failed(BoardUpdateReport& report, AccessFailure failure) {
    report.access = failure.stage;
    fail(report, UpdateFailure::Access, std::move(failure.error));
}

// What the board reports after its reboot, held against what it was and what was written.
RebootVerdict verdict_on(const ReportedIdentity& after, const BoardIdentity& before,
                         const std::optional<std::int32_t>& image_version) {
    if (!after.version || !after.firmware) return RebootVerdict::Unreadable;
    const std::pair<std::uint8_t, std::uint8_t> hardware{before.hw_major, before.hw_minor};
    // A hardware text the kind does not know is no known hardware: (0, 0), as discovery has it.
    if (after.hardware.value_or(std::pair<std::uint8_t, std::uint8_t>{0, 0}) != hardware) {
        return RebootVerdict::OtherHardware;
    }
    if (image_version && *image_version != std::int32_t{*after.firmware}) {
        return RebootVerdict::OtherFirmware;
    }
    return RebootVerdict::AsWritten;
}

// The board's newest record whose write changed or may have changed its flash: the one the
// decision weighs. `records` are its slot's, newest first.
const WriteRecord* last_touching(std::span<const WriteRecord> records, BoardKind kind) {
    const auto last = std::ranges::find_if(records, [kind](const WriteRecord& record) {
        return record.start.kind == std::int64_t{static_cast<std::uint8_t>(kind)} &&
               record.touched_flash();
    });
    return last != records.end() ? &*last : nullptr;
}

// Why a board with its image and its decision is not written, when it is not: another process
// writes it, or the decision, the fleet's list of images or the signature holds it back.
std::optional<UpdateResult> refusal(const UpdatePolicy& policy, BoardUpdateReport& report,
                                    const ChosenImage& image, const Decision& decision,
                                    const std::optional<SignatureVerdict>& restored_verdict) {
    // Another process holds the board while it writes it: not even asked about.
    if (decision.status == BoardStatus::Writing) return UpdateResult::Writing;
    // A backup written back was chosen by the rollback, which judged the firmware it holds
    // against the fleet's list: the versions and the list see only the span's bytes.
    const bool rollback = image.origin.backup_of.has_value();
    if (policy.unattended && !decision.writes_unattended(policy.force || rollback)) {
        return decision.status == BoardStatus::PendingPowerCycle ? UpdateResult::PendingPowerCycle
               : decision.status == BoardStatus::BoardNewer      ? UpdateResult::BoardNewer
               : decision.status == BoardStatus::HeldBack        ? UpdateResult::HeldBack
                                                                 : UpdateResult::UpToDate;
    }
    // A fleet's list of images decides whether this one may be written at all.
    switch (rollback ? ImageVerdict::Allowed : judge_image(policy.images, image.sha256)) {
        case ImageVerdict::Allowed: break;
        case ImageVerdict::Blocked: return UpdateResult::Blocked;
        case ImageVerdict::NotApproved: return UpdateResult::NotApproved;
    }
    // A signature that does not hold is never written past, nor, where signatures are
    // required, a missing one or one by a key not trusted: not even with --force.
    if (policy.check_signatures) {
        const SignatureVerdict signature =
            restored_verdict ? *restored_verdict : judge_signature(policy.images, image.signature);
        report.signature = image.signature;
        if (signature != SignatureVerdict::Allowed) return result_of(signature);
    }
    return std::nullopt;
}

}  // namespace

BoardUpdate::BoardUpdate(UpdatePolicy policy, RunJournal& journal, UpdateDialogue& dialogue,
                         BoardRestart restart)
    : policy_(std::move(policy)),
      images_(policy_.firmware_dir, policy_.check_signatures ? &policy_.images : nullptr),
      journal_(journal),
      dialogue_(dialogue),
      restart_(restart ? std::move(restart)
                       : [](const BoardDevice& board) {
                             return reboot_and_read_version(board.syspath);
                         }),
      log_(journal.program()),
      host_(HostFacts::current()) {}

std::variant<BoardUpdateReport, AcceptedWrite> BoardUpdate::accept(BoardDevice& board,
                                                                   const ImageFile* image_file) {
    BoardUpdateReport report(board);
    // Closes the board on every way out of here but the one to its write.
    OpenBoard owner;
    const bool opened_first = policy_.opening == UpdatePolicy::Opening::FirstWithBusReset;
    if (opened_first) {
        // A bus that refused its reset leaves the node open and the objects in the record.
        auto opened = open_for_flashing(board, FlashOpening::ResetBus);
        if (!opened) {
            access_failed(report, std::move(opened.error()));
            return report;
        }
        owner = std::move(*opened);
        dialogue_.opened(report.board);
    }

    std::optional<SignatureVerdict> restored_verdict;
    std::shared_ptr<const ChosenImage> image =
        image_for(board, image_file, report, restored_verdict);
    if (!image) return report;
    std::optional<std::vector<WriteRecord>> records;
    if (!read_slot_records(report, records)) return report;
    const WriteRecord* last_write =
        policy_.decide_from_journal && records && !report.board.pci_address.empty()
            ? last_touching(*records, report.board.kind)
            : nullptr;
    const Decision& decision = report.decision.emplace(
        decide(report.board, ImageOffer(image->version), last_write, host_.now()));
    if (auto refused = refusal(policy_, report, *image, decision, restored_verdict)) {
        report.result = *refused;
        return report;
    }
    if (journal_.required() && !journal_.available()) {
        fail(report, UpdateFailure::Journal, journal_.problem());
        return report;
    }

    // The board is locked from here until it is closed: also while the operator is asked.
    if (!opened_first) {
        auto opened = open_for_flashing(board, FlashOpening::Untouched);
        if (!opened) {
            access_failed(report, std::move(opened.error()));
            return report;
        }
        owner = std::move(*opened);
    }
    // Asked even when the image is not newer: writing the same firmware again is the
    // operator's way to repair a damaged flash.
    if (!policy_.unattended && !dialogue_.confirm_write({report.board, *image, decision})) {
        report.result = UpdateResult::Declined;
        return report;
    }
    return AcceptedWrite{.board = std::move(owner),
                         .image = std::move(image),
                         .report = std::move(report),
                         .slot_records = std::move(records)};
}

std::shared_ptr<const ChosenImage> BoardUpdate::image_for(
    BoardDevice& board, const ImageFile* image_file, BoardUpdateReport& report,
    std::optional<SignatureVerdict>& restored_verdict) {
    // The image lives until this board is left, whichever way that happens.
    const ImageFile* file = image_file != nullptr ? image_file : policy_.image_file;
    auto chosen = images_.choose(board, file);
    if (!chosen) {
        report.result = result_of(chosen.error());
        report.error = chosen.error().cause;
        report.passed_over = std::move(chosen.error());
        return nullptr;
    }
    // A backup written back is vouched for by the write that put its firmware on the flash,
    // whose signature it then carries (a backup is this board's own copy, never shared).
    if (policy_.check_signatures && file != nullptr && file->backup_of) {
        auto relabelled = std::make_shared<ChosenImage>(**chosen);
        restored_verdict = judge_restored_image(policy_.images, *file, policy_.force, *relabelled);
        *chosen = std::move(relabelled);
    }
    std::shared_ptr<const ChosenImage> image = std::move(*chosen);
    report.image_version = image->version;
    report.image_sha256 = image->sha256;
    report.image_backup_of = image->origin.backup_of;
    if (policy_.check_signatures) report.signature = image->signature;
    return image;
}

bool BoardUpdate::read_slot_records(BoardUpdateReport& report,
                                    std::optional<std::vector<WriteRecord>>& records) {
    // What the journal knows of the flash weighs more than the versions; a board whose last
    // record can't be read, or whose journal can't be opened, is not decided on versions alone.
    const bool decides = policy_.decide_from_journal;
    if (decides && !journal_.available() && journal_.problem()) {
        fail(report, UpdateFailure::Undecided, journal_.problem());
        return false;
    }
    const bool decided_by_them =
        decides && journal_.available() && !report.board.pci_address.empty();
    // A backup's extent and label come from the board's records as well.
    const bool labelled_by_them =
        policy_.backup == UpdatePolicy::Backup::Kept && journal_.available();
    if (!decided_by_them && !labelled_by_them) return true;
    auto read = journal_.slot_records(report.board.pci_address);
    if (read) {
        records = std::move(*read);
        return true;
    }
    journal_.report(read.error());
    // Without them a backup is kept still, not knowing what it holds.
    if (!decided_by_them) return true;
    fail(report, UpdateFailure::Undecided, std::move(read.error()));
    return false;
}

BoardUpdateReport BoardUpdate::write(AcceptedWrite accepted, const StopRequest* stop) {
    // Closed on every way out of here, at the latest when the write has ended.
    OpenBoard board = std::move(accepted.board);
    BoardUpdateReport report = std::move(accepted.report);
    const auto stopped_before = [&] {
        if (stop == nullptr || !stop->requested()) return false;
        report.result = UpdateResult::NotAttempted;
        return true;
    };
    if (stopped_before()) return report;
    // The part is identified and checked before the first erase; asked before, the operator
    // who declines leaves the board untouched.
    if (policy_.opening == UpdatePolicy::Opening::WhenWritingIdentified) {
        if (auto part =
                identify_flash_part(*board, accepted.image->image.data.size(), FlashUse::Write);
            !part) {
            access_failed(report, std::move(part.error()));
            return report;
        }
    }
    if (stopped_before()) return report;
    write_image(std::move(board), *accepted.image, accepted.slot_records, report, stop);
    return report;
}

// What the flash held before the write, as read and kept (UpdatePolicy::Backup::Kept).
struct BoardUpdate::HeldFlash {
    std::vector<std::uint8_t> bytes;  // from the image's start, `extent` of them
    std::uint64_t extent = 0;
    // What the backup holds, as the board's records tell; none without a backup.
    std::optional<FirmwareHeld> holds;
};

void BoardUpdate::write_image(OpenBoard owner, const ChosenImage& image,
                              const std::optional<std::vector<WriteRecord>>& slot_records,
                              BoardUpdateReport& report, const StopRequest* stop) {
    // A stop signal waits until the programming has ended, the operator has been told and the
    // journal has its end: a block cut short between erase and write would leave the board
    // unbootable. Boards written at once are stopped at a block's end by `stop` instead. The
    // notice goes to the dialogue itself.
    std::unique_ptr<StopSignalHold> hold;
    if (stop == nullptr) {
        hold = std::make_unique<StopSignalHold>([&dialogue = dialogue_] { dialogue.stopping(); });
    }
    // Declared after the hold: on every way out the board is closed before a held stop signal
    // ends the program.
    OpenBoard board = std::move(owner);

    ProgrammingReport done;
    Status programmed;
    std::optional<WriteStart> start;
    std::chrono::steady_clock::time_point started_at;
    {
        const std::unique_ptr<ProgrammingObserver> observer =
            dialogue_.progress(report.board, hold.get());
        HeldFlash held;
        if (policy_.backup == UpdatePolicy::Backup::Kept &&
            !keep_backup(*board, image, slot_records, report, *observer, stop, held)) {
            return;
        }
        started_at = std::chrono::steady_clock::now();
        start = begin_record(image, held, report);
        if (!start) return;
        log_.send(write_log_entry(*start, report.record, kWriteStartedId, LOG_NOTICE, "started"));
        const std::size_t length = image.image.data.size();
        programmed = program_firmware(
            *board, image.image, *observer, &done,
            policy_.full_write ? ProgrammingMode::Full : ProgrammingMode::Differing,
            held.bytes.empty() ? std::span<const std::uint8_t>()
                               : std::span<const std::uint8_t>(held.bytes).first(length),
            stop);
    }
    const bool stopped = hold ? hold->stop_waiting() : stop->requested();
    finish_write(report, *start, done, std::move(programmed), started_at, stopped);
    dialogue_.write_ended(report);
    // The reboot goes through sysfs; the register channel is not needed again.
    board.close();

    // A stop signal that came meanwhile ends the program here.
    hold.reset();
}

bool BoardUpdate::keep_backup(BoardDevice& board, const ChosenImage& image,
                              const std::optional<std::vector<WriteRecord>>& slot_records,
                              BoardUpdateReport& report, ProgrammingObserver& observer,
                              const StopRequest* stop, HeldFlash& held) {
    // The board's records tell how far the firmware the write replaces reaches and what it is;
    // without them, what the backup holds is not known.
    std::optional<std::vector<WriteRecord>> mine;
    if (slot_records) mine = records_of_board(*slot_records, report.board);
    const std::size_t image_length = image.image.data.size();
    held.extent = backup_extent(report.board, mine.value_or(std::vector<WriteRecord>{}),
                                image_length, board.flash->erase_size());
    Status read = read_held(board, held.extent, static_cast<std::uint32_t>(image_length), observer,
                            held.bytes, stop);
    // A flash that holds the image over its span already is not changed by the write: there
    // is nothing to keep.
    const bool holds_image =
        read && std::ranges::equal(std::span(held.bytes).first(image_length), image.image.data);
    std::optional<Result<BackupRef>> kept;
    if (read && !holds_image) {
        kept = BackupStore(policy_.state_dir).keep(board.pci_address, board.kind, held.bytes);
        if (*kept) report.backup = **kept;
    }
    // Asked to stop before the record is begun: the board is not written, and no record will
    // name the backup.
    if (stop != nullptr && stop->requested()) {
        drop_backup(report);
        report.result = UpdateResult::NotAttempted;
        return false;
    }
    if (!read || (kept && !*kept)) {
        fail(report, UpdateFailure::Backup, std::move(read ? kept->error() : read.error()));
        return false;
    }
    if (report.backup) held.holds = mine ? flash_holds(report.board, *mine) : FirmwareHeld{};
    return true;
}

std::optional<WriteStart> BoardUpdate::begin_record(const ChosenImage& image, const HeldFlash& held,
                                                    BoardUpdateReport& report) {
    WriteStart start = start_of(report.board, image, journal_.program(), host_, report.backup,
                                policy_.backup == UpdatePolicy::Backup::Skipped);
    if (report.backup && held.holds) {
        start.backup_size = static_cast<std::int64_t>(held.extent);
        start.backup_holds = std::string(holding_word(held.holds->holding));
        start.backup_version = held.holds->version;
        start.backup_image_sha256 = held.holds->image_sha256;
    }
    if (journal_.available()) {
        auto started = journal_.start_write(start);
        if (started) {
            report.record = *started;
        } else {
            journal_.report(started.error());
        }
    }
    // No record names the backup, so nothing could ever write it back: it goes.
    if (!report.record) drop_backup(report);
    if (!report.record && journal_.required()) {
        // No board is written that the journal could not tell of afterwards.
        fail(report, UpdateFailure::Journal,
             journal_.problem().value_or(
                 Error::message(ErrorKind::Other, "the journal can't record the write")));
        return std::nullopt;
    }
    return start;
}

void BoardUpdate::drop_backup(BoardUpdateReport& report) const {
    if (report.backup) (void)BackupStore(policy_.state_dir).remove(report.backup->file);
    report.backup.reset();
}

void BoardUpdate::finish_write(BoardUpdateReport& report, const WriteStart& start,
                               const ProgrammingReport& done, Status programmed,
                               std::chrono::steady_clock::time_point started_at, bool stopped) {
    report.programmed = true;
    report.flash_changed = done.flash_changed;
    report.blocks = done.block_count;
    report.blocks_written = done.blocks_written;
    report.blocks_unchanged = done.blocks_unchanged;
    report.retries = done.retries;
    const WriteEnd end{
        .verified = programmed.has_value(),
        .error = programmed ? std::nullopt : std::optional(error_text(programmed.error())),
        .flash_changed = done.flash_changed,
        .blocks = done.block_count,
        .blocks_written = done.blocks_written,
        .blocks_unchanged = done.blocks_unchanged,
        .retries = done.retries,
        .stopped = stopped,
        .duration_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - started_at)
                           .count(),
    };
    if (report.record) end_record(report, end);
    log_.send(write_ended_entry(start, report.record, end));
    if (programmed) {
        // A write that found every block holding the image changed nothing.
        report.result = done.flash_changed ? UpdateResult::Updated : UpdateResult::Unchanged;
        if (policy_.backup == UpdatePolicy::Backup::Kept) prune_backups_of(report);
    } else if (done.stopped) {
        // Whole blocks only: the next run writes the rest.
        report.result = UpdateResult::Stopped;
        report.error = std::move(programmed.error());
    } else {
        // The flash may hold a partial image: the board needs the operator before anything
        // else is touched.
        fail(report, UpdateFailure::Programming, std::move(programmed.error()));
        report.ends_run = true;
    }
}

void BoardUpdate::prune_backups_of(const BoardUpdateReport& report) {
    // A board keeps its newest backups, and every one a record still needs; its slot's records
    // (read again: this write is one of them now) are all that tell.
    if (!journal_.available()) return;
    auto records = journal_.slot_records(report.board.pci_address);
    const BackupStore store(policy_.state_dir);
    // The way back stays: the backup a rollback would write back now.
    std::vector<std::string> way_back;
    if (records) {
        if (auto target = choose_rollback(report.board, *records, {}, store, {})) {
            way_back.push_back(target->backup.file);
        }
    }
    auto pruned = records ? prune_backups(*records, store, report.board.pci_address,
                                          policy_.keep_backups, way_back)
                          : Status(std::unexpected(std::move(records.error())));
    if (pruned) pruned = remove_unnamed_backups(*records, store, report.board.pci_address);
    if (!pruned) journal_.report(pruned.error());
}

Status BoardUpdate::read_held(BoardDevice& board, std::uint64_t length, std::uint32_t image_length,
                              ProgrammingObserver& observer, std::vector<std::uint8_t>& held,
                              const StopRequest* stop) {
    held.reserve(length);
    SpanReadProgress reading(observer, image_length);
    return read_firmware_region(board, static_cast<std::uint32_t>(length), reading,
                                [&](std::span<const std::uint8_t> bytes) -> Status {
                                    // A long read stops at a block's end as the programming
                                    // does.
                                    if (stop != nullptr && stop->requested()) {
                                        return std::unexpected(Error::message(
                                            ErrorKind::Interrupted, "stopped on request"));
                                    }
                                    held.insert(held.end(), bytes.begin(), bytes.end());
                                    return {};
                                });
}

bool BoardUpdate::reboot_wanted(const BoardUpdateReport& report) {
    if (!written_and_verified(report.result)) return false;
    switch (policy_.reboot) {
        case UpdatePolicy::Reboot::Always: return true;
        case UpdatePolicy::Reboot::Never: return false;
        case UpdatePolicy::Reboot::Ask:
            return !policy_.unattended && dialogue_.confirm_reboot(report);
    }
    return false;
}

bool BoardUpdate::may_reboot(const BoardUpdateReport& report) const {
    if (!written_and_verified(report.result)) return false;
    return policy_.reboot == UpdatePolicy::Reboot::Always ||
           (policy_.reboot == UpdatePolicy::Reboot::Ask && !policy_.unattended);
}

void BoardUpdate::reboot(BoardDevice& board, BoardUpdateReport& report, bool wanted) {
    if (!wanted) {
        note_reboot(report, RebootNote{.requested = false});
        return;
    }
    dialogue_.rebooting();
    auto version = restart_(board);
    if (!version) {
        note_reboot(report, RebootNote{.requested = true, .error = error_text(version.error())});
        // A board whose reboot failed needs a manual power cycle before anything else.
        fail(report, UpdateFailure::Reboot, std::move(version.error()));
        report.ends_run = true;
        return;
    }
    report.rebooted = true;
    const ReportedIdentity& after =
        report.after.emplace(parse_reported_identity(*version, board.kind));
    // The text is kept only as far as it can be read: a version that is not UTF-8 is none.
    note_reboot(report, RebootNote{.requested = true, .version_after = after.version});
    const RebootVerdict verdict =
        report.verdict.emplace(verdict_on(after, report.board, report.image_version));
    // The record takes what the board reports now, as far as it goes.
    Status refreshed = refresh_identity(board, after.version);
    if (verdict == RebootVerdict::AsWritten) return;
    fail(report, UpdateFailure::Identity,
         refreshed ? std::nullopt : std::optional(std::move(refreshed.error())));
    // A board that comes back unreadable or as other hardware is in no known state.
    report.ends_run = verdict != RebootVerdict::OtherFirmware;
}

void BoardUpdate::end_record(BoardUpdateReport& report, const WriteEnd& end) {
    for (int attempt = 1;; ++attempt) {
        auto ended = journal_.end_write(*report.record, end);
        if (ended) return;
        if (attempt == kEndRecordTries) {
            report.end_unrecorded = std::move(ended.error());
            return;
        }
        // Only this board waits: the journal is not held meanwhile.
        std::this_thread::sleep_for(kEndRecordPause);
    }
}

void BoardUpdate::note_reboot(BoardUpdateReport& report, const RebootNote& note) {
    if (!report.record || !journal_.available()) return;
    if (auto noted = journal_.note_reboot(*report.record, note); !noted) {
        report.reboot_unrecorded = std::move(noted.error());
    }
}

}  // namespace tarnvel
