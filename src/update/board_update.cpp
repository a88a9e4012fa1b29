#include "update/board_update.hpp"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <utility>

#include "device/identity.hpp"
#include "programming/programming.hpp"

namespace tarnvel {
namespace {

constexpr const char* kBootIdFile = "/proc/sys/kernel/random/boot_id";

// A record's end that the journal refuses is tried this often, a pause between the tries: a
// lock held past the busy timeout, or a file system that was full for a moment, may have let
// go by then.
constexpr int kEndRecordTries = 3;
constexpr std::chrono::milliseconds kEndRecordPause{500};

// The machine's boot: writes of one boot share it, and a power cycle of the machine changes it.
std::string boot_id() {
    std::ifstream file(kBootIdFile);
    std::string id;
    std::getline(file, id);
    return id.empty() ? "unknown" : id;
}

// Who runs the program: the user name of the real user, or the uid when it has none.
std::string user_name() {
    const uid_t uid = ::getuid();
    passwd entry{};
    passwd* found = nullptr;
    std::string buffer(4096, '\0');
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

WriteStart start_of(const BoardIdentity& board, const ChosenImage& image,
                    const std::string& program) {
    const bool from_archive = image.origin.entry.has_value();
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
        .user = user_name(),
        .boot_id = boot_id(),
    };
}

UpdateResult result_of(const PassedOver& passed_over) {
    switch (passed_over.why) {
        case PassedOver::Why::Unsupported: return UpdateResult::Unsupported;
        case PassedOver::Why::DynamicFirmware: return UpdateResult::DynamicFirmware;
        case PassedOver::Why::NoArchive:
        case PassedOver::Why::NoImage: return UpdateResult::NoImage;
    }
    return UpdateResult::NoImage;
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

}  // namespace

BoardUpdate::BoardUpdate(UpdatePolicy policy, RunJournal& journal, UpdateDialogue& dialogue)
    : BoardUpdate(std::move(policy), journal, dialogue, [](const BoardDevice& board) {
          return reboot_and_read_version(board.syspath);
      }) {}

BoardUpdate::BoardUpdate(UpdatePolicy policy, RunJournal& journal, UpdateDialogue& dialogue,
                         BoardRestart restart)
    : policy_(std::move(policy)),
      journal_(journal),
      dialogue_(dialogue),
      restart_(std::move(restart)) {}

BoardUpdateReport BoardUpdate::run(BoardDevice& board) {
    BoardUpdateReport report(board);
    const bool opened_first = policy_.opening == UpdatePolicy::Opening::FirstWithBusReset;
    if (opened_first) {
        // A bus that refused its reset leaves the node open and the objects in the record.
        if (auto opened = open_for_flashing(board, FlashOpening::ResetBus); !opened) {
            access_failed(report, std::move(opened.error()));
            return report;
        }
        dialogue_.opened(report.board);
    }

    // The image lives until this board is left, whichever way that happens.
    auto chosen = choose_image(board, policy_.image_file, policy_.firmware_dir);
    if (!chosen) {
        board.close();
        report.result = result_of(chosen.error());
        report.error = chosen.error().cause;
        report.passed_over = std::move(chosen.error());
        return report;
    }
    report.image_version = chosen->version;
    report.image_sha256 = chosen->sha256;

    // What the journal knows of the flash weighs more than the versions; a board whose last
    // record can't be read, or whose journal can't be opened, is not decided on versions alone.
    std::optional<WriteRecord> last_write;
    Journal* records = policy_.decide_from_journal ? journal_.journal() : nullptr;
    if (policy_.decide_from_journal && records == nullptr && journal_.problem()) {
        board.close();
        fail(report, UpdateFailure::Undecided, journal_.problem());
        return report;
    }
    if (records != nullptr && !report.board.pci_address.empty()) {
        auto last = records->last_write(report.board.pci_address, report.board.kind, true);
        if (!last) {
            board.close();
            journal_.report(last.error());
            fail(report, UpdateFailure::Undecided, std::move(last.error()));
            return report;
        }
        last_write = std::move(*last);
    }
    const Decision& decision = report.decision.emplace(
        decide(report.board, offer_of(chosen), last_write ? &*last_write : nullptr));
    if (policy_.unattended && !decision.writes_unattended(policy_.force)) {
        board.close();
        report.result = decision.status == BoardStatus::PendingPowerCycle
                            ? UpdateResult::PendingPowerCycle
                            : UpdateResult::UpToDate;
        return report;
    }
    if (journal_.required() && journal_.journal() == nullptr) {
        board.close();
        fail(report, UpdateFailure::Journal, journal_.problem());
        return report;
    }

    // The board is locked from here until it is closed: also while the operator is asked.
    if (!opened_first) {
        if (auto opened = open_for_flashing(board, FlashOpening::Untouched); !opened) {
            board.close();
            access_failed(report, std::move(opened.error()));
            return report;
        }
    }
    // Asked even when the image is not newer: writing the same firmware again is the
    // operator's way to repair a damaged flash.
    if (!policy_.unattended && !dialogue_.confirm_write({report.board, *chosen, decision})) {
        board.close();
        report.result = UpdateResult::Declined;
        return report;
    }
    // The part is identified and checked before the first erase; asked before, the operator
    // who declines leaves the board untouched.
    if (!opened_first) {
        if (auto part = identify_flash_part(board, chosen->image.data.size(), FlashUse::Write);
            !part) {
            board.close();
            access_failed(report, std::move(part.error()));
            return report;
        }
    }
    write(board, *chosen, report);
    return report;
}

void BoardUpdate::write(BoardDevice& board, const ChosenImage& image, BoardUpdateReport& report) {
    // A stop signal waits until the programming has ended, the operator has been told and the
    // journal has its end: a block cut short between erase and write would leave the board
    // unbootable.
    auto hold = std::make_unique<StopSignalHold>([this] { dialogue_.stopping(); });

    // The record is committed and on the disk before the first erase.
    Journal* records = journal_.journal();
    if (records != nullptr) {
        auto started = records->start_write(start_of(report.board, image, journal_.program()));
        if (started) {
            report.record = *started;
        } else {
            journal_.report(started.error());
        }
    }
    if (!report.record && journal_.required()) {
        // No board is written that the journal could not tell of afterwards.
        board.close();
        fail(report, UpdateFailure::Journal,
             journal_.problem().value_or(
                 Error::message(ErrorKind::Other, "the journal can't record the write")));
        return;
    }

    ProgrammingReport done;
    Status programmed;
    {
        const std::unique_ptr<ProgrammingObserver> observer = dialogue_.progress(report.board, *hold);
        programmed = program_firmware(board, image.image, *observer, &done,
                                      policy_.full_write ? ProgrammingMode::Full
                                                         : ProgrammingMode::Differing);
    }
    report.programmed = true;
    report.flash_changed = done.flash_changed;
    report.blocks = done.block_count;
    report.blocks_written = done.blocks_written;
    report.blocks_unchanged = done.blocks_unchanged;
    report.retries = done.retries;
    if (report.record) {
        const WriteEnd end{
            .verified = programmed.has_value(),
            .error = programmed ? std::nullopt : std::optional(error_text(programmed.error())),
            .flash_changed = done.flash_changed,
            .blocks = done.block_count,
            .blocks_written = done.blocks_written,
            .blocks_unchanged = done.blocks_unchanged,
            .retries = done.retries,
            .stopped = hold->stop_waiting(),
        };
        end_record(report, end);
    }
    if (programmed) {
        report.result = UpdateResult::Updated;
    } else {
        // The flash may hold a partial image: the board needs the operator before anything
        // else is touched.
        fail(report, UpdateFailure::Programming, std::move(programmed.error()));
        report.ends_run = true;
    }
    dialogue_.write_ended(report);
    // The reboot goes through sysfs; the register channel is not needed again.
    board.close();

    if (hold->stop_waiting() && policy_.hand_back_held_stop) {
        report.held_stop = std::move(hold);
        return;
    }
    // A stop signal that came meanwhile ends the program here.
    hold.reset();
    if (report.result == UpdateResult::Updated) reboot(board, report);
}

void BoardUpdate::reboot(BoardDevice& board, BoardUpdateReport& report) {
    bool wanted = false;
    switch (policy_.reboot) {
        case UpdatePolicy::Reboot::Always: wanted = true; break;
        case UpdatePolicy::Reboot::Never: break;
        case UpdatePolicy::Reboot::Ask:
            wanted = !policy_.unattended && dialogue_.confirm_reboot();
            break;
    }
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
    const ReportedIdentity& after = report.after.emplace(parse_reported_identity(*version, board.kind));
    // The text is kept only as far as it can be read: a version that is not UTF-8 is none.
    note_reboot(report, RebootNote{.requested = true, .version_after = after.version});
    const RebootVerdict verdict = report.verdict.emplace(
        verdict_on(after, report.board, report.image_version));
    // The record takes what the board reports now, as far as it goes.
    Status refreshed = refresh_identity(board, after.version);
    if (verdict == RebootVerdict::AsWritten) return;
    fail(report, UpdateFailure::Identity,
         refreshed ? std::nullopt : std::optional(std::move(refreshed.error())));
    // A board that comes back unreadable or as other hardware is in no known state.
    report.ends_run = verdict != RebootVerdict::OtherFirmware;
}

void BoardUpdate::end_record(BoardUpdateReport& report, const WriteEnd& end) {
    Journal& records = *journal_.journal();
    for (int attempt = 1;; ++attempt) {
        auto ended = records.end_write(*report.record, end);
        if (ended) return;
        if (attempt == kEndRecordTries) {
            report.end_unrecorded = std::move(ended.error());
            return;
        }
        std::this_thread::sleep_for(kEndRecordPause);
    }
}

void BoardUpdate::note_reboot(BoardUpdateReport& report, const RebootNote& note) {
    Journal* records = journal_.journal();
    if (!report.record || records == nullptr) return;
    if (auto noted = records->note_reboot(*report.record, note); !noted) {
        report.reboot_unrecorded = std::move(noted.error());
    }
}

}  // namespace tarnvel
