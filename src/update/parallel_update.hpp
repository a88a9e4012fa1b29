#pragma once
// The update of several boards at once, as tarnvel-fw runs it: each board's own update
// (BoardUpdate) taken in its steps. Every board is offered its image first, one after another
// in the boards' order, so that an operator answers every question before anything is
// written; then the boards accepted are written at the same time, up to `jobs` at once, each
// on a thread of its own (a board's lock, part identification, journal record, retries and
// result stay its own); then the boards to be rebooted are asked about, in the boards' order,
// and rebooted at once. One board's failure neither stops nor slows another.
//
// Stop signals are watched while the boards are written (StopSignalWatch): at the first one
// the dialogue hears of it at once, every board goes on to the end of the block it is at and
// stops there, a board not yet begun is not written (not-attempted), nothing is rebooted, and
// the signal is handed back to end the program once the results are out. One that comes while
// the operator is asked ends the questions (the dialogue hears of it to end the one waited
// for): no board is written, a reboot already agreed to is made, and the results come out
// before the signal ends the program.

#include <memory>
#include <span>
#include <vector>

#include "base/stop_signals.hpp"
#include "device/board_device.hpp"
#include "update/board_update.hpp"

namespace tarnvel {

// The most boards the programs let be written at once: more than any host carries, few enough
// threads for any host to start.
inline constexpr unsigned kMostJobs = 1024;

struct ParallelUpdateOutcome {
    std::vector<BoardUpdateReport> reports;  // in the boards' order
    // The stop signal that came while the boards were written, still held: ending the watch
    // ends the program, once the results are out, after the dialogue's `stopping` (the
    // dialogue must live until then). Null when none came.
    std::unique_ptr<StopSignalWatch> held_stop;
};

class ParallelUpdate {
  public:
    // `update` runs each board's steps and speaks through `dialogue` (the one it was made
    // with). `jobs`: how many boards are written at once; 1 writes them one after another in
    // the boards' order.
    ParallelUpdate(BoardUpdate& update, UpdateDialogue& dialogue, unsigned jobs);

    // `images`, when not empty, holds each board's own image file by its place (a backup
    // written back; BoardUpdate::accept), null where the policy's image is meant.
    ParallelUpdateOutcome run(std::span<BoardDevice* const> boards,
                              std::span<const ImageFile* const> images = {});

  private:
    BoardUpdate& update_;
    UpdateDialogue& dialogue_;
    unsigned jobs_;
};

// Runs `work(i)` for every i from 0 to `count` - 1, each once, on up to `jobs` threads at once,
// taken up in the order of i; returns when all are done. Where no thread can be started the
// calling thread does the work.
void run_at_once(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& work);

}  // namespace tarnvel
