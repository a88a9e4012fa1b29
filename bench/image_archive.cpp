#include "image_archive.hpp"

#include <cstdlib>
#include <filesystem>

#include "sim/firmware/firmware_archive_writer.hpp"

namespace tarnvel::bench {

std::vector<std::uint8_t> firmware_like_bytes(std::size_t size, std::uint32_t seed) {
    constexpr std::size_t kPeriod = 64 * 1024;
    constexpr std::size_t kNoise = 48 * 1024;
    std::vector<std::uint8_t> bytes = sim::firmware_bytes(size, seed);
    for (std::size_t start = kNoise; start < size; start += kPeriod) {
        const std::size_t end = std::min(size, start + (kPeriod - kNoise));
        std::fill(bytes.begin() + static_cast<long>(start), bytes.begin() + static_cast<long>(end),
                  0xFF);
    }
    return bytes;
}

ImageArchive write_image_archive(const std::string& dir, BoardKind kind,
                                 const std::vector<std::uint8_t>& bytes) {
    ImageArchive archive;
    archive.entry_name = sim::firmware_entry_name(kind, 2);
    auto path = sim::write_firmware_archive(
        dir, kind, 1, 0,
        {sim::FirmwareEntry{
            .name = archive.entry_name, .data = bytes, .compression = sim::Compression::Deflate}});
    if (path) archive.path = *path;
    return archive;
}

}  // namespace tarnvel::bench
