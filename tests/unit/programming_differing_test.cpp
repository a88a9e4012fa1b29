// A programming run that writes only the blocks that differ: which blocks it reads, erases and
// writes, what it tells its observer and what it reports, on a fake flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "fake_flash_device.hpp"
#include "flash/programming.hpp"
#include "sim/firmware/firmware_archive_writer.hpp"

namespace tarnvel {
namespace {

using testing::FakeFlash;
using Op = FakeFlash::Op;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kBase = 0x1000000;                 // the QX630's image base
constexpr std::uint32_t kBlock = 0x1000;                   // 16 pages of the fake's 256 bytes
constexpr std::uint32_t kImageBytes = 2 * kBlock + 0x180;  // a short last block of 2 pages

// What the flash holds in a block before the run.
enum class Held : std::uint8_t {
    Image,          // the image's bytes
    LastByteWrong,  // the image's bytes but the block's last
    Other,          // another image: differs in the first page
};

// Every observer call, one letter and the block: c compare, u unchanged, p pass, r retry.
struct Events final : ProgrammingObserver {
    void pass_started(const BlockPass& pass) override { add('p', pass); }
    void retrying(const BlockPass& pass) override { add('r', pass); }
    void compare_started(const BlockPass& pass) override { add('c', pass); }
    void block_unchanged(const BlockPass& pass) override { add('u', pass); }
    void add(char what, const BlockPass& pass) {
        text += what;
        text += std::to_string(pass.block);
    }
    std::string text;
};

// A QX630 whose flash is a fake with blocks of 16 pages.
struct Rig {
    Rig() {
        auto owned = std::make_unique<FakeFlash>(kBlock);
        flash = owned.get();
        board.kind = BoardKind::Qx630;
        board.flash = std::move(owned);
    }
    Status program() {
        return program_firmware(board, image, events, &report, ProgrammingMode::Differing);
    }
    BoardDevice board;
    FakeFlash* flash;
    const FirmwareImage image{.version = 1, .data = sim::firmware_bytes(kImageBytes)};
    Events events;
    ProgrammingReport report;
};

struct DifferingCase {
    const char* what;
    std::vector<Held> held;      // per block; none: the flash is erased
    unsigned corrupt_reads = 0;  // reads at block 2's start that come back wrong
    std::string events;
    std::size_t passes;  // erase, write and read-back passes
    std::size_t reads;   // page reads while comparing and read-backs
    std::uint32_t written, unchanged;
    unsigned retries = 0;
};
void PrintTo(const DifferingCase& c, std::ostream* os) {
    *os << c.what;
}

class DifferingBlocks : public ::testing::TestWithParam<DifferingCase> {};

TEST_P(DifferingBlocks, OnlyBlocksThatDifferAreErasedAndWritten) {
    const auto& c = GetParam();
    Rig rig;
    const Bytes other = sim::firmware_bytes(kImageBytes, 2);
    const auto block_of = [](const Bytes& bytes, std::uint32_t i) {
        return Bytes(bytes.begin() + i * kBlock,
                     bytes.begin() + std::min((i + 1) * kBlock, kImageBytes));
    };
    for (std::uint32_t i = 0; i < c.held.size(); ++i) {
        Bytes bytes = block_of(c.held[i] == Held::Other ? other : rig.image.data, i);
        if (c.held[i] == Held::LastByteWrong) bytes.back() ^= 0x80;
        rig.flash->contents[kBase + i * kBlock] = bytes;
    }
    rig.flash->corrupt_reads[kBase + 2 * kBlock] = c.corrupt_reads;

    ASSERT_TRUE(rig.program());
    EXPECT_EQ(rig.events.text, c.events);
    EXPECT_EQ(rig.flash->count(Op::Erase), c.passes);
    EXPECT_EQ(rig.flash->count(Op::Write), c.passes);
    EXPECT_EQ(rig.flash->count(Op::Read), c.reads);
    EXPECT_EQ(rig.report.block_count, 3u);
    EXPECT_EQ(rig.report.blocks_written, c.written);
    EXPECT_EQ(rig.report.blocks_unchanged, c.unchanged);
    EXPECT_EQ(rig.report.retries, c.retries);
    EXPECT_EQ(rig.report.flash_changed, c.passes > 0);
    for (std::uint32_t i = 0; i < 3; ++i) {
        const Bytes expected = block_of(rig.image.data, i);
        EXPECT_EQ(rig.flash->read(kBase + i * kBlock, static_cast<std::uint32_t>(expected.size())),
                  expected)
            << "block " << i;
    }
}

// Reads: 16 pages for a whole block that holds the image, 2 for the short last one, 1 for a
// block whose first page differs, and one read-back per pass.
INSTANTIATE_TEST_SUITE_P(
    Blocks, DifferingBlocks,
    ::testing::Values(
        DifferingCase{.what = "flash holds the whole image",
                      .held = {Held::Image, Held::Image, Held::Image},
                      .events = "c0u0c1u1c2u2",
                      .passes = 0,
                      .reads = 16 + 16 + 2,
                      .written = 0,
                      .unchanged = 3},
        DifferingCase{.what = "cut half way: the first block holds it",
                      .held = {Held::Image, Held::Other, Held::Other},
                      .events = "c0u0c1p1c2p2",
                      .passes = 2,
                      .reads = 16 + (1 + 1) + (1 + 1),
                      .written = 2,
                      .unchanged = 1},
        DifferingCase{.what = "a difference in a block's last byte is found",
                      .held = {Held::LastByteWrong, Held::Image, Held::LastByteWrong},
                      .events = "c0p0c1u1c2p2",
                      .passes = 2,
                      .reads = (16 + 1) + 16 + (2 + 1),
                      .written = 2,
                      .unchanged = 1},
        // The comparison takes the first bad read, then two read-backs come back wrong.
        DifferingCase{.what = "a written block is retried as in a full run",
                      .held = {Held::Image, Held::Image, Held::Other},
                      .corrupt_reads = 3,
                      .events = "c0u0c1u1c2p2r2p2r2p2",
                      .passes = 3,
                      .reads = 16 + 16 + 1 + 3,
                      .written = 1,
                      .unchanged = 2,
                      .retries = 2},
        DifferingCase{.what = "an erased flash is written whole",
                      .held = {},
                      .events = "c0p0c1p1c2p2",
                      .passes = 3,
                      .reads = 3 * (1 + 1),
                      .written = 3,
                      .unchanged = 0}));

// A failed read while comparing ends the run with that error, before anything is erased.
TEST(DifferingBlocks, ReadErrorWhileComparingEndsTheRunUntouched) {
    Rig rig;
    rig.flash->read_failure = Error::os(EIO);
    EXPECT_EQ(rig.program(), Status(std::unexpected(Error::os(EIO))));
    EXPECT_EQ(rig.flash->calls.size(), 1u);
    EXPECT_EQ(rig.events.text, "c0");
    EXPECT_FALSE(rig.report.flash_changed);
    EXPECT_EQ(rig.report.blocks_written + rig.report.blocks_unchanged, 0u);
}

}  // namespace
}  // namespace tarnvel
