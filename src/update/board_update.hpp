#pragma once
// The update of one board, for both programs: the image it is offered, what it needs, the
// operator's consent, opening it, making sure of its part, the write under its journal record,
// the reboot and what the board reports afterwards. The programs give it their dialogue (their
// own words, questions and progress) and their policy, and render what it returns.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "base/stop_signals.hpp"
#include "base/system_log.hpp"
#include "device/board_device.hpp"
#include "firmware/firmware_archive.hpp"
#include "flash/progress.hpp"
#include "update/backup_store.hpp"
#include "update/board_access.hpp"
#include "update/board_identity.hpp"
#include "update/decision.hpp"
#include "journal/host.hpp"
#include "update/image_choice.hpp"
#include "update/image_policy.hpp"
#include "journal/run_journal.hpp"

namespace tarnvel {

struct ProgrammingReport;

// How a program updates a board: where its dialogue and its flash differ.
struct UpdatePolicy {
    enum class Opening : std::uint8_t {
        // Opened first, before the image is looked for, its flash objects built and a
        // parallel-flash bus reset at once, and written without identifying the part: the
        // operator's updater as it has always run. A bus that refuses its reset leaves the node
        // open in the record until the run ends.
        FirstWithBusReset,
        // Opened once the board is known to need the image, without a register access; the
        // part is identified and checked after the operator agreed, before the first erase.
        // The board is closed again on every path.
        WhenWritingIdentified,
    };
    enum class Reboot : std::uint8_t {
        Ask,     // the operator is asked; an unattended run does not reboot
        Always,  // after every verified write
        Never,   // the new firmware starts at the next power cycle
    };

    Opening opening = Opening::WhenWritingIdentified;
    // Nothing is asked: a board is written when the decision says it needs the image (or, with
    // `force`, whenever it has one), and left otherwise.
    bool unattended = false;
    bool force = false;
    // Whether the decision weighs the journal's last record of the board. Without, it weighs
    // the versions alone (and the journal is not opened before the first write).
    bool decide_from_journal = true;
    // Every block written, or only those whose contents differ from the image.
    bool full_write = false;
    Reboot reboot = Reboot::Ask;
    // The image file the operator named, instead of the board's archive.
    const ImageFile* image_file = nullptr;
    std::string firmware_dir = kFirmwareDir;
    // Which images may be written at all.
    ImagePolicy images{};
    // Whether the signature beside an image is looked at (by `images`' keys and rules).
    bool check_signatures = true;

