#pragma once
// Opening a board for flashing and the programming run: the one place each of them happens,
// for both programs. Every write is recorded in the journal: its record is committed before
// the first erase and completed when the programming has ended.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "base/error.hpp"
#include "base/stop_signals.hpp"
#include "device/board_device.hpp"
#include "programming/flash_fit.hpp"
#include "flash/flash_geometry.hpp"
#include "programming/programming.hpp"
#include "update/image_choice.hpp"
#include "update/journal.hpp"

namespace tarnvel {

struct FlashOpenFailure {
    Error error;
    // The node was opened (and locked), but its flash objects could not be set up (a
    // parallel-flash bus that refused its reset); the record keeps them.
    bool node_opened = false;
};

// How a board is opened for flashing.
enum class FlashOpening : std::uint8_t {
    // Its flash objects built and a parallel-flash bus reset to read mode at once, as
    // tarnvel-flash has always opened a board.
    ResetBus,
    // Its flash objects built without a register access: nothing reaches the flash before
    // identify_flash_part, so a board the operator declines is left untouched.
    Untouched,
};

// Opens the board's node with the board lock and builds its flash objects as its kind
// requires. A failed open leaves the record as it was; a failed reset leaves the node open and
// the objects in the record (the caller closes it, or keeps it as tarnvel-flash does).
std::expected<void, FlashOpenFailure> open_for_flashing(BoardDevice& board, FlashOpening how);

struct FlashPartFailure {
    Error error;
    bool identified = false;  // the part said what it is, and does not fit
};

// Before the first erase or read of an opened board: waits (bounded) for a flash that a killed
// run left busy, resets a parallel flash to read mode, identifies the part and checks that it
// takes what `use` sends to `length` bytes from the kind's base address.
std::expected<FlashGeometry, FlashPartFailure> identify_flash_part(BoardDevice& board,
                                                                   std::uint64_t length,
                                                                   FlashUse use);

// The journal as one run of a program uses it. It is opened for writing at the first write
// (or when a command asks for it earlier), so a run that writes nothing makes no directory and
// no file. A journal that can't be used is told through `on_problem`, once per run.
class RunJournal {
  public:
    enum class Need : std::uint8_t {
        Required,    // no board is written without its record
        BestEffort,  // a write goes ahead unrecorded when the journal fails
    };

    RunJournal(std::filesystem::path file, std::string program, Need need,
               std::function<void(const Error&)> on_problem);
    // No journal at all: nothing is recorded, and nothing is required.
    static RunJournal without(std::string program);

    // The journal, opened on the first call; null when there is none or it can't be used.
    Journal* journal();
    // Why the journal can't be used, once it was found so.
    const std::optional<Error>& problem() const { return problem_; }
    bool required() const { return need_ == Need::Required; }
    const std::string& program() const { return program_; }

    // Tells of a problem through `on_problem` (the first one only).
    void report(const Error& problem);

  private:
    std::optional<std::filesystem::path> file_;
    std::string program_;
    Need need_;
    std::function<void(const Error&)> on_problem_;
    std::optional<Journal> journal_;
    std::optional<Error> problem_;
    bool tried_ = false;
};

struct ImageWrite {
    Status programmed;                   // the programming run's result
    ProgrammingReport report;            // what it did
    std::optional<std::int64_t> record;  // the write's journal record
    // A required journal could not record the start: nothing was written.
    bool refused = false;
};

// Writes the image into the open board (program_firmware in `mode`), recording the write: the
// record is committed and on the disk before the first erase, and completed with the result
// once the programming has ended. `hold` is the stop-signal hold the run is under: a signal
// that waits when the programming ends is recorded as what ended the run.
ImageWrite write_image(BoardDevice& board, const ChosenImage& image, ProgrammingObserver& observer,
                       RunJournal& journal, const StopSignalHold* hold,
                       ProgrammingMode mode = ProgrammingMode::Full);

// Adds to the write's record what came of the reboot after it (nothing without a record).
void note_reboot(RunJournal& journal, const std::optional<std::int64_t>& record,
                 const RebootNote& reboot);

// Writes "1" to the board's "reboot" and reads its identity again into the record, as
// refresh_identity does, noting the reboot in the write's record. The board must be closed.
// On a failed write the identity stays as it was; if only the firmware part can't be read
// afterwards, the new hardware version is kept.
Status reboot_board(BoardDevice& board, RunJournal& journal,
                    const std::optional<std::int64_t>& record);

// Where the programs keep the journal: TARNVEL_STATE_DIR, or /var/lib/tarnvel, and in it
// journal.sqlite. Only the programs read this; the library takes the file it is given.
std::filesystem::path journal_file_from_environment();

}  // namespace tarnvel
