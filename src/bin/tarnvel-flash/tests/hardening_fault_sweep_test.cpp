// A register access that fails anywhere in a one-block update, on every controller class and
// flash type: the program must print the message the per-board update prescribes for where it
// failed, stop at that access, end normally, and touch no flash byte outside the image's block;
// a failure before the first erase must leave the flash as it was. A flash whose busy flag
// never clears must end the run with the timeout message within the driver's time limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "bpi/bpi_flash.hpp"
#include "controller/spi_engines.hpp"
#include "hardening_flow.hpp"
#include "sim/model/register_faults.hpp"
#include "sim/model/sim_board.hpp"

namespace tarnvel::testing {
namespace {

using namespace std::chrono_literals;

// One block, four partial pages or two partial write buffers: every kind of command the
// update sends, at a size that keeps thousands of runs fast.
constexpr std::size_t kImageBytes = 1000;

// The parallel-flash bus reset after the board is opened: six command cycles of a command
// and a data register write each, then the release of the bus.
constexpr std::uint64_t kBusResetAccesses = 13;

// How a refused register access shows: the errno the driver fails it with, the number the
// program carries (the same, also one the C library has no name for), and its kind text.
struct ChannelFailure {
    int driver_errno;
    int shown;
    const char* kind_text;
};

const ChannelFailure kFailures[] = {
    {EIO, EIO, "uncategorized error"},       {EBUSY, EBUSY, "resource busy"},
    {ETIMEDOUT, ETIMEDOUT, "timed out"},     {EACCES, EACCES, "permission denied"},
    {ENODEV, ENODEV, "uncategorized error"}, {200, 200, "uncategorized error"},
};

// Every access number: a one-block update of the small image makes 1000 to 2200. A run longer
// than the limit gets its first and last 50 and 2000 spread evenly between them.
std::vector<std::uint64_t> fault_positions(std::uint64_t accesses) {
    constexpr std::uint64_t kEdge = 50;
    constexpr std::uint64_t kSpread = 2000;
    constexpr std::uint64_t kEveryAccessUpTo = 10000;
    std::vector<std::uint64_t> positions;
    if (accesses <= kEveryAccessUpTo) {
        for (std::uint64_t k = 1; k <= accesses; ++k) positions.push_back(k);
        return positions;
    }
    for (std::uint64_t k = 1; k <= kEdge; ++k) positions.push_back(k);
    const std::uint64_t middle = accesses - 2 * kEdge;
    for (std::uint64_t i = 0; i < kSpread; ++i)
        positions.push_back(kEdge + 1 + i * middle / kSpread);
    for (std::uint64_t k = accesses - kEdge + 1; k <= accesses; ++k) positions.push_back(k);
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    return positions;
}

// A board of the bench's kind whose driver refuses one register access, opened by its path.
struct FaultyBoard {
    FaultyBoard(const UpdateBench& bench, sim::RegisterFault fault,
                const sim::BoardOptions& options = {})
        : model(bench.kind().kind, options),
          faults(model, fault),
          route(bench.node(), faults),
          record(bench.record()) {
        model.set_flash_changed_observer([this] { first_change = faults.access_count(); });
    }

    sim::FlashStorage& flash() { return *model.firmware_flash(); }

