// A power cut on simulated boards: what a chip leaves of an operation it was carrying out, and
// how the supply counts register accesses over its boards and fails them from the cut on. The
// whole round of a cut update and the power-on after it is the power-cut campaign's.

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <vector>

#include "sim/firmware/firmware_archive_writer.hpp"
#include "sim/model/operation_in_progress.hpp"
#include "sim/model/power_supply.hpp"
#include "sim/model/register_file.hpp"
#include "sim/model/spi_nor_chip.hpp"

namespace tarnvel::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The operation's cells after a cut: a prefix reached, one cell with some of its bits
// changed, the rest as before.
::testing::AssertionResult half_done(const Bytes& before, const Bytes& after, const Bytes& cut) {
    std::size_t k = 0;
    while (k < cut.size() && cut[k] == after[k]) ++k;
    for (std::size_t i = k + 1; i < cut.size(); ++i) {
        if (cut[i] != before[i]) return ::testing::AssertionFailure() << "cell " << i << " changed";
    }
    if (k < cut.size()) {
        const std::uint8_t changed = before[k] ^ cut[k];
        if ((changed & ~(before[k] ^ after[k])) != 0) {
            return ::testing::AssertionFailure() << "cell " << k << " has bits of neither value";
        }
    }
    return ::testing::AssertionSuccess() << k << " cells reached";
}

struct OperationCase {
    const char* name;
    std::uint32_t address;
    std::uint32_t length;
    bool erase;           // else a program of a pattern over an earlier one
    bool touched_before;  // the page held something other than the pre-fill
};

void PrintTo(const OperationCase& c, std::ostream* os) {
    *os << c.name;
}

class InterruptedOperation : public ::testing::TestWithParam<OperationCase> {};

TEST_P(InterruptedOperation, LeavesAPrefixDoneTheSameWayForTheSameSeed) {
    const OperationCase& c = GetParam();
    std::vector<std::uint32_t> reached;
    for (std::uint64_t seed : {1u, 2u, 3u, 1u}) {
        FlashStorage flash(1u << 20);
        if (c.touched_before) flash.fill(c.address, c.length, 0xF0);
        const Bytes before = flash.dump(c.address, c.length);
        OperationInProgress operation;
        operation.begin(flash, c.address, c.length);
        const Bytes data = firmware_bytes(c.length, 5);
        for (std::uint32_t i = 0; i < c.length; ++i) {
            flash.write(c.address + i, c.erase ? 0xFF : before[i] & data[i]);
        }
        const Bytes after = flash.dump(c.address, c.length);
        operation.interrupt(flash, seed);
        const Bytes cut = flash.dump(c.address, c.length);
        EXPECT_TRUE(half_done(before, after, cut)) << "seed " << seed;
        std::uint32_t k = 0;
        while (k < c.length && cut[k] == after[k]) ++k;
        reached.push_back(k);
    }
    EXPECT_EQ(reached[0], reached[3]) << "seed 1 twice";
    EXPECT_FALSE(reached[0] == reached[1] && reached[1] == reached[2]) << "three seeds, one result";
}

INSTANTIATE_TEST_SUITE_P(
    Operations, InterruptedOperation,
    ::testing::Values(OperationCase{"EraseOfUntouchedBlock", 0x10000, 0x10000, true, false},
                      OperationCase{"EraseAcrossPages", 0x20000, 0x20000, true, true},
                      OperationCase{"PageProgram", 0x30100, 0x100, false, true},
                      OperationCase{"BufferProgramOnPreFill", 0x40200, 0x200, false, false}),
    [](const ::testing::TestParamInfo<OperationCase>& param) {
        return std::string(param.param.name);
    });

// A serial chip's block erase: in progress until a status poll has seen it done.
TEST(PowerCut, InterruptsOnlyAnOperationNoPollHasSeenDone) {
    for (bool polled : {false, true}) {
        ViolationLog log;
        SpiNorChip chip(SpiNorChip::Options{}, log);
        auto frame = [&chip](std::initializer_list<std::uint8_t> bytes) {
            chip.begin_frame();
            std::uint8_t last = 0;
            for (std::uint8_t b : bytes) last = chip.exchange(b);
            chip.end_frame();
            return last;
        };
        frame({SpiNorChip::kWriteEnable});
        frame({SpiNorChip::kErase3, 0x01, 0x00, 0x00});
        while (polled && (frame({SpiNorChip::kReadStatus, 0}) & SpiNorChip::kStatusBusy) != 0) {
        }
        chip.cut_power(7);
        EXPECT_EQ(chip.storage().is_filled(0x10000, 0x10000, 0xFF), polled) << polled;
        EXPECT_FALSE(chip.busy());
    }
}

TEST(PowerCut, SupplyCountsEveryBoardsAccessesAndFailsFromTheCutOn) {
    unsigned cuts = 0;
    PowerSupply supply({.access = 3, .seed = 0}, [&cuts] { ++cuts; });
    RegisterFile first_registers;
    RegisterFile second_registers;
    auto first = supply.connect(first_registers);
    auto second = supply.connect(second_registers);
    std::uint32_t value = 0;
    EXPECT_EQ(first->write(0x85, 1), 0);
    EXPECT_EQ(second->read(0x85, value), 0);
    EXPECT_EQ(first->write(0x85, 2), ENODEV);  // the third: the power goes
    EXPECT_EQ(second->write(0x85, 3), ENODEV);
    EXPECT_EQ(cuts, 1u);
    EXPECT_TRUE(supply.cut());
    EXPECT_EQ(supply.accesses(), 4u);
    EXPECT_EQ(first_registers.value(0x85), 1u);
    EXPECT_EQ(second_registers.write_count(), 0u);
}

// A cut called for between two accesses (tarnvel-sim's signals) is the plan that named the next
// access: with the plan's seed when there was a plan, the access's number otherwise; once cut,
// the power stays cut by what cut it first.
TEST(PowerCut, CutNowIsThePlanOfTheNextAccess) {
    struct Case {
        PowerCutPlan plan;
        PowerCutPlan expected;
    };
    for (const Case& c : {Case{{}, {.access = 3, .seed = 3}},
                          Case{{.access = 9, .seed = 77}, {.access = 3, .seed = 77}},
                          Case{{.access = 2, .seed = 5}, {.access = 2, .seed = 5}}}) {
        SCOPED_TRACE(c.plan.access);
        unsigned cuts = 0;
        PowerSupply supply(c.plan, [&cuts] { ++cuts; });
        RegisterFile registers;
        auto board = supply.connect(registers);
        std::uint32_t value = 0;
        board->read(0x85, value);
        board->read(0x85, value);
        const PowerCutPlan cut = supply.cut_now();
        EXPECT_EQ(cut.access, c.expected.access);
        EXPECT_EQ(cut.seed, c.expected.seed);
        EXPECT_EQ(supply.cut_now().access, c.expected.access);
        EXPECT_EQ(cuts, 1u);
        EXPECT_TRUE(supply.cut());
        EXPECT_EQ(board->write(0x85, 1), ENODEV);
        EXPECT_EQ(registers.write_count(), 0u);
    }
}

}  // namespace
}  // namespace tarnvel::sim
