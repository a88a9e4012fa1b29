#pragma once
// The 16-bit parallel flash holds every little-endian word of an image with its sixteen bits
// mirrored: byte pair (b0, b1) is stored as (reverse(b1), reverse(b0)), where reverse mirrors
// the eight bits of a byte. Mirroring twice gives the bytes back, so the same operation turns
// image bytes into flash bytes and flash bytes read back into image bytes.

#include <cstdint>
#include <span>
#include <vector>

namespace tarnvel {

// `bytes` with every word mirrored, into `mirrored` (resized to match). The length must be
// even and the bytes must start on a word boundary, so that no word is cut in two.
void mirror_words(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& mirrored);

}  // namespace tarnvel
