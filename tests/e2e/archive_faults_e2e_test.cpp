// Archives the program can't take an image from: missing, not a ZIP file, an entry the reader
// refuses, no entry for the board, or an image that can't go into the board's flash. Each is
// reported on the "Cannot find firmware archive" line, no question is asked (answers typed
// ahead stay unused), the flash is not touched, and the run goes on with the next board.

#include <sys/stat.h>
#include <zip.h>

#include <cerrno>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "firmware/image_fit.hpp"
#include "harness.hpp"

namespace tarnvel::testing {
namespace {

struct ArchiveCase {
    const char* name;
    BoardKind kind;
    const char* device;
    const char* hw;
    unsigned major, minor;
    const char* archive;  // the archive such a board looks for
    // Puts the board's archive, or something in its place, into the firmware directory.
    Status (*make)(const sim::FirmwareDir& firmware, const std::string& archive);
    std::string (*expected_text)();
};

void PrintTo(const ArchiveCase& c, std::ostream* os) {
    *os << c.name;
}

sim::FirmwareEntry image_entry(std::string name, std::size_t size = 1024,
                               sim::EntryDamage damage = sim::EntryDamage::None) {
    return {.name = std::move(name), .data = sim::firmware_bytes(size), .damage = damage};
}

Status write_archive(const sim::FirmwareDir& firmware, const std::string& archive,
                     const std::vector<sim::FirmwareEntry>& entries) {
    return sim::write_zip((firmware.archive_dir() / archive).string(), entries);
}

const ArchiveCase kCases[] = {
    // Only archives for another hardware version and for the bypass form lie there.
    {"Missing", BoardKind::Qx480Spi, "0x0022", "2.0", 2, 0, "qx480v2_0.zip",
     [](const sim::FirmwareDir& firmware, const std::string&) -> Status {
         if (auto other = write_archive(firmware, "qx480v1_0.zip", {image_entry("qx480_1_42.bin")});
             !other) {
             return other;
         }
         return write_archive(firmware, "qx480v2_0_bp.zip", {image_entry("qx480_1_42.bin")});
     },
     [] { return os_error_text(ENOENT); }},
    {"NotAZipFile", BoardKind::Qx480Spi, "0x0022", "2.0", 2, 0, "qx480v2_0.zip",
     [](const sim::FirmwareDir& firmware, const std::string& archive) {
         return sim::write_not_a_zip((firmware.archive_dir() / archive).string());
     },
     [] { return archive_reader_text(ZIP_ER_NOZIP); }},
    {"ChecksumMismatch", BoardKind::Qx630, "0x001f", "1.0", 1, 0, "qx630v1_0.zip",
     [](const sim::FirmwareDir& firmware, const std::string& archive) {
         return write_archive(firmware, archive,
                              {image_entry("qx630_1_42.bin", 1024, sim::EntryDamage::BadCrc)});
     },
     [] { return archive_reader_text(ZIP_ER_CRC); }},
    {"EncryptedEntry", BoardKind::Qx630, "0x001f", "1.0", 1, 0, "qx630v1_0.zip",
     [](const sim::FirmwareDir& firmware, const std::string& archive) {
         return write_archive(firmware, archive,
                              {image_entry("qx630_1_42.bin", 1024, sim::EntryDamage::Encrypted)});
     },
     [] { return archive_reader_text(ZIP_ER_NOPASSWD); }},
    {"UnsupportedCompression", BoardKind::Qx630, "0x001f", "1.0", 1, 0, "qx630v1_0.zip",
     [](const sim::FirmwareDir& firmware, const std::string& archive) {
         return write_archive(
             firmware, archive,
             {image_entry("qx630_1_42.bin", 1024, sim::EntryDamage::UnsupportedCompression)});
     },
     [] { return archive_reader_text(ZIP_ER_COMPNOTSUPP); }},
    // A named pipe nobody writes to: refused at once, saying what it is.
    {"Fifo", BoardKind::Qx630, "0x001f", "1.0", 1, 0, "qx630v1_0.zip",
     [](const sim::FirmwareDir& firmware, const std::string& archive) -> Status {
         if (::mkfifo((firmware.archive_dir() / archive).c_str(), 0644) != 0) {
             return std::unexpected(Error::os(errno));
         }
         return {};
     },
     [] { return std::string("not a regular file but a FIFO"); }},
    // Names of other models, in the wrong case, or without the build or version number.
    {"NoEntryForTheBoard", BoardKind::Qx480Spi, "0x0022", "2.0", 2, 0, "qx480v2_0.zip",
     [](const sim::FirmwareDir& firmware, const std::string& archive) {
         return write_archive(firmware, archive,
                              {image_entry("qx400_1_42.bin"), image_entry("QX480_1_42.bin"),
                               image_entry("qx480_x_42.bin"), image_entry("qx480_42.bin")});
     },
     [] { return std::string("firmware not found in archive"); }},
    // A symbolic link's content is its target path, not an image.
    {"SymbolicLinkEntry", BoardKind::Qx630, "0x001f", "1.0", 1, 0, "qx630v1_0.zip",
     [](const sim::FirmwareDir& firmware, const std::string& archive) {
         return write_archive(firmware, archive,
                              {{.name = "qx630_1_42.bin",
                                .data = {'/', 'e', 't', 'c', '/', 's', 'h', 'a', 'd', 'o', 'w'},
                                .unix_mode = S_IFLNK | 0777}});
     },
     [] { return std::string("firmware not found in archive"); }},
    // Nothing to write: refused before the flash is erased.
    {"EmptyImage", BoardKind::Qx410, "0x0019", "4.1", 4, 1, "qx410v4_1.zip",
     [](const sim::FirmwareDir& firmware, const std::string& archive) {
         return write_archive(firmware, archive, {image_entry("qx410ml_1_42.bin", 0)});
     },
     [] { return std::string(kImageEmpty); }},
    // The 16-bit parallel flash is written in whole words.
    {"OddImageOnParallelFlash", BoardKind::Qx400, "0x001b", "1.1", 1, 1, "qx400v1_1.zip",
     [](const sim::FirmwareDir& firmware, const std::string& archive) {
         return write_archive(firmware, archive, {image_entry("qx400_1_42.bin", 1023)});
     },
     [] { return std::string(kImageOddLength); }},
};

class UnusableArchive : public MachineTestWithParam<ArchiveCase> {};

TEST_P(UnusableArchive, IsReportedAndTheNextBoardFollows) {
    const ArchiveCase& c = GetParam();
    add_hardware(c.kind, pci_board(c.device, std::string(c.hw) + "r41"));
    add(pci_board("0x0010", "1.0r1"));
    ASSERT_TRUE(c.make(firmware(), c.archive));

    expect_output(run_flash("y\ny\n"),
                  device_line("/dev/tarnvel0", static_cast<unsigned>(c.kind), c.major, c.minor) +
                      current_firmware_line(41) + archive_error_line(c.expected_text()) +
                      unsupported_line("/dev/tarnvel1"));
    EXPECT_TRUE(flash_untouched(hardware(0)));
    EXPECT_EQ(testbed().reboot_written(0), "");
}

INSTANTIATE_TEST_SUITE_P(Archives, UnusableArchive, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ArchiveCase>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
}  // namespace tarnvel::testing
