// tarnvel-fw verify and dump: reading a board's image region back. Verify says whether the
// flash holds the image and where it first differs; dump keeps a copy that update --image
// writes back. Neither erases or writes the flash.

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fmt/format.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "fw_harness.hpp"
#include "sim/support/file_text.hpp"

namespace tarnvel::testing {
namespace {

constexpr std::uint16_t kFirmware = 40;
constexpr std::int32_t kImage = 41;

std::vector<std::uint8_t> file_bytes(const std::string& path) {
    const std::string text = sim::read_whole_file(path).value_or("");
    return {text.begin(), text.end()};
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Puts the image into the board's flash as programming leaves it, with the byte at each of
// `damaged` (image offsets) changed.
void install(sim::SimBoard& board, std::vector<std::uint8_t> image,
             const std::vector<std::uint32_t>& damaged = {}) {
    for (std::uint32_t offset : damaged) image[offset] ^= 0x5A;
    firmware_storage(board).load(firmware_base_address(board.kind()),
                                 flash_form(board.kind(), image));
}

struct VerifyCase {
    const char* name;
    BoardKind kind;
    std::size_t image_size;
    std::vector<std::uint32_t> damaged;
    std::optional<std::uint32_t> first_difference;
    std::uint32_t differing_blocks;
    std::uint32_t blocks;
};

void PrintTo(const VerifyCase& c, std::ostream* os) {
    *os << c.name;
}

class FwVerify : public FwTestWithParam<VerifyCase> {};

TEST_P(FwVerify, FindsTheFirstDifferenceAndCountsTheBlocks) {
    const VerifyCase& c = GetParam();
    const auto image = add_board(c.kind, kFirmware, kImage, c.image_size);
    install(hardware(0), image, c.damaged);
    const bool match = !c.first_difference;

    const sim::RunResult result = fw({"verify", "--json"});
    EXPECT_TRUE(result.exited_with(match ? 0 : kExitBoardFailed)) << result.describe_end() << "\n"
                                                                  << result.err;
    const Json document = parse_json(result);
    EXPECT_EQ(document["ok"], match);
    const Json board = board_entry(document, "/dev/tarnvel0");
    EXPECT_EQ(board["result"], match ? "match" : "mismatch");
    EXPECT_EQ(board["image_version"], kImage);
    EXPECT_EQ(board["bytes"], c.image_size);
    EXPECT_EQ(board["blocks"], c.blocks);
    EXPECT_EQ(board["differing_blocks"], c.differing_blocks);
    EXPECT_EQ(board["first_difference"],
              c.first_difference ? Json(*c.first_difference) : Json(nullptr));
    // Read only: the flash is exactly as it was put there.
    EXPECT_FALSE(firmware_storage(hardware(0)).changed());
    EXPECT_TRUE(no_violations(hardware(0)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FwVerify,
    ::testing::Values(
        VerifyCase{"SerialMatch", BoardKind::Qx630, 3000, {}, std::nullopt, 0, 1},
        VerifyCase{"SerialDifference",
                   BoardKind::Qx630,
                   0x10000 + 300,
                   {0x10000 + 123},
                   0x10000 + 123,
                   1,
                   2},
        // Bytes of one mirrored word: the offsets are the image's, not the flash's.
        VerifyCase{"ParallelMatch", BoardKind::Qx400, 3000, {}, std::nullopt, 0, 1},
        VerifyCase{"ParallelOddOffset", BoardKind::Qx400, 3000, {1001}, 1001, 1, 1},
        VerifyCase{"ParallelLastByte", BoardKind::Qx610Bpi, 3000, {2999}, 2999, 1, 1},
        VerifyCase{"QX410TwoBlocks", BoardKind::Qx410, 0x10000 + 16, {17, 0x10000 + 3}, 17, 2, 2}),
    [](const ::testing::TestParamInfo<VerifyCase>& param) { return param.param.name; });

// An update that failed part-way (a byte of the second block never programs right, so the
// run ends after its sixth pass): verify finds the byte where the flash stops holding the
// image, as the chip itself tells, and the one block that differs.
TEST_F(FwTest, VerifyAfterAFailedUpdateFindsWhereTheFlashDiffers) {
    const BoardKind kind = BoardKind::Qx480Spi;
    const std::uint32_t bad_offset = 0x10000 + 123;
    const auto image = add_board(kind, kFirmware, kImage, 0x10000 + 600);
    hardware(0).spi_chip()->faults().corrupt_program(firmware_base_address(kind) + bad_offset, 6);
    const sim::RunResult update = fw({"update", "--yes", "--json"});
    ASSERT_TRUE(update.exited_with(kExitBoardFailed)) << update.describe_end() << update.err;
    EXPECT_EQ(board_entry(parse_json(update), "/dev/tarnvel0")["error"].get<std::string>().find(
                  "can't write to flash"),
              0u);
    const auto held =
        firmware_storage(hardware(0)).first_mismatch(firmware_base_address(kind), image);
    ASSERT_EQ(held, firmware_base_address(kind) + bad_offset);

    const sim::RunResult verify = fw({"verify", "--json"});
    EXPECT_TRUE(verify.exited_with(kExitBoardFailed)) << verify.describe_end() << verify.err;
    const Json board = board_entry(parse_json(verify), "/dev/tarnvel0");
    EXPECT_EQ(board["result"], "mismatch");
    EXPECT_EQ(board["first_difference"], bad_offset);
    EXPECT_EQ(board["differing_blocks"], 1);
    EXPECT_EQ(board["blocks"], 2);
}

class FwRoundTrip : public FwTestWithParam<BoardKind> {};

// dump keeps what the flash held; update --image writes it back byte for byte.
TEST_P(FwRoundTrip, DumpThenUpdateWithTheImageRestoresTheFlash) {
    const BoardKind kind = GetParam();
    const auto image = add_board(kind, kFirmware, kImage, 2500);
    const std::vector<std::uint8_t> original = image_region(hardware(0), image.size());
    const std::string copy = scratch_file("before.bin");

    const sim::RunResult dump = fw({"dump", "--board", "/dev/tarnvel0", "--output", copy});
    ASSERT_TRUE(dump.exited_with(0)) << dump.describe_end() << "\n" << dump.err;
    EXPECT_EQ(file_bytes(copy), original);

    ASSERT_TRUE(fw({"update", "--yes"}).exited_with(0));
    ASSERT_TRUE(flash_holds_image(hardware(0), image));

    const sim::RunResult back =
        fw({"update", "--board", "/dev/tarnvel0", "--image", copy, "--force", "--yes", "--json"});
    EXPECT_TRUE(back.exited_with(0)) << back.describe_end() << "\n" << back.err;
    const Json board = board_entry(parse_json(back), "/dev/tarnvel0");
    EXPECT_EQ(board["result"], "updated");
    EXPECT_EQ(board["image_version"], nullptr);
    EXPECT_EQ(image_region(hardware(0), image.size()), original);

    const sim::RunResult verify = fw({"verify", "--board", "/dev/tarnvel0", "--image", copy});
    EXPECT_TRUE(verify.exited_with(0)) << verify.describe_end() << "\n" << verify.out;
}

INSTANTIATE_TEST_SUITE_P(Kinds, FwRoundTrip,
                         ::testing::Values(BoardKind::Qx630, BoardKind::Qx480Bpi),
                         [](const ::testing::TestParamInfo<BoardKind>& param) {
                             return fmt::format("Kind{}", static_cast<unsigned>(param.param));
                         });

// An odd length on the parallel flash reads the last word whole and keeps its first byte.
TEST_F(FwTest, DumpReadsTheLengthAsked) {
    add_board(BoardKind::Qx400, kFirmware, std::nullopt);
    const std::string copy = scratch_file("part.bin");
    const sim::RunResult dump =
        fw({"dump", "--board", "/dev/tarnvel0", "--output", copy, "--length", "1001"});
    ASSERT_TRUE(dump.exited_with(0)) << dump.describe_end() << "\n" << dump.err;
    EXPECT_EQ(file_bytes(copy), image_region(hardware(0), 1001));
}

struct DumpRefusal {
    const char* name;
    // After --board /dev/tarnvel0. In the test's scratch directory: EXISTING a regular file,
    // NEW a free name, DEVICE a character device node (the one /dev/full is), FIFO a named pipe,
    // LINK a symbolic link to EXISTING, LONG a free name longer than the file system allows.
    std::vector<std::string> options;
    int exit_status;
};

void PrintTo(const DumpRefusal& c, std::ostream* os) {
    *os << c.name;
}

class FwDumpRefusal : public FwTestWithParam<DumpRefusal> {
  protected:
    // Every name in the scratch directory with its type, links not followed.
    std::map<std::string, std::filesystem::file_type> scratch_entries() {
        std::map<std::string, std::filesystem::file_type> entries;
        for (const auto& entry : std::filesystem::directory_iterator(firmware().path())) {
            entries[entry.path().filename().string()] = entry.symlink_status().type();
        }
        return entries;
    }
};

TEST_P(FwDumpRefusal, LeavesFilesAndBoardAlone) {
    const DumpRefusal& c = GetParam();
    add_board(BoardKind::Qx630, kFirmware, std::nullopt);
    const std::string existing = scratch_file("kept.bin");
    write_file(existing, {1, 2, 3});
    ASSERT_EQ(::mknod(scratch_file("device").c_str(), S_IFCHR | 0600, ::makedev(1, 7)), 0);
    ASSERT_EQ(::mkfifo(scratch_file("fifo").c_str(), 0600), 0);
    std::filesystem::create_symlink("kept.bin", scratch_file("link"));
    const auto before = scratch_entries();
    const std::map<std::string, std::string> placeholders = {
        {"EXISTING", existing},
        {"NEW", scratch_file("new.bin")},
        {"DEVICE", scratch_file("device")},
        {"FIFO", scratch_file("fifo")},
        {"LINK", scratch_file("link")},
        {"LONG", scratch_file(std::string(300, 'n'))}};
    std::vector<std::string> args{"dump", "--board", "/dev/tarnvel0"};
    for (const std::string& option : c.options) {
        const auto placeholder = placeholders.find(option);
        args.push_back(placeholder != placeholders.end() ? placeholder->second : option);
    }

    const sim::RunResult result = fw(args);
    EXPECT_TRUE(result.exited_with(c.exit_status)) << result.describe_end() << "\n" << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(result.err.empty());
    EXPECT_EQ(hardware(0).register_accesses(), 0u);
    // Nothing is made, replaced or left behind.
    EXPECT_EQ(scratch_entries(), before);
    EXPECT_EQ(file_bytes(existing), (std::vector<std::uint8_t>{1, 2, 3}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FwDumpRefusal,
    ::testing::Values(
        DumpRefusal{"ExistingFile", {"--output", "EXISTING", "--length", "100"}, kExitUsage},
        DumpRefusal{"MissingDirectory",
                    {"--output", "/nonexistent/dir/x.bin", "--length", "100"},
                    kExitUsage},
        DumpRefusal{"ZeroLength", {"--output", "NEW", "--length", "0"}, kExitUsage},
        // The QX630's image window ends at 4 GiB - 16 MiB.
        DumpRefusal{"PastTheWindow", {"--output", "NEW", "--length", "4278190081"}, kExitUsage},
        DumpRefusal{"NoImageForTheLength", {"--output", "NEW"}, kExitBoardFailed},
        // Usage errors are found before the board is read, whatever the length.
        DumpRefusal{"EmptyOutputName", {"--output", "", "--length", "100"}, kExitUsage},
        DumpRefusal{"NameTooLong", {"--output", "LONG", "--length", "100"}, kExitUsage},
        // --force replaces a regular file and nothing else.
        DumpRefusal{
            "ForceOverADevice", {"--output", "DEVICE", "--length", "10", "--force"}, kExitUsage},
        DumpRefusal{
            "ForceOverAFifo", {"--output", "FIFO", "--length", "10", "--force"}, kExitUsage},
        DumpRefusal{
            "ForceOverALink", {"--output", "LINK", "--length", "10", "--force"}, kExitUsage}),
    [](const ::testing::TestParamInfo<DumpRefusal>& param) { return param.param.name; });

// The replaced file keeps its permission bits.
TEST_F(FwTest, DumpReplacesAnExistingFileOnlyWithForce) {
    add_board(BoardKind::Qx630, kFirmware, std::nullopt);
    const std::string existing = scratch_file("kept.bin");
    write_file(existing, {1, 2, 3});
    std::filesystem::permissions(
        existing, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const sim::RunResult result =
        fw({"dump", "--board", "/dev/tarnvel0", "--output", existing, "--length", "64", "--force"});
    EXPECT_TRUE(result.exited_with(0)) << result.describe_end() << "\n" << result.err;
    EXPECT_EQ(file_bytes(existing), image_region(hardware(0), 64));
    EXPECT_EQ(std::filesystem::status(existing).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

}  // namespace
}  // namespace tarnvel::testing
