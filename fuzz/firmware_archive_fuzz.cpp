// A firmware archive file through find_firmware_image_at for every board kind. The input is
// written to a memfd and opened by its /proc path, as the program opens an archive.
//
// Whatever the bytes, the search must end in an image or an error, without a leak (memory or
// descriptor), and without taking in more memory than the run's malloc limit allows however
// large a size the archive declares. An image that comes back must fit the kind's flash,
// carry a version its entry name gives, and be byte for byte what libzip reads for the last
// matching entry that is a regular file when the archive is opened from memory instead.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zip.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/firmware_archive.hpp"
#include "firmware/image_fit.hpp"
#include "firmware/image_name.hpp"
#include "fuzz_check.hpp"

namespace {

using tarnvel::BoardKind;
using tarnvel::FirmwareImage;
using tarnvel::Result;
using tarnvel::fuzz::check;

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// The lowest free descriptor number: it moves if a search leaves a descriptor open.
int lowest_free_descriptor() {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    return fd;
}

struct ZipDiscard {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct ZipFileClose {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};

// An entry whose attributes make it anything but a regular file holds no image: a name that
// ends in "/", the MS-DOS directory bit (0x10) of archives from MS-DOS (0) and Unix (3), a Unix
// file type (the mode's bits 12-15, kept in the attributes' high half) other than none or
// regular (8).
bool regular_file_entry(zip_t* archive, zip_uint64_t index, std::string_view name) {
    if (name.ends_with('/')) return false;
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &opsys, &attributes) != 0) {
        return false;
    }
    if ((opsys == 0 || opsys == 3) && (attributes & 0x10) != 0) return false;
    const zip_uint32_t file_type = (attributes >> 28) & 0xF;
    return opsys != 3 || file_type == 0 || file_type == 8;
}

// The last regular-file entry whose name fits the kind, found and read with libzip alone from
// memory.
std::optional<std::pair<std::int32_t, std::vector<std::uint8_t>>> read_independently(
    std::string_view bytes, BoardKind kind, std::uint64_t limit) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    zip_error_fini(&error);
    if (source == nullptr) return std::nullopt;
    std::unique_ptr<zip_t, ZipDiscard> archive(zip_open_from_source(source, ZIP_RDONLY, nullptr));
    if (!archive) {
        zip_source_free(source);
        return std::nullopt;
    }
    const auto pattern = tarnvel::image_name_pattern(kind);
    std::optional<zip_uint64_t> chosen;
    std::int32_t version = 0;
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t index = 0; index < count; ++index) {
        const char* name =
            zip_get_name(archive.get(), static_cast<zip_uint64_t>(index), ZIP_FL_ENC_GUESS);
        if (name == nullptr) return std::nullopt;
        const auto found = pattern.find_version(name);
        if (found && regular_file_entry(archive.get(), static_cast<zip_uint64_t>(index), name)) {
            chosen = static_cast<zip_uint64_t>(index);
            version = *found;
        }
    }
    if (!chosen) return std::nullopt;
    std::unique_ptr<zip_file_t, ZipFileClose> file(zip_fopen_index(archive.get(), *chosen, 0));
    if (!file) return std::nullopt;
    std::vector<std::uint8_t> data;
    std::array<std::uint8_t, 4096> chunk;
    for (;;) {
        const zip_int64_t got = zip_fread(file.get(), chunk.data(), chunk.size());
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        data.insert(data.end(), chunk.begin(), chunk.begin() + got);
        if (data.size() > limit) return std::nullopt;
    }
    return std::pair{version, std::move(data)};
}

void check_image(const FirmwareImage& image, BoardKind kind, std::string_view bytes) {
    const auto& info = tarnvel::board_info(kind);
    check(info.archive_form != tarnvel::ArchiveForm::None, "an image for a kind never updated");
    check(!image.data.empty(), "an empty image");
    check(image.data.size() <= tarnvel::firmware_window(kind), "an image larger than the flash");
    check(info.flash != tarnvel::FlashType::Bpi || image.data.size() % 2 == 0,
          "an odd-length image for 16-bit flash");
    check(image.version >= 0, "a negative image version");
    const auto independent = read_independently(bytes, kind, image.data.size());
    check(independent.has_value(), "an image libzip can't read from memory");
    check(independent->first == image.version, "the version of another entry");
    check(independent->second == image.data, "image bytes differ from what libzip reads");
}

bool same_outcome(const Result<FirmwareImage>& a, const Result<FirmwareImage>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return a.error() == b.error();
    return a->version == b->version && a->data == b->data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Descriptor file{::memfd_create("archive", MFD_CLOEXEC)};
    if (file.fd < 0 || ::write(file.fd, data, size) != static_cast<ssize_t>(size)) return -1;
    const std::string path = "/proc/self/fd/" + std::to_string(file.fd);

    const int free_before = lowest_free_descriptor();
    std::vector<Result<FirmwareImage>> outcomes;
    for (unsigned kind = 0; kind < tarnvel::kBoardKindCount; ++kind) {
        outcomes.push_back(tarnvel::find_firmware_image_at(path, static_cast<BoardKind>(kind)));
        check(lowest_free_descriptor() == free_before, "a descriptor left open");
        if (outcomes.back()) check_image(*outcomes.back(), static_cast<BoardKind>(kind), bytes);
    }
    // The three QX410 variants share image names and flash layout: one archive, one outcome.
    check(same_outcome(outcomes[1], outcomes[2]) && same_outcome(outcomes[1], outcomes[3]),
          "QX410 variants differ on the same archive");
    return 0;
}
