#pragma once
// A run of boards: the one driver of every update, for both programs. Each board's own update
// (BoardUpdate) is taken in its steps, as the run's policy says.
//
// The operator's updater (tarnvel-flash) runs one board at a time from its first step to its
// last, each write holding the stop signals itself: one that came ends the program once the
// write has ended.
//
// The fleet's runs (tarnvel-fw update and rollback): every board is offered its image first,
// one after another in the boards' order, so that an operator answers every question before
// anything is written; then the boards accepted are written at the same time, up to `jobs` at
// once, each on a thread of its own (a board's lock, part identification, journal record,
// retries and result stay its own); then the boards to be rebooted are asked about, in the
// boards' order, and rebooted at once. One board's failure neither stops nor slows another.
//
// There stop signals are watched from the first question to the last reboot
// (StopSignalWatch): at the first one while boards are written the dialogue hears of it at
// once, every board goes on to the end of the block it is at and stops there, a board not yet
// begun is not written (not-attempted), nothing is rebooted, and the signal is handed back to
// end the program once the results are out. One that comes while the operator is asked ends
// the questions (the dialogue hears of it to end the one waited for): no board is written, a
// reboot already agreed to is made, and the results come out before the signal ends the
// program.

#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "base/stop_signals.hpp"
#include "device/board_device.hpp"
#include "journal/run_journal.hpp"
#include "update/board_update.hpp"

namespace tarnvel {

// The most boards the programs let be written at once: more than any host carries, few enough
// threads for any host to start.
inline constexpr unsigned kMostJobs = 1024;

// How a run of boards goes.
struct RunPolicy {
    UpdatePolicy update;  // how each board is updated
    // How many boards are written at once (boards whose stop signals are watched); 1 writes
    // them one after another in the boards' order.
    unsigned jobs = 1;
    enum class Stops : std::uint8_t {
        // Each board is updated from its first step to its last before the next; each write
        // holds the stop signals, and one that came ends the program once the write ended.
        HeldByEachWrite,
        // Watched over the whole run, boards written at once (see above).
        WatchedOverTheRun,
    };
    Stops stops = Stops::WatchedOverTheRun;
};

// The operator's updater: the board opened first with its parallel bus reset, every board
// asked about, every block written, the reboot offered; its archives only, no fleet's rules,
// no backup; the journal records writes but does not decide.
RunPolicy updater_policy(std::string_view firmware_dir = kFirmwareDir);

// What an operator or a script chooses for a fleet's run.
struct FleetChoices {
    bool unattended = false;  // nothing asked (--yes)
    bool force = false;
    bool full_write = false;  // every block, not only those that differ
    UpdatePolicy::Reboot reboot = UpdatePolicy::Reboot::Ask;
    const ImageFile* image_file = nullptr;  // the image file named instead of the archives
    ImagePolicy images{};
    bool keep_backup = true;  // what the flash holds is kept first (no --no-backup)
    // Where the journal and the backups live.
    std::filesystem::path state_dir;
    unsigned keep_backups = 2;
    unsigned jobs = 1;
};

// tarnvel-fw update: the journal decides, the part is identified once the operator agreed,
// only the blocks that differ written, what the flash holds kept first.
RunPolicy fleet_update_policy(const FleetChoices& choices);
// tarnvel-fw rollback: as an update, each board getting its own backup (never an image file).
RunPolicy rollback_policy(const FleetChoices& choices);
// Writing back the backups of boards that did not come back running their image after an
// update's reboot: unattended, without force, each rebooted again.
RunPolicy undo_policy(const RunPolicy& update);

struct RunOutcome {
    std::vector<BoardUpdateReport> reports;  // in the boards' order
    // The stop signal that came while the boards were written, still held: ending the watch
    // ends the program, once the results are out, after the dialogue's `stopping` (the
    // dialogue must live until then). Null when none came.
    std::unique_ptr<StopSignalWatch> held_stop;
};

class UpdateRun {
  public:
    // Every board is updated as `policy` says and speaks through `dialogue`; a board's reboot
    // goes through its sysfs attributes unless `restart` stands in (a simulated board).
    UpdateRun(RunPolicy policy, RunJournal& journal, UpdateDialogue& dialogue,
              BoardRestart restart = {});

    // `images`, when not empty, holds each board's own image file by its place (a backup
    // written back; BoardUpdate::accept), null where the policy's image is meant.
    RunOutcome run(std::span<BoardDevice* const> boards,
                   std::span<const ImageFile* const> images = {});

  private:
    RunOutcome each_in_turn(std::span<BoardDevice* const> boards,
                            std::span<const ImageFile* const> images);
    RunOutcome at_once(std::span<BoardDevice* const> boards,
                       std::span<const ImageFile* const> images);
    // The steps of a run at once. Each board asked about in turn (until `stopped`), its
    // report in `reports` when it is not to be written; answers the places of the boards
    // accepted, their writes in `accepted`.
    std::vector<std::size_t> accept_each(std::span<BoardDevice* const> boards,
                                         std::span<const ImageFile* const> images,
                                         std::vector<BoardUpdateReport>& reports,
                                         std::vector<AcceptedWrite>& accepted,
                                         const std::function<bool()>& stopped);
    // The boards accepted (at their places `written`) written at once, each stopping at a
    // block's end once `stop` is set.
    void write_at_once(std::span<BoardDevice* const> boards, std::span<const std::size_t> written,
                       std::vector<AcceptedWrite>& accepted,
                       std::vector<BoardUpdateReport>& reports, const StopRequest& stop);
    // The boards written that may be rebooted, asked about in turn (until `stopped`), then
    // rebooted at once.
    void reboot_at_once(std::span<BoardDevice* const> boards, std::span<const std::size_t> written,
                        std::vector<BoardUpdateReport>& reports,
                        const std::function<bool()>& stopped);

    RunPolicy policy_;
    BoardUpdate update_;
    UpdateDialogue& dialogue_;
};

// Runs `work(i)` for every i from 0 to `count` - 1, each once, on up to `jobs` threads at once,
// taken up in the order of i; returns when all are done. Where no thread can be started the
// calling thread does the work.
void run_at_once(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& work);

}  // namespace tarnvel