    enum class Backup : std::uint8_t {
        None,     // no backup, and the record says nothing of one (tarnvel-flash)
        Skipped,  // the operator asked for none; the record says so
        Kept,     // what the flash holds over the span is kept before the record is committed
    };
    Backup backup = Backup::None;
    // Where the backups are kept (its backups/), and how many of a board's stay after a
    // verified write.
    std::filesystem::path state_dir{};
    unsigned keep_backups = 2;
};

// What the operator is offered for a board: its image and what it needs.
struct WriteOffer {
    const BoardIdentity& board;
    const ChosenImage& image;
    const Decision& decision;
};

// The result of one board's update, whichever program ran it; each program has its own words
// for them.
enum class UpdateResult : std::uint8_t {
    Updated,  // written and verified (and rebooted into it when `rebooted`)
    // Written and verified without a block erased or programmed: the flash already held the
    // image (and the board rebooted when `rebooted`).
    Unchanged,
    UpToDate,    // not written: the image is the version the board runs; --force was not given
    BoardNewer,  // not written: the board runs a newer version (a downgrade); no --force
    // Not written: the image was written and verified before and starts at the next power
    // cycle; --force was not given.
    PendingPowerCycle,
    DynamicFirmware,  // a QX1800: nothing to write
    Declined,         // the operator answered no
    Failed,           // see BoardUpdateReport::failure
    NoArchive,        // the board's archive is not there
    NoImage,          // the archive is unusable or holds no usable image for the board
    Unsupported,      // not a known board
    NotAttempted,     // the run ended before this board
    Writing,          // not written: another process is writing it (BoardStatus::Writing)
    // The journal knows the board, discovery no longer finds it: never run, reported beside
    // the boards found.
    Missing,
    Blocked,      // not written: the image is on the blocked list
    NotApproved,  // not written: there is a list of approved images, and it is not on it
    // Asked to stop (a stop signal), the write ended at a block's end before the image was
    // whole: the blocks before are written and verified, the others hold what they held. See
    // `error`; `flash_changed` says whether any block was written.
    Stopped,
    // Not written, not even with --force: signatures are required and the image has none
    // (a rollback: the write that put the firmware on the flash names no key).
    Unsigned,
    // Not written: signatures are required and the image is signed by a key not trusted.
    UntrustedSignature,
    // Not written: the image's signature is damaged, or the image or its trusted comment
    // changed after it was signed (with or without required signatures).
    BadSignature,
    // Not written: a rollback took this image off the board, and neither --force nor another
    // image has come since (BoardStatus::HeldBack).
    HeldBack,
    // The board did not come back running the image after its reboot, and its backup was
    // written back and the board rebooted again (`rollback` says how that went).
    RolledBack,
};

// Written and verified (Updated, or Unchanged where every block held the image already): a
// board the policy may reboot into the image.
constexpr bool written_and_verified(UpdateResult result) {
    return result == UpdateResult::Updated || result == UpdateResult::Unchanged;
}

// Where a failed update stopped.
enum class UpdateFailure : std::uint8_t {
    None,
    Access,   // opening the board or its part failed: see `access`; the flash is untouched
    Journal,  // a required journal can't record the write: nothing was written
    Backup,   // what the flash holds could not be kept: nothing was written
    // The journal's last record of the board can't be read: what the flash holds is not known,
    // and the versions alone can't tell whether it needs the image. Nothing was written.
    Undecided,
    Programming,  // the programming run failed: `flash_changed` says whether the flash was
    Reboot,       // the reboot could not be asked for
    // After the reboot the board reports no readable identity, other hardware, or other
    // firmware than the image's: see `after` and `verdict`.
    Identity,
};

// What a board reports after its reboot, held against what it was and what was written.
enum class RebootVerdict : std::uint8_t {
    AsWritten,      // the same hardware, running the image's version (or an image file)
    Unreadable,     // no "version", or one that is not UTF-8, or no firmware number in it
    OtherHardware,  // a hardware version other than before
    OtherFirmware,  // the same hardware, running another version than the image's
};

struct BoardUpdateReport {
    explicit BoardUpdateReport(const BoardDevice& of) : board(identity_of(of)) {}
    explicit BoardUpdateReport(BoardIdentity of) : board(std::move(of)) {}

    BoardIdentity board;  // as the board was before the update
    UpdateResult result = UpdateResult::NotAttempted;
    UpdateFailure failure = UpdateFailure::None;
    std::optional<Error> error;             // why it failed, or why no image (when it has a cause)
    std::optional<PassedOver> passed_over;  // why the board got no image
    std::optional<AccessFailure::Stage> access;  // with UpdateFailure::Access

    // The image meant for the board, once chosen.
    std::optional<std::int32_t> image_version;  // none for an image file
    std::optional<std::string> image_sha256;
    std::optional<std::int64_t> image_backup_of;  // a backup written back: whose record
    std::optional<SignatureCheck> signature;      // the image's signature as checked
    std::optional<Decision> decision;

    // Once the programming ran (also when it failed part-way).
    bool programmed = false;
    bool flash_changed = false;  // an erase or program command reached the flash
    std::uint32_t blocks = 0;
    std::uint32_t blocks_written = 0;
    std::uint32_t blocks_unchanged = 0;
    unsigned retries = 0;
    std::optional<std::int64_t> record;  // the write's journal record
    std::optional<BackupRef> backup;     // what the flash held before the write, kept
    // Why the journal could not complete the record once the write had ended, tried again and
    // again: the record says the write never ended, whatever the flash got.
    std::optional<Error> end_unrecorded;

    bool rebooted = false;
    std::optional<ReportedIdentity> after;  // what the board reported after its reboot
    std::optional<RebootVerdict> verdict;
    // Why the journal could not add the reboot to the record.
    std::optional<Error> reboot_unrecorded;

