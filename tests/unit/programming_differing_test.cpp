// A programming run that writes only the blocks that differ: which blocks it reads, erases and
// writes, what it tells its observer and what it reports, on a fake flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "fake_flash_device.hpp"
#include "programming/programming.hpp"
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
    std::vector<Held> held;  // per block
    unsigned corrupt_reads;  // reads at block 2's start that come back wrong
    std::string events;      // the programming passes, retries and unchanged blocks follow
    std::size_t reads;       // page reads while comparing, and read-backs
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
    const auto events = [&](char what) {
        return static_cast<std::size_t>(std::ranges::count(c.events, what));
    };
    EXPECT_EQ(rig.flash->count(Op::Erase), events('p'));
    EXPECT_EQ(rig.flash->count(Op::Write), events('p'));
    EXPECT_EQ(rig.flash->count(Op::Read), c.reads);
    EXPECT_EQ(rig.report.block_count, 3u);
    EXPECT_EQ(rig.report.blocks_unchanged, events('u'));
    EXPECT_EQ(rig.report.blocks_written, 3 - events('u'));
    EXPECT_EQ(rig.report.retries, events('r'));
    EXPECT_EQ(rig.report.flash_changed, events('p') > 0);
}

// Reads: 16 pages for a whole block that holds the image, 2 for the short last one, 1 for a
// block whose first page differs, and one read-back per pass. With a retried block, the
// comparison takes the first bad read, then two read-backs come back wrong.
INSTANTIATE_TEST_SUITE_P(
    Blocks, DifferingBlocks,
    ::testing::Values(DifferingCase{"flash holds the whole image",
                                    {Held::Image, Held::Image, Held::Image},
                                    0,
                                    "c0u0c1u1c2u2",
                                    16 + 16 + 2},
                      DifferingCase{"cut half way: the first block holds it",
                                    {Held::Image, Held::Other, Held::Other},
                                    0,
                                    "c0u0c1p1c2p2",
                                    16 + (1 + 1) + (1 + 1)},
                      DifferingCase{"a difference in a block's last byte is found",
                                    {Held::LastByteWrong, Held::Image, Held::LastByteWrong},
                                    0,
                                    "c0p0c1u1c2p2",
                                    (16 + 1) + 16 + (2 + 1)},
                      DifferingCase{"a written block is retried as in a full run",
                                    {Held::Image, Held::Image, Held::Other},
                                    3,
                                    "c0u0c1u1c2p2r2p2r2p2",
                                    16 + 16 + 1 + 3}));

// Only a run that compares first polls the erases late: a full run keeps the register traffic
// of polling each erase from its start.
TEST(DifferingBlocks, OnlyADifferingRunPollsErasesLate) {
    for (const ProgrammingMode mode : {ProgrammingMode::Full, ProgrammingMode::Differing}) {
        Rig rig;
        ASSERT_TRUE(program_firmware(rig.board, rig.image, rig.events, nullptr, mode));
        EXPECT_EQ(rig.flash->erases_polled_late, mode == ProgrammingMode::Differing);
    }
}

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
