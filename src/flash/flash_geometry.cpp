#include "flash/flash_geometry.hpp"

#include <fmt/format.h>

namespace tarnvel {

std::string_view geometry_source_text(GeometrySource source) {
    switch (source) {
        case GeometrySource::Sfdp: return "SFDP";
        case GeometrySource::JedecIdTable: return "the JEDEC ID table";
        case GeometrySource::Cfi: return "the CFI query";
    }
    return "?";
}

std::string size_text(std::uint64_t bytes) {
    constexpr std::uint64_t kKiB = 1024;
    constexpr std::uint64_t kMiB = kKiB * 1024;
    constexpr std::uint64_t kGiB = kMiB * 1024;
    if (bytes != 0 && bytes % kGiB == 0) return fmt::format("{} GiB", bytes / kGiB);
    if (bytes != 0 && bytes % kMiB == 0) return fmt::format("{} MiB", bytes / kMiB);
    if (bytes != 0 && bytes % kKiB == 0) return fmt::format("{} KiB", bytes / kKiB);
    return fmt::format("{} bytes", bytes);
}

}  // namespace tarnvel
