// tarnvel-fw update reads each block before it erases it and leaves a block that already holds
// the image as it is; --full erases and writes every block. What was done is in the JSON, the
// journal and, counted in erases, on the chip.

#include <algorithm>
#include <span>

#include "background_program.hpp"
#include "fw_harness.hpp"

namespace tarnvel::testing {
namespace {

constexpr std::uint16_t kFirmware = 40;

// Erases carried out on any chip of the board.
std::uint64_t erases_on(sim::SimBoard& board) {
    return (board.spi_chip() != nullptr ? board.spi_chip()->erases_done() : 0) +
           (board.parallel_chip() != nullptr ? board.parallel_chip()->erases_done() : 0);
}

// The block counts of an update's JSON board object, or of a journal record.
std::pair<Json, Json> block_counts(const Json& object) {
    return {object["blocks_written"], object["blocks_unchanged"]};
}

class FwUpdateOfTheHeldImage : public FwTestWithParam<bool> {};

// The image the flash already holds, forced: read once and neither erased nor written. With
// --full every block is erased and written all the same.
TEST_P(FwUpdateOfTheHeldImage, IsReadOnlyUnlessFull) {
    const bool full = GetParam();
    const BoardKind kind = BoardKind::Qx630;
    const std::uint32_t blocks = 1;
    const auto image = add_board(kind, kFirmware, kFirmware, 4096);
    firmware_storage(hardware(0)).load(firmware_base_address(kind), image);

    std::vector<std::string> args{"update", "--yes", "--force", "--json"};
    if (full) args.emplace_back("--full");
    const sim::RunResult result = fw(args);
    EXPECT_TRUE(result.exited_with(0)) << result.describe_end() << "\n" << result.err;
    const Json board = board_entry(parse_json(result), "/dev/tarnvel0");
    // A write that changed no block is no update.
    EXPECT_EQ(board["result"], full ? "updated" : "unchanged");
    const std::pair<Json, Json> expected =
        full ? std::pair<Json, Json>{blocks, 0} : std::pair<Json, Json>{0, blocks};
    EXPECT_EQ(block_counts(board), expected) << board.dump();
    EXPECT_EQ(erases_on(hardware(0)), full ? blocks : 0u);
    EXPECT_EQ(image_region(hardware(0), image.size()), image);

    const Json history = parse_json(fw({"history", "--json"}));
    ASSERT_EQ(history.size(), 1u) << history.dump(2);
    EXPECT_EQ(block_counts(history[0]), expected) << history[0].dump();
    EXPECT_EQ(history[0]["flash_changed"], full);
    if (!full) {
        const sim::RunResult text = fw({"update", "--yes", "--force"});
        EXPECT_NE(text.out.find("unchanged: the flash already held image 40, nothing was erased "
                                "or written (1 already held the image)"),
                  std::string::npos)
            << text.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, FwUpdateOfTheHeldImage, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "Full" : "Differing";
                         });

// An update cut at a failed register access once its first block was written: the next one
// writes only the blocks that differ, and the board then verifies.
TEST_F(FwTest, AfterAWriteCutHalfWayOnlyTheBlocksThatDifferAreWritten) {
    const BoardKind kind = BoardKind::Qx630;
    const std::uint32_t blocks = 2;
    const std::size_t block = erase_block_size(kind);
    const std::size_t size = block + 256;
    const auto image = add_board(kind, kFirmware, kFirmware + 1, size, sim::RegisterFault{});
    {
        BackgroundProgram program(testbed(), firmware().path(),
                                  {.argv = {TARNVEL_FW_BINARY, "update", "--yes", "--json"}});
        ASSERT_TRUE(program.wait_for([&] {
            return testbed().with_model(0, [&](sim::RegisterModel& model) {
                auto& faults = dynamic_cast<sim::RegisterFaults&>(model);
                auto& board = dynamic_cast<sim::SimBoard&>(faults.inner());
                if (firmware_storage(board).first_mismatch(firmware_base_address(kind),
                                                           std::span(image).first(block))) {
                    return false;
                }
                faults.set_fault({.access = faults.access_count() + 1});
                return true;
            });
        }));
        const sim::RunResult& cut = program.finish();
        EXPECT_TRUE(cut.exited_with(kExitBoardFailed)) << cut.describe_end() << "\n" << cut.err;
        EXPECT_EQ(board_entry(parse_json(cut), "/dev/tarnvel0")["result"], "failed");
    }
    // The blocks the cut left without the image.
    const std::vector<std::uint8_t> held = image_region(hardware(0), size);
    std::uint32_t differing = 0;
    for (std::size_t at = 0; at < size; at += block) {
        const std::size_t end = std::min(at + block, size);
        differing += !std::equal(image.begin() + at, image.begin() + end, held.begin() + at);
    }
    ASSERT_GT(differing, 0u);
    ASSERT_LT(differing, blocks);

    const std::uint64_t erases = erases_on(hardware(0));
    const sim::RunResult resumed = fw({"update", "--yes", "--json"});
    EXPECT_TRUE(resumed.exited_with(0)) << resumed.describe_end() << "\n" << resumed.err;
    const Json board = board_entry(parse_json(resumed), "/dev/tarnvel0");
    EXPECT_EQ(board["result"], "updated");
    EXPECT_EQ(block_counts(board), (std::pair<Json, Json>{differing, blocks - differing}))
        << board.dump();
    EXPECT_EQ(erases_on(hardware(0)) - erases, differing);

    const sim::RunResult verified = fw({"verify", "--json"});
    EXPECT_TRUE(verified.exited_with(0)) << verified.describe_end() << "\n" << verified.err;
    EXPECT_EQ(board_entry(parse_json(verified), "/dev/tarnvel0")["result"], "match");
}

}  // namespace
}  // namespace tarnvel::testing
