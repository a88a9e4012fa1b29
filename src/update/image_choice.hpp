#pragma once
// Which image a board gets: its firmware archive's image, or an image file the operator names,
// with the checks every image passes before a board is touched, and where it came from.

#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "device/board_device.hpp"
#include "firmware/firmware_archive.hpp"
#include "firmware/firmware_image.hpp"
#include "firmware/signed_image.hpp"
#include "update/image_policy.hpp"
#include "journal/journal.hpp"

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
    // The record whose backup these bytes are, when they are one.
    std::optional<std::int64_t> backup_of = std::nullopt;
    // For a backup: the record of the write that put what it holds on the flash, when the
    // journal knows it. A backup has no signature of its own; that record's decides.
    std::optional<WriteRecord> restored_write = std::nullopt;
    // The SHA-256 of `bytes` in hexadecimal, when it is known already (a backup's, checked
    // as it was read; a file's, hashed as it was read): the image is then not hashed again
    // for each board. Empty: hashed when chosen.
    std::string sha256{};
    // The version of the firmware they hold, when it is known (a backup of a known image).
    std::optional<std::int32_t> version = std::nullopt;
};

struct ChosenImage {
    FirmwareImage image;
    std::optional<std::int32_t> version;  // none for an image file, whose name carries none
    ImageOrigin origin;
    std::string sha256;  // of image.data, in hexadecimal
    // The signature beside the archive or the image file, checked over the bytes read (a
    // backup written back has none).
    SignatureCheck signature{};
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
// window, whole words on parallel flash), otherwise the board's archive image. With `images`,
// its signature is checked with the policy's trusted keys: an archive that has a signature, or
// whose signature is required, is read whole into memory once, checked, and its image read
// from those same bytes.
std::expected<ChosenImage, PassedOver> choose_image(const BoardDevice& board,
                                                    const ImageFile* image_file,
                                                    std::string_view firmware_dir = kFirmwareDir,
                                                    const ImagePolicy* images = nullptr);

// An image file read whole, hashed once as it is read.
Result<ImageFile> read_hashed_image_file(const std::string& path);

// The images of one run, as choose_image chooses them: each archive's image is inflated,
// checked and hashed once however many boards of its kind take it, and those boards share its
// one copy for as long as the run lasts. An image file is not kept (its owner holds it for the
// run); it is copied for each board that takes it.
class RunImages {
  public:
    // `images`, when given, has each image's signature checked with its trusted keys
    // (choose_image); it must outlive the run.
    explicit RunImages(std::string firmware_dir = kFirmwareDir,
                       const ImagePolicy* images = nullptr);

    std::expected<std::shared_ptr<const ChosenImage>, PassedOver> choose(
        const BoardDevice& board, const ImageFile* image_file);

  private:
    std::string firmware_dir_;
    const ImagePolicy* images_;
    std::mutex mutex_;
    // By the archive's path and the kind whose image was taken from it.
    std::map<std::pair<std::string, BoardKind>, std::shared_ptr<const ChosenImage>> archives_;
};

}  // namespace tarnvel
