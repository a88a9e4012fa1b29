#include "sim/firmware/archive_images.hpp"

#include <algorithm>
#include <optional>
#include <system_error>

#include "firmware/image_name.hpp"
#include "firmware/zip_archive.hpp"

namespace tarnvel::sim {
namespace {

// The version an entry name carries for the first kind whose pattern it fits.
std::optional<std::int32_t> image_version(std::string_view name) {
    for (unsigned kind = 0; kind < kBoardKindCount; ++kind) {
        if (auto version = image_name_pattern(static_cast<BoardKind>(kind)).find_version(name)) {
            return version;
        }
    }
    return std::nullopt;
}

void add_images_of(const std::filesystem::path& path, std::vector<KnownImage>& images) {
    auto archive = ZipArchive::open(path.string());
    if (!archive) return;
    for (std::uint64_t i = 0; i < archive->entry_count(); ++i) {
        auto name = archive->entry_name(i);
        if (!name) continue;
        const auto version = image_version(*name);
        if (!version) continue;
        auto size = archive->declared_size(i);
        if (!size) continue;
        auto data = archive->read_entry(i, *size);
        if (data) images.push_back({std::move(*data), *version});
    }
}

}  // namespace

std::vector<KnownImage> archive_images(const std::filesystem::path& dir) {
    // In name order, so that which of two equal images counts is the same every time.
    std::vector<std::filesystem::path> archives;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.path().extension() == ".zip") archives.push_back(entry.path());
    }
    std::ranges::sort(archives);
    std::vector<KnownImage> images;
    for (const auto& path : archives) add_images_of(path, images);
    return images;
}

}  // namespace tarnvel::sim