    // A board in this state needs the operator before any other is touched: its programming
    // failed, its reboot failed, or it came back in no known state.
    bool ends_run = false;
};

// What each program does its own way: what it tells the operator, asks, and shows.
class UpdateDialogue {
  public:
    virtual ~UpdateDialogue() = default;
    // The board is open (UpdatePolicy::Opening::FirstWithBusReset only: before the image).
    virtual void opened(const BoardIdentity&) {}
    // Whether to write the offered image. Not asked in an unattended run.
    virtual bool confirm_write(const WriteOffer& offer) = 0;
    // How the write shows itself, for its duration; `hold` holds the stop signals meanwhile,
    // when the write runs under a hold of its own (null for boards written at once).
    virtual std::unique_ptr<ProgrammingObserver> progress(const BoardIdentity& board,
                                                          StopSignalHold* hold) = 0;
    // The write has ended and its record is complete, or could not be completed
    // (`end_unrecorded`); a stop signal is still held (a stop signal that came meanwhile ends
    // the program right after). `report` has its programming fields filled in.
    virtual void write_ended(const BoardUpdateReport&) {}
    // Said just before a held stop signal ends the program.
    virtual void stopping() = 0;
    // Whether to reboot the board after a verified write (UpdatePolicy::Reboot::Ask, attended).
    virtual bool confirm_reboot(const BoardUpdateReport& report) = 0;
    // The reboot is about to be asked for.
    virtual void rebooting() {}

    // For boards updated at once (UpdateRun), which calls these and progress, write_ended
    // and rebooting from the threads the boards are written on: each board's update is over,
    // its report whole (as each board finishes, in no set order).
    virtual void finished(const BoardUpdateReport&) {}
    // A stop signal came while boards are written at once: said at once, from a thread of its
    // own, while every board goes on to the end of the block it is at.
    virtual void stop_seen() {}
    // A stop signal came while the operator is asked (whether to write a board, or to reboot
    // one): said at once, from a thread of its own. The question waited for is to end as
    // answered no, and no other is asked: no board is written, and only the boards already
    // agreed to are rebooted.
    virtual void stop_seen_asking() {}
};

// Asks the board to reboot and reads its "version" again at once: the text it reports then, none
// when it reports none. Through the board's sysfs attributes, unless a test stands in.
using BoardRestart = std::function<Result<std::optional<std::string>>(const BoardDevice&)>;

// A board the update has got ready to write, between BoardUpdate::accept and write: its image
// chosen, the decision made, the operator's consent given, the node open and the board locked.
struct AcceptedWrite {
    // Open and locked; closed by its owner once the write has ended, or when the write is left
    // undone.
    OpenBoard board;
    std::shared_ptr<const ChosenImage> image;  // shared with the run's other boards of its kind
    BoardUpdateReport report;
    // The records of the board's slot (of every kind that was there), newest first, read once
    // before the write: the decision weighed the board's last one, and the backup's extent and
    // label come from them. None when they were not read.
    std::optional<std::vector<WriteRecord>> slot_records;
};

// One board's update, in the steps a run of boards (UpdateRun) takes it. One board's steps
// come in this order; the steps of different boards may run at the same time on different
// threads, except for accept and reboot_wanted, which may ask the operator.
class BoardUpdate {
  public:
    // A board's reboot goes through its sysfs attributes unless `restart` stands in (a
    // simulated board).
    BoardUpdate(UpdatePolicy policy, RunJournal& journal, UpdateDialogue& dialogue,
                BoardRestart restart = {});

