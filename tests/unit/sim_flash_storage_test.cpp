#include "sim/model/flash_storage.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/model/flash_file.hpp"

namespace tarnvel::sim {
namespace {

constexpr std::uint32_t kMiB = 1u << 20;

TEST(SimFlashStorage, UntouchedBytesHoldTheAddressPatternAndCostNoMemory) {
    FlashStorage flash(128 * kMiB);
    EXPECT_EQ(flash.size(), 128 * kMiB);
    for (std::uint32_t a : {0u, 1u, 0x400000u, 128 * kMiB - 1}) {
        EXPECT_EQ(flash.read(a), FlashStorage::prefill(a)) << a;
    }
    EXPECT_EQ(flash.pages_in_use(), 0u);
    // The pattern is not constant: a stuck or zeroed chip would not pass for pristine.
    std::vector<std::uint8_t> first = flash.dump(0, 256);
    EXPECT_NE(std::ranges::count(first, first[0]), 256);
}

TEST(SimFlashStorage, WritesTouchOnlyTheirPagesAndKeepThePatternAround) {
    FlashStorage flash(128 * kMiB);
    flash.write(0x1000010, 0x42);
    EXPECT_EQ(flash.pages_in_use(), 1u);
    EXPECT_EQ(flash.read(0x1000010), 0x42);
    EXPECT_EQ(flash.read(0x100000F), FlashStorage::prefill(0x100000F));
    EXPECT_EQ(flash.first_change_outside(0x1000010, 0x1000011), std::nullopt);
    EXPECT_EQ(flash.first_change_outside(0x1000000, 0x1000010), 0x1000010u);
}

TEST(SimFlashStorage, FillCoversRangesAcrossPageBoundaries) {
    struct Case {
        std::uint32_t address;
        std::uint32_t length;
    };
    for (const Case c : {Case{0x10000, 0x10000}, Case{0x1FFF0, 0x20}, Case{0x30000, 0x30001}}) {
        FlashStorage flash(16 * kMiB);
        flash.fill(c.address, c.length, 0xFF);
        EXPECT_TRUE(flash.is_filled(c.address, c.length, 0xFF)) << c.address;
        EXPECT_EQ(flash.first_change_outside(c.address, c.address + c.length), std::nullopt);
        EXPECT_EQ(flash.read(c.address + c.length), FlashStorage::prefill(c.address + c.length));
        EXPECT_EQ(flash.read(c.address - 1), FlashStorage::prefill(c.address - 1));
    }
}

TEST(SimFlashStorage, FirstMismatchFindsTheFirstDifferingByte) {
    FlashStorage flash(1 * kMiB);
    std::vector<std::uint8_t> data(0x20000, 0x5A);
    flash.load(0x8000, data);
    EXPECT_EQ(flash.first_mismatch(0x8000, data), std::nullopt);
    flash.write(0x8000 + 0x1ABCD, 0x5B);
    EXPECT_EQ(flash.first_mismatch(0x8000, data), 0x8000u + 0x1ABCD);
    // Past the end of the chip nothing matches.
    EXPECT_EQ(flash.first_mismatch(1 * kMiB - 4, std::vector<std::uint8_t>(8)), 1 * kMiB - 4);
}

class SimFlashFile : public ::testing::Test {
  protected:
    void SetUp() override {
        file_ = std::filesystem::temp_directory_path() /
                ("tarnvel-flash-file." + std::to_string(::getpid()));
    }
    void TearDown() override { std::filesystem::remove(file_); }
    std::filesystem::path file_;
};

TEST_F(SimFlashFile, KeepsOnlyChangedPagesAndRestoresEveryByte) {
    FlashStorage flash(128 * kMiB);
    flash.write(0x1000010, 0x42);                   // a page of bytes
    flash.fill(0x2000000, 0x20000, 0xFF);           // two erased pages: a value each
    flash.write(0x3000000, flash.read(0x3000000));  // touched, but still the pre-fill
    ASSERT_TRUE(save_flash(flash, file_));
    EXPECT_LT(std::filesystem::file_size(file_), FlashStorage::kPageBytes + 64);

    FlashStorage restored(128 * kMiB);
    restored.write(0x5000000, 0);  // replaced by what the file holds
    ASSERT_TRUE(restore_flash(restored, file_));
    EXPECT_EQ(restored.read(0x1000010), 0x42);
    EXPECT_EQ(restored.pages_in_use(), 3u);
    EXPECT_TRUE(restored.is_filled(0x2000000, 0x20000, 0xFF));
    EXPECT_EQ(restored.first_mismatch(0x1000000, flash.dump(0x1000000, 0x10000)), std::nullopt);
}

TEST_F(SimFlashFile, RefusesAFileThatIsNotASaveOfThisChip) {
    FlashStorage flash(1 * kMiB);
    flash.write(0x10, 1);
    ASSERT_TRUE(save_flash(flash, file_));
    const auto saved_size = std::filesystem::file_size(file_);
    FlashStorage other_size(2 * kMiB);
    EXPECT_FALSE(restore_flash(other_size, file_));
    std::filesystem::resize_file(file_, saved_size - 1);
    EXPECT_FALSE(restore_flash(flash, file_));
    std::filesystem::resize_file(file_, 4);
    EXPECT_FALSE(restore_flash(flash, file_));
}

}  // namespace
}  // namespace tarnvel::sim
