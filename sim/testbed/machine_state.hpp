#pragma once
// A simulated machine kept in a directory between runs of tarnvel-sim (--state DIR), so that
// every run after the first is a power-on of the same boards:
//
//   DIR/boards             the board descriptions it was made from, one per line
//   DIR/board-I/version    what board I (from 0) reported when the last run ended; no file
//                          when it reported nothing
//   DIR/board-I/*.flash    the cells of its chips (sim/model/flash_file.hpp)
//   DIR/firmware/tarnvel/  the firmware archives, on /lib/firmware for every run
//   DIR/state/             the programs' state directory (TARNVEL_STATE_DIR)

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "sim/testbed/testbed.hpp"

namespace tarnvel::sim {

class MachineState {
  public:
    // DIR, made when missing. A directory that holds something other than a machine is
    // refused, so that nothing of the operator's is overwritten.
    static Result<MachineState> open(std::filesystem::path dir);

    // The board descriptions of the machine DIR holds; none while it holds none yet.
    const std::optional<std::vector<std::string>>& boards() const { return boards_; }
    // Records the board descriptions of a new machine and makes its directories.
    Status create(std::vector<std::string> boards);

    // Takes board `remove` (from 0, in boards()) out of the machine: its slot stays empty and
    // every other board keeps its own (each description gets its slot= when it had none); the
    // boards after it move up a place, with what was kept of them. Then puts the board
    // `replace.second` (a description) in the place and slot of board `replace.first`, counted
    // after the removal: a new board, with the flash and "version" of one just made. Both are
    // checked before anything changes, and the board list is written once.
    Status change_boards(std::optional<std::size_t> remove,
                         std::optional<std::pair<std::size_t, std::string>> replace);

    // Keeps what every board of the testbed (made from boards(), in order) reports and holds
    // in its flash. The boards' models are read under the testbed's lock.
    Status save(Testbed& testbed) const;
    // Gives the testbed's boards, just made from boards(), what was kept of them. Then they
    // are ready to be powered on.
    Status restore(Testbed& testbed) const;

    const std::filesystem::path& dir() const { return dir_; }
    std::filesystem::path firmware_root() const { return dir_ / "firmware"; }
    std::filesystem::path state_dir() const { return dir_ / "state"; }

  private:
    explicit MachineState(std::filesystem::path dir) : dir_(std::move(dir)) {}
    std::filesystem::path board_dir(std::size_t board) const;
    // The boards' descriptions, each with the slot it has now; refused for a machine with a
    // sub-device, whose parent is named by its place.
    Result<std::vector<std::string>> boards_in_their_slots() const;
    Status write_boards(std::vector<std::string> boards);

    std::filesystem::path dir_;
    std::optional<std::vector<std::string>> boards_;
};

}  // namespace tarnvel::sim
