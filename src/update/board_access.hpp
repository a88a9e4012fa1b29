#pragma once
// Reaching a board's flash: opening the board for it (the node with the board lock, and the
// flash objects its kind needs), making sure of the part before the first erase or read, and
// the reads that verify and copy the image region. Each program words the failures its own way.

#include <cstdint>
#include <expected>
#include <span>
#include <utility>

#include "base/error.hpp"
#include "device/board_device.hpp"
#include "flash/flash_geometry.hpp"
#include "flash/progress.hpp"
#include "programming/flash_fit.hpp"
#include "programming/readback.hpp"

namespace tarnvel {

// How a board is opened for flashing.
enum class FlashOpening : std::uint8_t {
    // Its flash objects built and a parallel-flash bus reset to read mode at once, as
    // tarnvel-flash has always opened a board.
    ResetBus,
    // Its flash objects built without a register access: nothing reaches the flash before
    // identify_flash_part, so a board the operator declines is left untouched.
    Untouched,
};

// Why a board's flash could not be reached, or may not be touched.
struct AccessFailure {
    enum class Stage : std::uint8_t {
        Open,      // the device node could not be opened
        Locked,    // another process holds the board's lock
        Flash,     // the node is open, but the flash objects or the bus reset failed
        Identify,  // the part did not say what it is
        Fit,       // the part said what it is, and does not take what is asked of it
        Read,      // reading the flash failed part-way
    };
    Stage stage = Stage::Open;
    Error error;
};

// A board open for flashing, closed by its owner once: when the owner goes out of scope, or
// earlier by its close. Moved along with the board's update from one step to the next; a
// moved-from owner holds nothing.
class OpenBoard {
  public:
    OpenBoard() = default;
    explicit OpenBoard(BoardDevice& board) : board_(&board) {}
    OpenBoard(OpenBoard&& other) noexcept : board_(std::exchange(other.board_, nullptr)) {}
    OpenBoard& operator=(OpenBoard&& other) noexcept {
        if (this != &other) {
            close();
            board_ = std::exchange(other.board_, nullptr);
        }
        return *this;
    }
    OpenBoard(const OpenBoard&) = delete;
    OpenBoard& operator=(const OpenBoard&) = delete;
    ~OpenBoard() { close(); }

    BoardDevice& operator*() const { return *board_; }
    BoardDevice* operator->() const { return board_; }
    explicit operator bool() const { return board_ != nullptr; }

    // Closes the board now; the owner holds nothing afterwards.
    void close() {
        if (board_ != nullptr) std::exchange(board_, nullptr)->close();
    }
    // Leaves the board open past its owner: its record closes it when the run ends.
    BoardDevice* release() { return std::exchange(board_, nullptr); }

  private:
    BoardDevice* board_ = nullptr;
};

// Opens the board's node with the board lock and builds its flash objects as its kind
// requires; the board stays open and locked as long as the owner answered lives. A board opened
// untouched is closed again on failure. A board opened with its bus reset (tarnvel-flash's
// opening) is not: a failed open leaves the record as it was, and a failed reset (Stage::Flash)
// leaves the node open and the objects in the record until the run ends, as tarnvel-flash has
// always left them.
std::expected<OpenBoard, AccessFailure> open_for_flashing(BoardDevice& board, FlashOpening how);

// Before the first erase or read of an opened board: waits (bounded) for a flash that a killed
// run left busy, resets a parallel flash to read mode, identifies the part and checks that it
// takes what `use` sends to `length` bytes from the kind's base address.
std::expected<FlashGeometry, AccessFailure> identify_flash_part(BoardDevice& board,
                                                                std::uint64_t length, FlashUse use);

// Opens the board untouched, makes sure of its part for reading `image`'s length, compares its
// image region with `image` and closes it again, whatever happens.
std::expected<ImageComparison, AccessFailure> verify_flash(BoardDevice& board,
                                                           std::span<const std::uint8_t> image,
                                                           ProgrammingObserver& observer);

// Opens the board untouched, makes sure of its part for reading `length` bytes, reads them from
// the image region into `sink` and closes it again, whatever happens. An error of the sink
// stops the reading and comes back as Stage::Read with the sink's error.
std::expected<void, AccessFailure> read_flash(BoardDevice& board, std::uint32_t length,
                                              ProgrammingObserver& observer,
                                              const RegionSink& sink);

}  // namespace tarnvel