    // Everything before the write: the board opened first (tarnvel-flash's opening), its image,
    // the decision, the operator's consent (asked here) and the board opened and locked. The
    // board's report when it is not to be written, closed; otherwise the write it is ready for.
    // `image_file`, when given, is this board's own image (a backup written back), instead of
    // the policy's.
    std::variant<BoardUpdateReport, AcceptedWrite> accept(BoardDevice& board,
                                                          const ImageFile* image_file = nullptr);
    // Identifies the part (tarnvel-fw's opening) and writes the image under its journal record;
    // leaves the board closed. Without `stop`, stop signals are held while it writes, and one
    // that came ends the program once the write has ended and the dialogue has said so. With
    // it, the programming looks at it before every block and ends there once it is set (result
    // Stopped), and a board it finds set before its record is begun is not written at all
    // (NotAttempted).
    BoardUpdateReport write(AcceptedWrite accepted, const StopRequest* stop = nullptr);
    // After a verified write: whether the policy reboots the board, asked through the dialogue
    // where the policy says so. False for any other result.
    bool reboot_wanted(const BoardUpdateReport& report);
    // Whether reboot_wanted may answer yes: a verified write, and a policy that reboots always
    // or asks an operator.
    bool may_reboot(const BoardUpdateReport& report) const;
    // Reboots the board, or (`wanted` false) notes in its record that it was not rebooted, and
    // judges what the board reports afterwards.
    void reboot(BoardDevice& board, BoardUpdateReport& report, bool wanted);

  private:
    struct HeldFlash;

    // The board's image, chosen (a backup written back relabelled with the signature of the
    // write that put its firmware on the flash, judged in `restored_verdict`), its facts in
    // the report; null when the board gets none (the report says why).
    std::shared_ptr<const ChosenImage> image_for(BoardDevice& board, const ImageFile* image_file,
                                                 BoardUpdateReport& report,
                                                 std::optional<SignatureVerdict>& restored_verdict);
    // Reads the records of the board's slot once, for all the write needs of them, when the
    // decision or the backup does. False (the report failed) when the decision needs them and
    // they can't be read.
    bool read_slot_records(BoardUpdateReport& report,
                           std::optional<std::vector<WriteRecord>>& records);
    // The write, from the record's start to its end; `owner` closes the board on every path.
    void write_image(OpenBoard owner, const ChosenImage& image,
                     const std::optional<std::vector<WriteRecord>>& slot_records,
                     BoardUpdateReport& report, const StopRequest* stop);
    // Reads what the flash holds over the span the write replaces (as far as the board's
    // records say the firmware reaches) and keeps it, before the record names it; the read
    // also tells which blocks differ from the image. False when the board is not to be written
    // (the report says why).
    bool keep_backup(BoardDevice& board, const ChosenImage& image,
                     const std::optional<std::vector<WriteRecord>>& slot_records,
                     BoardUpdateReport& report, ProgrammingObserver& observer,
                     const StopRequest* stop, HeldFlash& held);
    // The write's record, committed and on the disk before the first erase; none when the
    // board is not to be written: the journal it requires can't record the write.
    std::optional<WriteStart> begin_record(const ChosenImage& image, const HeldFlash& held,
                                           BoardUpdateReport& report);
    // A backup no record will name goes.
    void drop_backup(BoardUpdateReport& report) const;
    // The end of the programming in the report, the record and the system log, and after a
    // verified write the pruning of the board's backups.
    void finish_write(BoardUpdateReport& report, const WriteStart& start,
                      const ProgrammingReport& done, Status programmed,
                      std::chrono::steady_clock::time_point started_at, bool stopped);
    // After a verified write: a board keeps its newest backups, and every one a record (or
    // the way back) still needs.
    void prune_backups_of(const BoardUpdateReport& report);
    // Reads what the flash holds over the first `length` bytes of the image region into
    // `held`; `observer` hears of each block of the image's span (`image_length`) read, as of a
    // comparison. With `stop`, the read ends at a block's end once it is set.
    Status read_held(BoardDevice& board, std::uint64_t length, std::uint32_t image_length,
                     ProgrammingObserver& observer, std::vector<std::uint8_t>& held,
                     const StopRequest* stop);
    // Completes the write's record, trying again for a while when the journal fails.
    void end_record(BoardUpdateReport& report, const WriteEnd& end);
    // Adds what came of the reboot to the write's record.
    void note_reboot(BoardUpdateReport& report, const RebootNote& note);

    UpdatePolicy policy_;
    // The images of the run, each read and hashed once.
    RunImages images_;
    RunJournal& journal_;
    UpdateDialogue& dialogue_;
    BoardRestart restart_;
    // Every write's start and end, also one the journal does not record.
    SystemLog log_;
    // The machine and the people behind the run, as every record of it names them.
    HostFacts host_;
};

}  // namespace tarnvel
