#include "firmware/firmware_archive.hpp"
#include "archive_test_support.hpp"
#include "sim/support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "firmware/image_fit.hpp"
#include "sim/firmware/firmware_archive_writer.hpp"

namespace tarnvel {
namespace {

namespace fs = std::filesystem;
using sim::Compression;
using sim::EntryDamage;
using sim::FirmwareEntry;
using K = BoardKind;

using testing::reader_error;
using sim::TempDir;

std::size_t open_descriptors() {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

struct PathCase {
    BoardKind kind;
    std::uint8_t hw_major, hw_minor;
    const char* path;
};
class ArchivePath : public ::testing::TestWithParam<PathCase> {};

TEST_P(ArchivePath, FollowsKindAndHardwareVersion) {
    const auto& c = GetParam();
    EXPECT_EQ(firmware_archive_path(c.kind, c.hw_major, c.hw_minor), c.path);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ArchivePath,
    ::testing::Values(PathCase{K::Qx400, 1, 1, "/lib/firmware/tarnvel/qx400v1_1.zip"},
                      PathCase{K::Qx410Bp, 5, 0, "/lib/firmware/tarnvel/qx410v5_0_bp.zip"},
                      PathCase{K::Qx410M2, 1, 0, "/lib/firmware/tarnvel/qx410m2v1_0.zip"},
                      PathCase{K::Qx630, 12, 255, "/lib/firmware/tarnvel/qx630v12_255.zip"}));

struct SelectionCase {
    BoardKind kind;
    std::vector<const char*> names;  // in directory order
    std::size_t chosen;              // the entry that must be read
    std::int32_t version;
    std::optional<std::size_t> link = std::nullopt;  // an entry recorded as a symbolic link
};
class ImageSelection : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(ImageSelection, ReadsLastMatchingEntryWholeStoredOrDeflated) {
    const auto& c = GetParam();
    for (Compression compression : {Compression::Stored, Compression::Deflate}) {
        TempDir dir;
        std::vector<FirmwareEntry> entries;
        for (std::uint32_t i = 0; i < c.names.size(); ++i) {
            entries.push_back({c.names[i], sim::firmware_bytes(3000 + 2 * i, i), compression});
            if (c.link == i) entries.back().unix_mode = S_IFLNK | 0777;
        }
        ASSERT_TRUE(sim::write_zip((dir.path() / "fw.zip").string(), entries));
        auto image = find_firmware_image_at((dir.path() / "fw.zip").string(), c.kind);
        ASSERT_TRUE(image) << error_text(image.error());
        EXPECT_EQ(image->version, c.version);
        EXPECT_EQ(image->data, entries[c.chosen].data);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Archives, ImageSelection,
    ::testing::Values(
        SelectionCase{K::Qx480Spi, {"readme.txt", "qx480_2_9.bin", "qx400_1_3.bin"}, 1, 9},
        // No comparison between candidates: the last one visited wins.
        SelectionCase{K::Qx400, {"qx400_1_9.bin", "qx400_1_3.bin"}, 1, 3},
        SelectionCase{K::Qx610Bpi, {"img/qx610_1_2.bin", "qx610_1_5.bin.old"}, 1, 5},
        SelectionCase{K::Qx410M2, {"qx410ml_1_6.bin", "qx410m2_1_7.bin"}, 0, 6},
        SelectionCase{K::Qx630, {"qx630_1_4.bin", "qx630_1_2147483648.bin"}, 0, 4},
        // A link is no image, wherever it stands.
        SelectionCase{K::Qx630, {"qx630_1_4.bin", "qx630_1_7.bin"}, 0, 4, 1}));

// Fifo: a named pipe nobody writes to; Device: a link to a character device.
enum class File { Missing, Directory, Fifo, Device, NotZip, CutShort, Archive };

struct FailureCase {
    const char* what;
    BoardKind kind;
    File file;
    std::vector<FirmwareEntry> entries;  // for File::Archive and File::CutShort
    Error expected;
};
void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.what;
}

FirmwareEntry entry(const char* name, std::size_t size, Compression compression,
                    EntryDamage damage = EntryDamage::None,
                    std::optional<std::uint32_t> declared_size = std::nullopt) {
    return {name, sim::firmware_bytes(size), compression, damage, declared_size};
}

// An entry with an image's name that is not a file, as a Unix archiver records it.
FirmwareEntry not_a_file(const char* name, std::uint32_t mode, std::string_view content) {
    return {.name = name,
            .data = {content.begin(), content.end()},
            .compression = Compression::Stored,
            .unix_mode = mode};
}

Error no_image_but(std::string note) {
    return Error::message(ErrorKind::NotFound, kFirmwareNotFound).with_note(std::move(note));
}

class ArchiveFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ArchiveFailure, BecomesItsErrorAndLeavesNoFileOpen) {
    const auto& c = GetParam();
    TempDir dir;
    std::string path = (dir.path() / "fw.zip").string();
    if (c.file == File::Directory) path = dir.path().string();
    bool made = true;
    if (c.file == File::NotZip) made = sim::write_not_a_zip(path).has_value();
    if (c.file == File::Fifo) made = ::mkfifo(path.c_str(), 0600) == 0;
    if (c.file == File::Device) made = ::symlink("/dev/null", path.c_str()) == 0;
    if (c.file == File::Archive || c.file == File::CutShort)
        made = sim::write_zip(path, c.entries).has_value();
    if (c.file == File::CutShort) made = made && sim::truncate_file(path, fs::file_size(path) / 2);
    ASSERT_TRUE(made);
    const std::size_t descriptors = open_descriptors();

