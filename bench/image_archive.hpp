#pragma once
// Firmware images and their archives for the benchmarks.

#include <cstdint>
#include <string>
#include <vector>

#include "device/board_table.hpp"

namespace tarnvel::bench {

// Bytes shaped like a configuration image: in every 64 KiB, 48 KiB of noise followed by
// 16 KiB of erased-flash padding (0xFF), so that DEFLATE stores some blocks and codes others.
std::vector<std::uint8_t> firmware_like_bytes(std::size_t size, std::uint32_t seed = 1);

struct ImageArchive {
    std::string path;        // empty when writing failed
    std::string entry_name;  // the entry the kind's image-name pattern picks
};

// The archive a board of `kind` with hardware version 1.0 looks for, holding `bytes` as one
// DEFLATE entry.
ImageArchive write_image_archive(const std::string& dir, BoardKind kind,
                                 const std::vector<std::uint8_t>& bytes);

}  // namespace tarnvel::bench
