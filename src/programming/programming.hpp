#pragma once

#include <cstdint>

#include "base/error.hpp"
#include "device/board_device.hpp"
#include "firmware/firmware_image.hpp"

namespace tarnvel {

// One pass over one block of the image, as the programming run reports it before the pass
// starts: an erase, write and read-back pass, or the read that finds out whether the block
// already holds the image.
struct BlockPass {
    std::uint32_t block = 0;        // 0-based index of the block
    std::uint32_t block_count = 0;  // blocks the image covers
    std::uint32_t offset = 0;       // image bytes in the blocks before this one
    std::uint32_t length = 0;       // image bytes in this block
    std::uint32_t image_length = 0;
    unsigned retry = 0;  // 0 for the first pass, then 1 to 5
};

// What a programming run tells while it works. The run itself prints nothing: each program
// shows progress and retries its own way (a progress line, a bar on standard error, nothing).
class ProgrammingObserver {
  public:
    virtual ~ProgrammingObserver() = default;
    // Before every pass over a block, the repeated passes of a retried block included.
    virtual void pass_started(const BlockPass& pass) = 0;
    // A block's read-back differed from what was written, and the block is to be done again.
    virtual void retrying(const BlockPass& failed_pass) = 0;
    // Only in runs that write the blocks that differ: before a block is read to find out
    // whether it already holds the image. Either block_unchanged follows, or the block's first
    // pass_started.
    virtual void compare_started(const BlockPass&) {}
    // The block already holds the image: it is neither erased nor written, and the read that
    // found it so was its verification.
    virtual void block_unchanged(const BlockPass&) {}
};

// For runs that show nothing.
class SilentProgress final : public ProgrammingObserver {
  public:
    void pass_started(const BlockPass&) override {}
    void retrying(const BlockPass&) override {}
};

// What a programming run did, also when it failed part-way: for the records kept of every
// write and for telling the operator whether the flash still holds what it held before.
struct ProgrammingReport {
    std::uint32_t block_count = 0;       // erase blocks the image covers
    std::uint32_t blocks_written = 0;    // blocks erased, written and verified
    std::uint32_t blocks_unchanged = 0;  // blocks found holding the image, left as they were
    unsigned retries = 0;                // passes repeated after a read-back mismatch
    bool flash_changed = false;          // an erase or program command went out to the flash
};

// Which blocks a programming run erases and writes.
enum class ProgrammingMode : std::uint8_t {
    // Every block the image covers, whatever the flash holds.
    Full,
    // Each block is first read and compared with the image (the parallel flash with its words
    // mirrored, as they are written); only a block that differs is erased and written. An
    // update cut short, or one of an image the flash already holds, then costs the time of
    // the blocks that differ, and the flash is spared the erases.
    Differing,
};

// Writes the image at the kind's base address, one erase block at a time: erase, write, read
// back and compare, up to five retries per block, reporting each pass and each retry to
// `observer`. In `ProgrammingMode::Differing` a block that already holds the image is skipped.
// An image that could not be written safely (empty, past the end of the flash
// addresses the board reaches, odd length on a 16-bit flash) is refused before anything is
// erased. Returns the first error of a flash operation unchanged, or "can't write to flash"
// when a block still differs after its fifth retry.
// `report`, when given, says what the run did.
Status program_firmware(BoardDevice& board, const FirmwareImage& image,
                        ProgrammingObserver& observer, ProgrammingReport* report = nullptr,
                        ProgrammingMode mode = ProgrammingMode::Full);

}  // namespace tarnvel
