#include "programming/programming.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "bin/tarnvel-flash/progress_line.hpp"
#include "fake_flash_device.hpp"
#include "firmware/image_fit.hpp"
#include "sim/firmware/firmware_archive_writer.hpp"
#include "stdout_capture.hpp"

namespace tarnvel {
namespace {

using testing::FakeFlash;
using Op = FakeFlash::Op;
using K = BoardKind;
using Bytes = std::vector<std::uint8_t>;

std::string progress(std::uint32_t percent) {
    return fmt::format("\r\tUpdating firmware: {:>3}%", percent);
}
const std::string kRetry = "\r\tWrite error, retrying...\n";

std::string retries(int count, std::uint32_t percent) {
    std::string text;
    for (int i = 0; i < count; ++i) text += kRetry + progress(percent);
    return text;
}

// A board of `kind` whose flash is a fake with the kind's erase block (or the one given).
struct Rig {
    explicit Rig(BoardKind kind, std::uint32_t block_size = 0) {
        if (block_size == 0)
            block_size = board_info(kind).flash == FlashType::Bpi ? 0x20000 : 0x10000;
        auto owned = std::make_unique<FakeFlash>(block_size);
        flash = owned.get();
        board.kind = kind;
        board.flash = std::move(owned);
    }
    Status program(Bytes data) {
        image.data = std::move(data);
        StopSignalHold hold;
        ProgressLine progress(hold);
        return program_firmware(board, image, progress);
    }
    BoardDevice board;
    FakeFlash* flash;
    FirmwareImage image;
    testing::StdoutCapture out;
};

struct PassCase {
    const char* what;
    std::uint32_t blocks;
    unsigned bad_reads;  // read-backs of block 1 (block 0 for one block) that come back wrong
    bool short_reads;
    std::string output;
    bool succeeds;
    std::size_t passes;
};
void PrintTo(const PassCase& c, std::ostream* os) {
    *os << c.what;
}

class BlockPasses : public ::testing::TestWithParam<PassCase> {};

TEST_P(BlockPasses, ProgressRetriesAndVerdict) {
    const auto& c = GetParam();
    Rig rig(K::Qx630, 0x1000);
    rig.flash->corrupt_reads[0x1000000 + (c.blocks > 1 ? 0x1000 : 0)] = c.bad_reads;
    rig.flash->short_reads = c.short_reads;

    auto status = rig.program(sim::firmware_bytes(c.blocks * 0x1000));
    EXPECT_EQ(rig.out.text(), c.output);
    const Error cant_write = Error::message(ErrorKind::InvalidData, kCantWriteFlash);
    EXPECT_EQ(status, c.succeeds ? Status() : Status(std::unexpected(cant_write)));
    for (Op op : {Op::Erase, Op::Write, Op::Read}) EXPECT_EQ(rig.flash->count(op), c.passes);
}

std::string percents(std::initializer_list<std::uint32_t> values) {
    std::string text;
    for (auto value : values) text += progress(value);
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, BlockPasses,
    ::testing::Values(
        PassCase{"one block", 1, 0, false, progress(0), true, 1},
        PassCase{"three blocks", 3, 0, false, percents({0, 33, 66}), true, 3},
        PassCase{"32 blocks", 32, 0, false,
                 percents({0,  3,  6,  9,  12, 15, 18, 21, 25, 28, 31, 34, 37, 40, 43, 46,
                           50, 53, 56, 59, 62, 65, 68, 71, 75, 78, 81, 84, 87, 90, 93, 96}),
                 true, 32},
        PassCase{"one bad read-back", 3, 1, false,
                 percents({0, 33}) + retries(1, 33) + progress(66), true, 4},
        PassCase{"sixth pass holds", 1, 5, false, progress(0) + retries(5, 0), true, 6},
        PassCase{"six bad read-backs", 1, 6, false, progress(0) + retries(5, 0), false, 6},
        PassCase{"retry count is per block", 2, 5, false, percents({0, 50}) + retries(5, 50), true,
                 7},
        // One byte short would match on the bytes it has: it must count as a mismatch.
        PassCase{"short read-backs", 1, 0, true, progress(0) + retries(5, 0), false, 6}));

class FlashOperationError : public ::testing::TestWithParam<Op> {};

TEST_P(FlashOperationError, EndsAtOnceWithThatErrorAndNoRetry) {
    Rig rig(K::Qx410);
    const Error failure = Error::os(EIO);
    (GetParam() == Op::Erase   ? rig.flash->erase_failure
     : GetParam() == Op::Write ? rig.flash->write_failure
                               : rig.flash->read_failure) = failure;
    EXPECT_EQ(rig.program(sim::firmware_bytes(0x30000)), Status(std::unexpected(failure)));
    EXPECT_EQ(rig.out.text(), progress(0));
    EXPECT_EQ(rig.flash->calls.size(), static_cast<std::size_t>(GetParam()) + 1);
    EXPECT_EQ(rig.flash->calls.back().op, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Operations, FlashOperationError,
                         ::testing::Values(Op::Erase, Op::Write, Op::Read));

struct BaseCase {
    BoardKind kind;
    std::uint32_t base;
};
class BaseAddress : public ::testing::TestWithParam<BaseCase> {};

// Two blocks and one byte: the short last block still erases a whole block.
TEST_P(BaseAddress, BlocksFollowTheKindsBase) {
    const auto [kind, base] = GetParam();
    Rig rig(kind);
    const std::uint32_t block = rig.flash->erase_size();
    ASSERT_TRUE(rig.program(sim::firmware_bytes(block + 2)));
    const std::vector<FakeFlash::Call> expected = {
        {Op::Erase, base, block},     {Op::Write, base, block},
        {Op::Read, base, block},      {Op::Erase, base + block, block},
        {Op::Write, base + block, 2}, {Op::Read, base + block, 2}};
    EXPECT_EQ(rig.flash->calls, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BaseAddress,
    ::testing::Values(BaseCase{K::Qx410, 0x400000}, BaseCase{K::Qx410M2, 0x400000},
                      BaseCase{K::Qx410Bp, 0x400000}, BaseCase{K::Qx480Bpi, 0x1020000},
                      BaseCase{K::Qx480Spi, 0x1000000}, BaseCase{K::Qx400, 0x1020000},
                      BaseCase{K::Qx610Bpi, 0x1020000}, BaseCase{K::Qx630, 0x1000000},
                      BaseCase{K::Qx610Spi, 0x1000000}));

struct WordOrderCase {
    BoardKind kind;
    Bytes image, written;
};
class WordOrder : public ::testing::TestWithParam<WordOrderCase> {};

TEST_P(WordOrder, ParallelFlashGetsEveryWordBitMirrored) {
    const auto& c = GetParam();
    Rig rig(c.kind);
    ASSERT_TRUE(rig.program(c.image));
    EXPECT_EQ(rig.flash->contents.begin()->second, c.written);
    EXPECT_EQ(rig.image.data, c.image);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, WordOrder,
    ::testing::Values(WordOrderCase{K::Qx400, {0x01, 0x80}, {0x01, 0x80}},
                      WordOrderCase{K::Qx400, {0x12, 0x34}, {0x2C, 0x48}},
                      WordOrderCase{
                          K::Qx480Bpi, {0x00, 0xFF, 0x01, 0x00}, {0xFF, 0x00, 0x00, 0x80}},
                      WordOrderCase{K::Qx610Bpi, {0xA5, 0x3C}, {0x3C, 0xA5}},
                      WordOrderCase{K::Qx480Spi, {0x12, 0x34, 0x56}, {0x12, 0x34, 0x56}}));

TEST(ImageCopies, SerialFlashIsWrittenStraightFromTheImage) {
    Rig rig(K::Qx480Spi);
    ASSERT_TRUE(rig.program(sim::firmware_bytes(0x28000)));
    const std::uint8_t* start = rig.image.data.data();
    EXPECT_EQ(rig.flash->write_sources, (std::vector{start, start + 0x10000, start + 0x20000}));
}

struct RefusalCase {
    BoardKind kind;
    std::size_t size;
    const char* refusal;  // nullptr: written
};
class ImageRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ImageRefusal, RefusedBeforeAnythingIsErased) {
    const auto& c = GetParam();
    Rig rig(c.kind);
    auto status = rig.program(Bytes(c.size, 0x5A));
    EXPECT_EQ(status ? "" : error_text(status.error()), c.refusal ? c.refusal : "");
    if (c.refusal) {
        EXPECT_TRUE(rig.flash->calls.empty());
        EXPECT_EQ(rig.out.text(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Images, ImageRefusal,
    ::testing::Values(RefusalCase{K::Qx630, 0, kImageEmpty}, RefusalCase{K::Qx400, 0, kImageEmpty},
                      RefusalCase{K::Qx400, 3, kImageOddLength},
                      RefusalCase{K::Qx480Spi, 3, nullptr},
                      // 3-byte addresses: past 16 MiB the QX410 would wrap onto the flash's start.
                      RefusalCase{K::Qx410, 0xC00000, nullptr},
                      RefusalCase{K::Qx410Bp, 0xC00001, kImageTooLarge},
                      // The parallel bus carries a 24-bit word address: 32 MiB.
                      RefusalCase{K::Qx610Bpi, 0xFE0000, nullptr},
                      RefusalCase{K::Qx610Bpi, 0xFE0002, kImageTooLarge}));

TEST(ImageRefusal, FourByteAddressingEndsAtFourGiB) {
    for (K kind : {K::Qx480Spi, K::Qx630, K::Qx610Spi}) {
        EXPECT_TRUE(check_image_fits(kind, 0xFF000000));
        EXPECT_FALSE(check_image_fits(kind, 0xFF000001));
    }
    EXPECT_FALSE(check_image_fits(K::Qx1800, 1));  // never programmed
}

}  // namespace
}  // namespace tarnvel
