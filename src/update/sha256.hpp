#pragma once
// The SHA-256 digest that names an image in the journal: the same bytes, the same digest,
// whichever archive or file they came from.

#include <cstdint>
#include <span>
#include <string>

namespace tarnvel {

// The digest of `bytes` as 64 lower-case hexadecimal digits, as sha256sum prints it.
std::string sha256_hex(std::span<const std::uint8_t> bytes);

}  // namespace tarnvel
