#include "update/image_choice.hpp"

#include <fmt/format.h>

#include <cerrno>

#include "firmware/image_file.hpp"
#include "firmware/image_fit.hpp"
#include "firmware/zip_archive.hpp"
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

// The board's archive image read whole; with `images`, the archive's signature checked over the
// archive's bytes, read once, that the image is then read from.
Result<ChosenImage> read_archive_image(const BoardDevice& board, std::string_view firmware_dir,
                                       const ImagePolicy* images) {
    std::string archive = archive_path_of(board, firmware_dir);
    SignatureCheck signature;
    Result<ArchiveImage> read;
    if (images != nullptr && (images->require_signature || has_signature(archive))) {
        auto bytes = ZipArchive::read_file(archive);
        if (!bytes) return std::unexpected(std::move(bytes.error()));
        signature = check_signature(archive, *bytes, images->trusted_keys);
        read = read_archive_image_in(*bytes, board.kind);
    } else {
        read = read_archive_image_at(archive, board.kind);
    }
    if (!read) return std::unexpected(std::move(read.error()));
    const std::int32_t version = read->image.version;
    std::string sha256 = sha256_hex(read->image.data);
    return ChosenImage{.image = std::move(read->image),
                       .version = version,
                       .origin = ImageOrigin{std::move(archive), std::move(read->entry)},
                       .sha256 = std::move(sha256),
                       .signature = std::move(signature)};
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
                                                    std::string_view firmware_dir,
                                                    const ImagePolicy* images) {
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
            .sha256 =
                image_file->sha256.empty() ? sha256_hex(image_file->bytes) : image_file->sha256,
            // The bytes read once from the file are the bytes checked and written.
            .signature =
                images != nullptr && !image_file->backup_of
                    ? check_signature(image_file->path, image_file->bytes, images->trusted_keys)
                    : SignatureCheck{}};
    }
    auto chosen = read_archive_image(board, firmware_dir, images);
    if (!chosen) {
        return std::unexpected(
            archive_failure(archive_path_of(board, firmware_dir), chosen.error()));
    }
    return std::move(*chosen);
}

Result<ImageFile> read_hashed_image_file(const std::string& path) {
    auto bytes = read_image_file(path);
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    std::string sha256 = sha256_hex(*bytes);
    return ImageFile{.path = path, .bytes = std::move(*bytes), .sha256 = std::move(sha256)};
}

RunImages::RunImages(std::string firmware_dir, const ImagePolicy* images)
    : firmware_dir_(std::move(firmware_dir)), images_(images) {}

std::expected<std::shared_ptr<const ChosenImage>, PassedOver> RunImages::choose(
    const BoardDevice& board, const ImageFile* image_file) {
    const auto shared = [](std::expected<ChosenImage, PassedOver> chosen)
        -> std::expected<std::shared_ptr<const ChosenImage>, PassedOver> {
        if (!chosen) return std::unexpected(std::move(chosen.error()));
        return std::make_shared<const ChosenImage>(std::move(*chosen));
    };
    if (image_file != nullptr || never_written(board.kind)) {
        return shared(choose_image(board, image_file, firmware_dir_, images_));
    }
    const std::lock_guard lock(mutex_);
    const auto key = std::pair(archive_path_of(board, firmware_dir_), board.kind);
    if (auto kept = archives_.find(key); kept != archives_.end()) return kept->second;
    // An archive that can't be read is tried again for the next board: it may be there by then.
    auto chosen = shared(choose_image(board, nullptr, firmware_dir_, images_));
    if (chosen) archives_.emplace(key, *chosen);
    return chosen;
}

}  // namespace tarnvel
