// The images of one run: an archive's image is inflated and hashed once for all the boards that
// take it, an image whose SHA-256 is known is not hashed again, and a board whose archive was
// not there is looked up again for the next board.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sim/firmware/firmware_archive_writer.hpp"
#include "sim/support/temp_dir.hpp"
#include "update/image_choice.hpp"
#include "update/sha256.hpp"

namespace tarnvel::testing {
namespace {

namespace fs = std::filesystem;

constexpr BoardKind kKind = BoardKind::Qx630;
constexpr std::int32_t kVersion = 42;

BoardDevice board_in_slot(unsigned slot, BoardKind kind = kKind) {
    BoardDevice board;
    const HwVersionEntry& hw = board_info(kind).hw_versions.front();
    board.devnode = "/dev/tarnvel" + std::to_string(slot);
    board.pci_address = "0000:0" + std::to_string(slot + 1) + ":00.0";
    board.kind = kind;
    board.hw_major = hw.major;
    board.hw_minor = hw.minor;
    return board;
}

class RunImagesTest : public ::testing::Test {
  protected:
    std::string write_archive(BoardKind kind = kKind) {
        const HwVersionEntry& hw = board_info(kind).hw_versions.front();
        auto path = sim::write_firmware_archive(
            dir_.path().string(), kind, hw.major, hw.minor,
            {{.name = sim::firmware_entry_name(kind, kVersion), .data = bytes_}});
        EXPECT_TRUE(path);
        return path.value_or("");
    }

    sim::TempDir dir_{"tarnvel-images."};
    std::vector<std::uint8_t> bytes_ = sim::firmware_bytes(0x20000, 5);
    RunImages images_{dir_.path().string()};
};

// Boards of one kind share the image read for the first of them: the archive, removed after
// it, is not read again. A board of another kind has its own archive and image.
TEST_F(RunImagesTest, AnArchiveIsReadOnceForEveryBoardOfItsKind) {
    const std::string archive = write_archive();
    const std::string other_archive = write_archive(BoardKind::Qx480Spi);
    const auto first = images_.choose(board_in_slot(0), nullptr);
    ASSERT_TRUE(first);
    fs::remove(archive);
    const auto second = images_.choose(board_in_slot(1), nullptr);
    ASSERT_TRUE(second) << "the archive was read again";
    EXPECT_EQ(first->get(), second->get()) << "one copy for both boards";
    EXPECT_EQ((*first)->image.data, bytes_);
    EXPECT_EQ((*first)->version, kVersion);
    EXPECT_EQ((*first)->sha256, sha256_hex(bytes_));
    EXPECT_EQ((*first)->origin.path, archive);

    const auto other = images_.choose(board_in_slot(2, BoardKind::Qx480Spi), nullptr);
    ASSERT_TRUE(other);
    EXPECT_NE(other->get(), first->get());
    EXPECT_EQ((*other)->origin.path, other_archive);
}

// An archive that was missing for one board is looked for again for the next.
TEST_F(RunImagesTest, AMissingArchiveIsLookedForAgain) {
    const auto missing = images_.choose(board_in_slot(0), nullptr);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().why, PassedOver::Why::NoArchive);
    write_archive();
    EXPECT_TRUE(images_.choose(board_in_slot(1), nullptr));
}

// An image file keeps the SHA-256 it came with (a backup's, checked as it was read); one
// without is hashed. Read by read_hashed_image_file, it comes with its own.
TEST_F(RunImagesTest, AnImageFileIsHashedOnlyWhenItsHashIsNotKnown) {
    const ImageFile known{.path = "backup", .bytes = bytes_, .sha256 = "known"};
    const ImageFile unknown{.path = "image.bin", .bytes = bytes_};
    EXPECT_EQ(images_.choose(board_in_slot(0), &known).value()->sha256, "known");
    EXPECT_EQ(images_.choose(board_in_slot(0), &unknown).value()->sha256, sha256_hex(bytes_));

    const fs::path file = dir_.path() / "image.bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes_.data()),
               static_cast<std::streamsize>(bytes_.size()));
    const auto read = read_hashed_image_file(file.string());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->bytes, bytes_);
    EXPECT_EQ(read->sha256, sha256_hex(bytes_));
}

}  // namespace
}  // namespace tarnvel::testing
