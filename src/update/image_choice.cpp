#include "update/image_choice.hpp"

#include <fmt/format.h>

#include <cerrno>

#include "firmware/image_fit.hpp"
#include "update/sha256.hpp"

namespace tarnvel {
namespace {

using Why = PassedOver::Why;

// Boards that get no image whatever the archives hold.
std::optional<PassedOver> never_written(BoardKind kind) {
    if (kind == BoardKind::Unsupported) return PassedOver{Why::Unsupported, {}, {}, {}};
    if (kind == BoardKind::Qx1800) return PassedOver{Why::DynamicFirmware, {}, {}, {}};
    return std::nullopt;
}

PassedOver archive_failure(std::string archive, const Error& error) {
    const std::int32_t* code = error.os_code();
    return PassedOver{code != nullptr && *code == ENOENT ? Why::NoArchive : Why::NoImage,
                      std::move(archive), error_text_with_note(error), error};
}

std::string archive_path_of(const BoardDevice& board, std::string_view firmware_dir) {
    return firmware_archive_path(board.kind, board.hw_major, board.hw_minor, firmware_dir);
}

// The board's archive image read whole.
Result<ChosenImage> read_archive_image(const BoardDevice& board, std::string_view firmware_dir) {
    std::string archive = archive_path_of(board, firmware_dir);
    auto read = read_archive_image_at(archive, board.kind);
    if (!read) return std::unexpected(std::move(read.error()));
    const std::int32_t version = read->image.version;
    std::string sha256 = sha256_hex(read->image.data);
    return ChosenImage{.image = std::move(read->image),
                       .version = version,
                       .origin = ImageOrigin{std::move(archive), std::move(read->entry)},
                       .sha256 = std::move(sha256)};
}

}  // namespace

std::optional<std::string> PassedOver::detail() const {
    if (archive && error) return fmt::format("{}: {}", *archive, *error);
    return error;
}

std::expected<ImageListing, PassedOver> look_up_image(const BoardDevice& board,
                                                      std::string_view firmware_dir) {
    if (auto passed_over = never_written(board.kind)) return std::unexpected(*passed_over);
    std::string archive = archive_path_of(board, firmware_dir);
    auto entry = find_image_entry_at(archive, board.kind);
    if (!entry) return std::unexpected(archive_failure(std::move(archive), entry.error()));
    return ImageListing{.version = entry->version,
                        .size = entry->size,
                        .origin = ImageOrigin{std::move(archive), std::move(entry->name)}};
}

std::expected<ChosenImage, PassedOver> choose_image(const BoardDevice& board,
                                                    const ImageFile* image_file,
                                                    std::string_view firmware_dir) {
    if (auto passed_over = never_written(board.kind)) return std::unexpected(*passed_over);
    if (image_file != nullptr) {
        if (auto fits = check_image_fits(board.kind, image_file->bytes.size()); !fits) {
            return std::unexpected(
                PassedOver{Why::NoImage, {}, error_text(fits.error()), fits.error()});
        }
        return ChosenImage{
            .image = FirmwareImage{.version = 0, .data = image_file->bytes},
            .version = image_file->version,
            .origin = ImageOrigin{image_file->path, std::nullopt, image_file->backup_of},
            .sha256 = sha256_hex(image_file->bytes)};
    }
    auto chosen = read_archive_image(board, firmware_dir);
    if (!chosen) {
        return std::unexpected(
            archive_failure(archive_path_of(board, firmware_dir), chosen.error()));
    }
    return std::move(*chosen);
}

}  // namespace tarnvel
