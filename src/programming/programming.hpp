#pragma once

#include <cstdint>
#include <span>

#include "base/error.hpp"
#include "device/board_device.hpp"
#include "firmware/firmware_image.hpp"
#include "flash/progress.hpp"

namespace tarnvel {

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
// `report`, when given, says what the run did. `held`, when given to a Differing run, is what
// the flash holds over the image's span, in image byte order, as read just before (to keep a
// copy of it): each block is compared with it instead of being read again.
Status program_firmware(BoardDevice& board, const FirmwareImage& image,
                        ProgrammingObserver& observer, ProgrammingReport* report = nullptr,
                        ProgrammingMode mode = ProgrammingMode::Full,
                        std::span<const std::uint8_t> held = {});

}  // namespace tarnvel