    auto found = find_firmware_image_at(path, c.kind);
    ASSERT_FALSE(found);
    EXPECT_EQ(found.error(), c.expected) << error_text(found.error());
    EXPECT_EQ(open_descriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(
    Archives, ArchiveFailure,
    ::testing::Values(
        FailureCase{"missing", K::Qx400, File::Missing, {}, Error::os(ENOENT)},
        FailureCase{"directory", K::Qx400, File::Directory, {}, Error::os(EISDIR)},
        // Refused without waiting for a writer, and with a message that says what is wrong.
        FailureCase{"FIFO",
                    K::Qx400,
                    File::Fifo,
                    {},
                    Error::message(ErrorKind::InvalidInput, "not a regular file but a FIFO")},
        FailureCase{
            "device",
            K::Qx400,
            File::Device,
            {},
            Error::message(ErrorKind::InvalidInput, "not a regular file but a character device")},
        FailureCase{"not a zip", K::Qx400, File::NotZip, {}, reader_error(ZIP_ER_NOZIP)},
        FailureCase{"cut short",
                    K::Qx400,
                    File::CutShort,
                    {entry("qx400_1_2.bin", 5000, Compression::Deflate)},
                    reader_error(ZIP_ER_NOZIP)},
        FailureCase{"no match",
                    K::Qx400,
                    File::Archive,
                    {entry("qx480_1_2.bin", 64, Compression::Stored),
                     entry("QX400_1_2.bin", 64, Compression::Stored)},
                    Error::message(ErrorKind::NotFound, kFirmwareNotFound)},
        FailureCase{"symbolic link",
                    K::Qx400,
                    File::Archive,
                    {not_a_file("qx400_1_2.bin", S_IFLNK | 0777, "/etc/shadow")},
                    no_image_but("qx400_1_2.bin is a symbolic link, not an image file")},
        FailureCase{"directory by its name",
                    K::Qx400,
                    File::Archive,
                    {not_a_file("qx400_1_2.bin/", 0, "")},
                    no_image_but("qx400_1_2.bin/ is a directory, not an image file")},
        FailureCase{"bad CRC, stored",
                    K::Qx400,
                    File::Archive,
                    {entry("qx400_1_2.bin", 4096, Compression::Stored, EntryDamage::BadCrc)},
                    reader_error(ZIP_ER_CRC)},
        FailureCase{"bad CRC, deflated",
                    K::Qx400,
                    File::Archive,
                    {entry("qx400_1_2.bin", 4096, Compression::Deflate, EntryDamage::BadCrc)},
                    reader_error(ZIP_ER_CRC)},
        FailureCase{"encrypted",
                    K::Qx400,
                    File::Archive,
                    {entry("qx400_1_2.bin", 512, Compression::Deflate, EntryDamage::Encrypted)},
                    reader_error(ZIP_ER_NOPASSWD)},
        FailureCase{
            "unsupported compression",
            K::Qx400,
            File::Archive,
            {entry("qx400_1_2.bin", 512, Compression::Stored, EntryDamage::UnsupportedCompression)},
            reader_error(ZIP_ER_COMPNOTSUPP)},
        FailureCase{"longer than declared",
                    K::Qx400,
                    File::Archive,
                    {entry("qx400_1_2.bin", 512, Compression::Stored, EntryDamage::None, 510)},
                    reader_error(ZIP_ER_INCONS)},
        // 16 real bytes: had the entry been read, its size mismatch would have been the error.
        FailureCase{
            "declared past the 3-byte address range",
            K::Qx410,
            File::Archive,
            {entry("qx410ml_1_2.bin", 16, Compression::Stored, EntryDamage::None, 0xC00001)},
            Error::message(ErrorKind::FileTooLarge, kImageTooLarge)},
        FailureCase{"empty",
                    K::Qx630,
                    File::Archive,
                    {entry("qx630_1_2.bin", 0, Compression::Deflate)},
                    Error::message(ErrorKind::InvalidData, kImageEmpty)},
        FailureCase{"odd length on 16-bit flash",
                    K::Qx400,
                    File::Archive,
                    {entry("qx400_1_2.bin", 4097, Compression::Deflate)},
                    Error::message(ErrorKind::InvalidData, kImageOddLength)}));

TEST(ArchiveFailure, MissingArchiveReadsAsSystemMessageWithNumber) {
    auto found = find_firmware_image_at("/nonexistent/qx400v1_1.zip", K::Qx400);
    ASSERT_FALSE(found);
    EXPECT_EQ(error_text(found.error()), std::string(std::strerror(2)) + " (os error 2)");
}

}  // namespace
}  // namespace tarnvel
