#pragma once
// Firmware images and their archives for the benchmarks, in a scratch directory that goes
// when the object does.

#include <cstdint>
#include <string>
#include <vector>

#include "device/board_table.hpp"

namespace tarnvel::bench {

class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

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
