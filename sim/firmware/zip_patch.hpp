#pragma once
// Rewrites header fields of entries in a written ZIP file, in its central directory and in
// the entry's local header alike: how test archives get damage that libzip would never write.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"

namespace tarnvel::sim {

struct ZipEntryPatch {
    std::string name;                                      // the entry to change
    std::optional<std::uint16_t> compression_method = {};  // recorded method
    std::uint32_t crc_xor = 0;                             // bits to flip in the recorded CRC-32
    std::optional<std::uint32_t> uncompressed_size = {};   // recorded uncompressed size
};

// Fails if the file is not a plain single-disk ZIP file or a named entry is missing.
Status patch_zip_entries(const std::string& path, const std::vector<ZipEntryPatch>& patches);

}  // namespace tarnvel::sim
