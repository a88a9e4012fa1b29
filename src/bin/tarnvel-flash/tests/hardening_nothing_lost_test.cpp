// Whatever happens during an update, the flash outside the blocks the image covers keeps every
// byte it had: after a clean update, after blocks that had to be written again, after an
// update that gave up or lost its board part-way, and after the operator's second attempt.
// Inside those blocks a finished update leaves exactly the image, and the rest of a short last
// block erased.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <tuple>

#include "hardening_flow.hpp"
#include "sim/model/register_faults.hpp"
#include "sim/model/sim_board.hpp"

namespace tarnvel::testing {
namespace {

enum class Scenario {
    CleanUpdate,          // one run, nothing goes wrong
    BlockWrittenAgain,    // the second block reads back wrong twice, then right
    VerifyGivesUp,        // the second block programs wrong on every one of its six passes
    BoardLostThenRepeat,  // the driver refuses an access halfway; the operator runs again
};

struct ScenarioInfo {
    const char* name;
    Scenario scenario;
};

const ScenarioInfo kScenarios[] = {
    {"CleanUpdate", Scenario::CleanUpdate},
    {"BlockWrittenAgain", Scenario::BlockWrittenAgain},
    {"VerifyGivesUp", Scenario::VerifyGivesUp},
    {"BoardLostThenRepeat", Scenario::BoardLostThenRepeat},
};

void PrintTo(const ScenarioInfo& info, std::ostream* os) {
    *os << info.name;
}

// Two whole blocks and two bytes: a short last block whose rest must end up erased.
Bytes image_for(const UpdatedKind& kind) {
    return image_bytes(2 * block_bytes(kind) + 2, 23);
}

// The output of an update of the three-block image that goes through, with `retries` retry
// lines for the second block.
std::string finished_update(const UpdateBench& bench, unsigned retries) {
    std::string text = bench.until_question() + progress_line(0) + progress_line(33);
    for (unsigned i = 0; i < retries; ++i) text += std::string(kRetryLine) + progress_line(33);
    return text + progress_line(66) + std::string(kDoneLine) + std::string(kRebootDeclined);
}

class NothingLost : public ::testing::TestWithParam<std::tuple<UpdatedKind, ScenarioInfo>> {};

TEST_P(NothingLost, OutsideTheImageBlocks) {
    const auto& [kind, scenario] = GetParam();
    const UpdateBench bench(kind, image_for(kind));
    sim::SimulatedClock clock;
    sim::SimBoard model(kind.kind);
    sim::RegisterFaults faults(model, {});
    sim::InProcessPath route(bench.node(), faults);
    sim::FlashStorage& flash = *model.firmware_flash();
    sim::ChipFaults& chip_faults =
        kind.parallel ? model.parallel_chip()->faults() : model.spi_chip()->faults();
    const std::uint32_t second_block = bench.begin() + block_bytes(kind);

    bool finished = true;
    bool stale_frame_possible = false;
    switch (scenario.scenario) {
        case Scenario::CleanUpdate: {
            BoardDevice board = bench.record();
            EXPECT_EQ(run_flow(board, bench.firmware_dir(), "y\n").out, finished_update(bench, 0));
            break;
        }
        case Scenario::BlockWrittenAgain: {
            chip_faults.corrupt_read(second_block, 2);
            BoardDevice board = bench.record();
            EXPECT_EQ(run_flow(board, bench.firmware_dir(), "y\n").out, finished_update(bench, 2));
            break;
        }
        case Scenario::VerifyGivesUp: {
            chip_faults.corrupt_program(second_block, 6);
            BoardDevice board = bench.record();
            std::string expected = bench.until_question() + progress_line(0) + progress_line(33);
            for (int i = 0; i < 5; ++i) expected += std::string(kRetryLine) + progress_line(33);
            expected += update_error_line("can't write to flash");
            EXPECT_EQ(run_flow(board, bench.firmware_dir(), "y\n").out, expected);
            finished = false;
            break;
        }
        case Scenario::BoardLostThenRepeat: {
            // How many accesses an update makes, counted on a board of its own.
            std::uint64_t accesses = 0;
            {
                sim::SimBoard counted(kind.kind);
                sim::RegisterFaults counter(counted, {});
                route.set_model(counter);
                BoardDevice board = bench.record();
                run_flow(board, bench.firmware_dir(), "y\n");
                accesses = counter.access_count();
                route.set_model(faults);
            }
            faults.set_fault({.access = accesses / 2, .error = EIO, .persistent = true});
            {
                BoardDevice board = bench.record();
                const FlowResult lost = run_flow(board, bench.firmware_dir(), "y\n");
                EXPECT_TRUE(lost.out.ends_with(update_error_line(os_error_text(EIO))));
                EXPECT_EQ(lost.outcome, BoardOutcome::EndRun);
            }
            EXPECT_EQ(flash.first_change_outside(bench.begin(), bench.end()), std::nullopt);
            // The board is back; the operator runs the update again.
            faults.set_fault({});
            // The QX410's shift engine still has the cut-off frame open (chip select asserted),
            // and the next run's first command joins it: the chip refuses that command and the
            // verify pass makes up for it. Only there are the chip's complaints expected.
            stale_frame_possible = kind.kind == BoardKind::Qx410;
            BoardDevice board = bench.record();
            EXPECT_EQ(run_flow(board, bench.firmware_dir(), "y\n").out, finished_update(bench, 0));
            break;
        }
    }

    EXPECT_EQ(flash.first_change_outside(bench.begin(), bench.end()), std::nullopt);
    const Bytes stored = as_stored(kind, bench.image());
    if (finished) {
        EXPECT_EQ(flash.first_mismatch(bench.begin(), stored), std::nullopt);
        const auto image_end = bench.begin() + static_cast<std::uint32_t>(stored.size());
        EXPECT_TRUE(flash.is_filled(image_end, bench.end() - image_end, 0xFF));
    } else {
        // The blocks before the one that failed hold their part of the image.
        EXPECT_EQ(flash.first_mismatch(bench.begin(),
                                       Bytes(stored.begin(), stored.begin() + block_bytes(kind))),
                  std::nullopt);
    }
    if (!stale_frame_possible) {
        EXPECT_TRUE(model.violations().empty()) << model.violations().summary();
    }
}

INSTANTIATE_TEST_SUITE_P(
    KindsAndScenarios, NothingLost,
    ::testing::Combine(::testing::ValuesIn(kUpdatedKinds), ::testing::ValuesIn(kScenarios)),
    [](const ::testing::TestParamInfo<std::tuple<UpdatedKind, ScenarioInfo>>& param_info) {
        return std::string(std::get<0>(param_info.param).name) + "_" +
               std::get<1>(param_info.param).name;
    });

}  // namespace
}  // namespace tarnvel::testing
