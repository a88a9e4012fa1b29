#pragma once
// Which image a board gets: its firmware archive's image, or an image file the operator names,
// with the checks every image passes before a board is touched, and where it came from.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "device/board_device.hpp"
#include "firmware/firmware_archive.hpp"
#include "firmware/firmware_image.hpp"

namespace tarnvel {

// Where an image came from: an archive and its entry, or an image file (no entry).
struct ImageOrigin {
    std::string path;
    std::optional<std::string> entry;
    // A backup written back: the record whose backup it is.
    std::optional<std::int64_t> backup_of = std::nullopt;
};

// A raw image file, read whole.
struct ImageFile {
    std::string path;
    std::vector<std::uint8_t> bytes;
    // The record whose backup these bytes are, when they are one,
    std::optional<std::int64_t> backup_of = std::nullopt;
    // and the version of the firmware they hold, when it is known.
    std::optional<std::int32_t> version = std::nullopt;
};

struct ChosenImage {
    FirmwareImage image;
    std::optional<std::int32_t> version;  // none for an image file, whose name carries none
    ImageOrigin origin;
    std::string sha256;  // of image.data, in hexadecimal
};

// The archive's image as its directory describes it, none of its data read.
struct ImageListing {
    std::int32_t version = 0;
    std::uint64_t size = 0;
    ImageOrigin origin;
};

// Why a board gets no image: it is not a known board, it loads its firmware itself (QX1800),
// its archive is not there, or the archive holds no usable image for it.
struct PassedOver {
    enum class Why : std::uint8_t { Unsupported, DynamicFirmware, NoArchive, NoImage } why;
    std::optional<std::string> archive;  // the archive that was looked in
    std::optional<std::string> error;    // what is wrong with it, or with the image file
    std::optional<Error> cause;          // the error behind `error`

    // "{archive}: {error}", or the error alone; none for a board that needs no image.
    std::optional<std::string> detail() const;
};

// The board's archive image from the archive's directory alone: its version, declared size
// and entry, refused when the declared size could not be written. Reads no image data.
std::expected<ImageListing, PassedOver> look_up_image(const BoardDevice& board,
                                                      std::string_view firmware_dir = kFirmwareDir);

// The image file when given (checked as an archive's image is: not empty, within the kind's
// window, whole words on parallel flash), otherwise the board's archive image.
std::expected<ChosenImage, PassedOver> choose_image(const BoardDevice& board,
                                                    const ImageFile* image_file,
                                                    std::string_view firmware_dir = kFirmwareDir);

}  // namespace tarnvel
