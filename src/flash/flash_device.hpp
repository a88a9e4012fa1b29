#pragma once
// The flash as the programming sequence sees it, in flash byte addresses.

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "base/error.hpp"
#include "flash/flash_geometry.hpp"

namespace tarnvel {

class FlashDevice {
  public:
    virtual ~FlashDevice() = default;

    virtual std::uint32_t erase_size() const = 0;  // bytes per erase block
    virtual std::uint32_t page_size() const = 0;   // bytes per program page
    virtual Result<std::vector<std::uint8_t>> read_id() = 0;
    // Exactly `length` bytes from `address` on.
    virtual Result<std::vector<std::uint8_t>> read(std::uint32_t address, std::uint32_t length) = 0;
    // Programs the first `length` bytes of `data` at `address`. A `data` shorter than `length`
    // is refused as invalid input before anything is sent; a length of 0 programs nothing.
    virtual Status write(std::uint32_t address, std::uint32_t length,
                         std::span<const std::uint8_t> data) = 0;
    // Erases every block that holds a byte of [address, address + length); a length of 0
    // erases nothing.
    virtual Status erase(std::uint32_t address, std::uint32_t length) = 0;

    // Polls until the flash no longer reports a program or erase in progress, for no longer
    // than the longest one the driver starts: a run that was killed in the middle of one, or
    // whose last command frame the next access completes, leaves the flash busy for up to that
    // long, and a busy flash answers reads with status instead of data. Fails with a timeout
    // when it is busy still. A flash that can't report busy is taken as ready.
    virtual Status wait_until_ready() { return {}; }
    // Whether the erases that follow are polled only once they have lasted nearly as long as
    // the quickest erase of this flash so far, instead of from their start: fewer status reads
    // and wake-ups, with the end still seen by a poll within the usual interval. A driver
    // whose erase polls are few anyway ignores it.
    virtual void set_erase_polls_late(bool /*late*/) {}
    // What the part says about itself: its size, erase and program geometry and the address
    // forms it takes. Sends commands of its own, so the flash must be ready.
    virtual Result<FlashGeometry> read_geometry() {
        return std::unexpected(
            Error::message(ErrorKind::Unsupported, "this flash does not describe itself"));
    }

    // Whether an erase or program command has gone out to the chip (or may have: its sending
    // was started) since the driver was built. A write or erase that failed before that left
    // the flash as it was.
    bool change_command_sent() const { return change_command_sent_; }

    // Called while a write or read runs, after each program page or read piece, with the bytes
    // of that call done so far: what shows a long write or read move. None by default.
    using BytesDone = std::function<void(std::uint32_t bytes)>;
    void set_progress(BytesDone progress) { progress_ = std::move(progress); }

  protected:
    // Called by a driver just before it sends the command that makes the chip change its
    // content.
    void note_change_command() { change_command_sent_ = true; }
    // Called by a driver after each page or piece of a write or read.
    void note_progress(std::uint32_t bytes) const {
        if (progress_) progress_(bytes);
    }

  private:
    bool change_command_sent_ = false;
    BytesDone progress_;
};

}  // namespace tarnvel