    sim::SimBoard model;
    sim::RegisterFaults faults;
    sim::InProcessPath route;
    BoardDevice record;
    std::optional<std::uint64_t> first_change;  // the access that first changed the flash
};

class RegisterFaultSweep : public ::testing::TestWithParam<UpdatedKind> {};

TEST_P(RegisterFaultSweep, EveryFailedAccessEndsTheUpdateWithItsMessage) {
    const UpdatedKind& kind = GetParam();
    const UpdateBench bench(kind, image_bytes(kImageBytes, 7));
    sim::SimulatedClock clock;

    // The run without a fault: how many accesses it makes, and which first changes the flash.
    std::uint64_t accesses = 0;
    std::uint64_t first_change = 0;
    {
        FaultyBoard board(bench, {});
        const FlowResult clean = run_flow(board.record, bench.firmware_dir(), "y\n");
        ASSERT_EQ(clean.out, bench.until_question() + progress_line(0) + std::string(kDoneLine) +
                                 std::string(kRebootDeclined));
        ASSERT_EQ(clean.outcome, BoardOutcome::Next);
        ASSERT_EQ(board.flash().first_mismatch(bench.begin(), as_stored(kind, bench.image())),
                  std::nullopt);
        ASSERT_TRUE(board.model.violations().empty()) << board.model.violations().summary();
        ASSERT_TRUE(board.first_change.has_value());
        accesses = board.faults.access_count();
        first_change = *board.first_change;
    }
    ASSERT_GT(first_change, kind.parallel ? kBusResetAccesses : 0);

    unsigned wrong = 0;
    std::size_t failure_index = 0;
    for (const std::uint64_t k : fault_positions(accesses)) {
        const ChannelFailure& failure = kFailures[failure_index++ % std::size(kFailures)];
        FaultyBoard board(bench, {.access = k, .error = failure.driver_errno});
        const FlowResult run = run_flow(board.record, bench.firmware_dir(), "y\n");

        // A parallel-flash board whose bus reset fails is passed over like a node that can't be
        // opened; any later failure is a failed update, which ends the run.
        const bool in_reset = kind.parallel && k <= kBusResetAccesses;
        const std::string expected =
            in_reset ? bench.device_line() +
                           fmt::format("\tCannot open device - {}\n", failure.kind_text)
                     : bench.until_question() + progress_line(0) +
                           update_error_line(os_error_text(failure.shown));
        const BoardOutcome expected_outcome = in_reset ? BoardOutcome::Next : BoardOutcome::EndRun;

        const bool flash_as_before = k > first_change || !board.flash().changed();
        const bool nothing_lost =
            board.flash().first_change_outside(bench.begin(), bench.end()) == std::nullopt;
        // Nothing after the refused access: the update stops right there.
        const bool stopped = board.faults.access_count() == k;
        // A failed update releases the board at once; only a failed bus reset leaves it open
        // until the run ends.
        const bool released = (board.record.fd == -1) != in_reset;
        if (run.out != expected || run.outcome != expected_outcome || !flash_as_before ||
            !nothing_lost || !stopped || !released) {
            ADD_FAILURE() << "access " << k << " of " << accesses << " failing with errno "
                          << failure.driver_errno << ":\n  printed   "
                          << ::testing::PrintToString(run.out) << "\n  expected  "
                          << ::testing::PrintToString(expected) << "\n  outcome "
                          << (run.outcome == expected_outcome ? "right" : "wrong")
                          << ", flash before the first erase "
                          << (flash_as_before ? "untouched" : "CHANGED") << ", outside the block "
                          << (nothing_lost ? "untouched" : "CHANGED") << ", accesses made "
                          << board.faults.access_count() << ", board "
                          << (board.record.fd == -1 ? "closed" : "open");
            if (++wrong == 5) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, RegisterFaultSweep, ::testing::ValuesIn(kUpdatedKinds),
                         kind_test_name);

// A busy flag that never clears, in the operation named, and the time limit that must end the
// wait for it.
struct StuckCase {
    const char* name;
    UpdatedKind kind;
    sim::BoardOptions options;
    std::chrono::nanoseconds limit;
    bool flash_touched;  // the stuck operation is past the first erase command
};

constexpr sim::BusyTime kForever{.polls = UINT32_MAX};

sim::BoardOptions stuck_spi_erase() {
    sim::BoardOptions options;
    options.spi.erase_time = kForever;
    return options;
}
sim::BoardOptions stuck_spi_program() {
    sim::BoardOptions options;
    options.spi.program_time = kForever;
    return options;
}
sim::BoardOptions stuck_bpi_erase() {
    sim::BoardOptions options;
    options.parallel.erase_time = kForever;
    return options;
}
sim::BoardOptions stuck_bpi_program() {
    sim::BoardOptions options;
    options.parallel.program_time = kForever;
    return options;
}
sim::BoardOptions stuck_shift_engine() {
    sim::BoardOptions options;
    options.shift_polls = UINT32_MAX;
    return options;
}

// Serial flash: 2 s per 64 KiB block erase, 10 ms per page program. Parallel flash: the
// driver's sector erase and buffer program limits. The QX410's shift engine: its step limit.
std::vector<StuckCase> stuck_cases() {
    std::vector<StuckCase> cases;
    for (const UpdatedKind& kind : kUpdatedKinds) {
        if (kind.parallel) {
            cases.push_back(
                {"SectorErase", kind, stuck_bpi_erase(), kBpiTimeLimits.sector_erase, true});
            cases.push_back(
                {"BufferProgram", kind, stuck_bpi_program(), kBpiTimeLimits.buffer_program, true});
        } else {
            cases.push_back({"BlockErase", kind, stuck_spi_erase(), 2s, true});
            cases.push_back({"PageProgram", kind, stuck_spi_program(), 10ms, true});
        }
        if (kind.kind == BoardKind::Qx410) {
            cases.push_back(
                {"ShiftEngine", kind, stuck_shift_engine(), kPolledShiftStepLimit, false});
        }
    }
    return cases;
}

class StuckBusyFlag : public ::testing::TestWithParam<StuckCase> {};

TEST_P(StuckBusyFlag, EndsTheUpdateWithTheTimeoutWithinTheLimit) {
    const StuckCase& c = GetParam();
    const UpdateBench bench(c.kind, image_bytes(kImageBytes, 11));
    sim::SimulatedClock clock;
    FaultyBoard board(bench, {}, c.options);
    const FlowResult run = run_flow(board.record, bench.firmware_dir(), "y\n");

    EXPECT_EQ(run.out,
              bench.until_question() + progress_line(0) + update_error_line("flash write timeout"));
    EXPECT_EQ(run.outcome, BoardOutcome::EndRun);
    EXPECT_EQ(board.record.fd, -1) << "the board stays open after its failed update";
    // The time limit ended the wait: not sooner, and not much later (the other waits of a
    // one-block update take well under this margin).
    EXPECT_GT(clock.elapsed(), c.limit);
    EXPECT_LE(clock.elapsed(), c.limit + 250ms);
    EXPECT_EQ(board.flash().changed(), c.flash_touched);
    EXPECT_EQ(board.flash().first_change_outside(bench.begin(), bench.end()), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Operations, StuckBusyFlag, ::testing::ValuesIn(stuck_cases()),
                         [](const ::testing::TestParamInfo<StuckCase>& param_info) {
                             return std::string(param_info.param.kind.name) + "_" +
                                    param_info.param.name;
                         });

}  // namespace
}  // namespace tarnvel::testing
