#include "firmware/firmware_archive.hpp"

#include <fmt/format.h>

#include <optional>

#include "firmware/image_fit.hpp"
#include "firmware/image_name.hpp"
#include "firmware/zip_archive.hpp"

namespace tarnvel {
namespace {

const char* entry_type_text(EntryType type) {
    switch (type) {
        case EntryType::Directory: return "a directory";
        case EntryType::SymbolicLink: return "a symbolic link";
        case EntryType::Other: return "a device, FIFO or socket";
        case EntryType::File: break;
    }
    return "a file";
}

struct ChosenEntry {
    std::uint64_t index = 0;
    ImageEntry entry;
};

// The last entry, in directory order, whose name matches the kind's image-name pattern and
// that is a file, with the size its directory declares. Nothing of the entry's data is read.
Result<ChosenEntry> choose_entry(const ZipArchive& archive, BoardKind kind) {
    const ImageNamePattern pattern = image_name_pattern(kind);
    std::optional<ChosenEntry> chosen;
    // The last entry with an image's name that is no file: what its content would have been
    // is a link's target path or nothing at all, never flash content.
    std::string passed_over;
    for (std::uint64_t index = 0; index < archive.entry_count(); ++index) {
        auto name = archive.entry_name(index);
        if (!name) return std::unexpected(std::move(name.error()));
        auto found = pattern.find_version(*name);
        if (!found) continue;
        auto type = archive.entry_type(index);
        if (!type) return std::unexpected(std::move(type.error()));
        if (*type != EntryType::File) {
            passed_over = fmt::format("{} is {}, not an image file", *name, entry_type_text(*type));
            continue;
        }
        chosen = ChosenEntry{.index = index,
                             .entry = ImageEntry{.name = std::string(*name), .version = *found}};
    }
    if (!chosen) {
        return std::unexpected(
            Error::message(ErrorKind::NotFound, kFirmwareNotFound).with_note(passed_over));
    }
    auto size = archive.declared_size(chosen->index);
    if (!size) return std::unexpected(std::move(size.error()));
    // Before a byte is read: the declared size alone decides whether the image could be
    // written, and bounds what reading it may allocate. The bound is the kind's image window
    // (what the board's flash addressing reaches past the image's base); this is the place
    // where the size of the board's own chip, once known, bounds it too.
    if (auto fits = check_image_fits(kind, *size); !fits) {
        return std::unexpected(std::move(fits.error()));
    }
    chosen->entry.size = *size;
    return std::move(*chosen);
}

}  // namespace

std::string firmware_archive_name(BoardKind kind, std::uint8_t hw_major, std::uint8_t hw_minor) {
    const BoardInfo& info = board_info(kind);
    const char* suffix = info.archive_form == ArchiveForm::Bypass ? "_bp" : "";
    return fmt::format("{}v{}_{}{}.zip", info.archive_name, static_cast<unsigned>(hw_major),
                       static_cast<unsigned>(hw_minor), suffix);
}

std::string firmware_archive_path(BoardKind kind, std::uint8_t hw_major, std::uint8_t hw_minor,
                                  std::string_view firmware_dir) {
    return fmt::format("{}/{}", firmware_dir, firmware_archive_name(kind, hw_major, hw_minor));
}

Result<FirmwareImage> find_firmware_image_at(const std::string& path, BoardKind kind) {
    auto read = read_archive_image_at(path, kind);
    if (!read) return std::unexpected(std::move(read.error()));
    return std::move(read->image);
}

Result<ImageEntry> find_image_entry_at(const std::string& path, BoardKind kind) {
    auto archive = ZipArchive::open(path);
    if (!archive) return std::unexpected(std::move(archive.error()));
    auto chosen = choose_entry(*archive, kind);
    if (!chosen) return std::unexpected(std::move(chosen.error()));
    return std::move(chosen->entry);
}

namespace {

Result<ArchiveImage> read_image(const Result<ZipArchive>& archive, BoardKind kind) {
    if (!archive) return std::unexpected(archive.error());
    auto chosen = choose_entry(*archive, kind);
    if (!chosen) return std::unexpected(std::move(chosen.error()));
    auto data = archive->read_entry(chosen->index, chosen->entry.size);
    if (!data) return std::unexpected(std::move(data.error()));
    return ArchiveImage{.image = FirmwareImage{chosen->entry.version, std::move(*data)},
                        .entry = std::move(chosen->entry.name)};
}

}  // namespace

Result<ArchiveImage> read_archive_image_at(const std::string& path, BoardKind kind) {
    return read_image(ZipArchive::open(path), kind);
}

Result<ArchiveImage> read_archive_image_in(std::span<const std::uint8_t> archive, BoardKind kind) {
    return read_image(ZipArchive::open_bytes(archive), kind);
}

}  // namespace tarnvel
