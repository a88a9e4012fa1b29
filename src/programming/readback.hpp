#pragma once
// Reading a board's firmware image region back, in image byte order: to compare it with an
// image, or to keep a copy of what the flash holds. Reads only: nothing is erased or written.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "base/error.hpp"
#include "device/board_device.hpp"
#include "programming/programming.hpp"

namespace tarnvel {

struct ImageComparison {
    // The image offset of the first byte the flash holds differently; none when all match.
    std::optional<std::uint32_t> first_difference;
    // Erase blocks of the image that hold at least one differing byte, out of block_count.
    std::uint32_t differing_blocks = 0;
    std::uint32_t block_count = 0;

    bool matches() const { return !first_difference; }
};

// Takes the bytes read back, one block at a time, in order; an error stops the reading and is
// returned as it is.
using RegionSink = std::function<Status(std::span<const std::uint8_t> bytes)>;

// Reads the first `length` bytes of the kind's image region, one erase block at a time, in
// image byte order (the parallel flash's mirrored words turned back), into `sink`. `observer`
// hears of every block before it is read (pass_started; retrying is never called). A length
// of 0 or past the kind's image window is refused before anything is read.
Status read_firmware_region(BoardDevice& board, std::uint32_t length, ProgrammingObserver& observer,
                            const RegionSink& sink);

// Compares the image region with `image`, one erase block at a time, reading all of it. An
// image that could not have been written (see check_image_fits) is refused before reading.
Result<ImageComparison> compare_firmware(BoardDevice& board, std::span<const std::uint8_t> image,
                                         ProgrammingObserver& observer);

}  // namespace tarnvel
