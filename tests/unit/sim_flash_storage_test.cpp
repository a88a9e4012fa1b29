#include "sim/model/flash_storage.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

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

}  // namespace
}  // namespace tarnvel::sim
