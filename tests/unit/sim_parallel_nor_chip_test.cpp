#include "sim/model/parallel_nor_chip.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "flash/wait.hpp"
#include "sim/in_process.hpp"

namespace tarnvel::sim {
namespace {

struct Cycle {
    std::uint32_t address;
    std::uint16_t value;
};
using Cycles = std::vector<Cycle>;

constexpr std::uint32_t kSector = 0x810000;  // word address of the sector at byte 0x1020000
constexpr Cycle kUnlock1{0x555, 0xAA};
constexpr Cycle kUnlock2{0x2AA, 0x55};

void run(ParallelNorChip& chip, const Cycles& cycles) {
    for (Cycle c : cycles) chip.write_cycle(c.address, c.value);
}

Cycles erase_cycles(std::uint32_t sector) {
    return {kUnlock1, kUnlock2, {0x555, 0x80}, kUnlock1, kUnlock2, {sector, 0x30}};
}

// Write-to-buffer of `words` at word address `first`, with its count and confirm.
Cycles buffer_cycles(std::uint32_t first, const std::vector<std::uint16_t>& words) {
    const std::uint32_t sector = first & ~0xFFFFu;
    Cycles c{
        kUnlock1, kUnlock2, {sector, 0x25}, {sector, static_cast<std::uint16_t>(words.size() - 1)}};
    for (std::size_t i = 0; i < words.size(); ++i) {
        c.push_back({first + static_cast<std::uint32_t>(i), words[i]});
    }
    c.push_back({sector, 0x29});
    return c;
}

void wait_ready(ParallelNorChip& chip) {
    for (int i = 0; i < 100; ++i) {
        if (!chip.poll_busy()) return;
    }
    FAIL() << "chip stays busy";
}

std::uint16_t word(const ParallelNorChip& chip, std::uint32_t word_address) {
    return chip.storage().read_le16(word_address * 2);
}

class SimParallelNorChip : public ::testing::Test {
  protected:
    void erased_sector() {
        run(chip, erase_cycles(kSector));
        wait_ready(chip);
        ASSERT_TRUE(log.empty()) << log.summary();
    }

    ViolationLog log;
    ParallelNorChip chip{ParallelNorChip::Options{}, log};
};

TEST_F(SimParallelNorChip, SectorEraseSetsOnlyItsSectorToOnes) {
    run(chip, erase_cycles(kSector + 0x1234));  // any address in the sector names it
    wait_ready(chip);
    EXPECT_TRUE(chip.storage().is_filled(kSector * 2, 0x20000, 0xFF));
    EXPECT_EQ(chip.storage().first_change_outside(kSector * 2, kSector * 2 + 0x20000),
              std::nullopt);
    EXPECT_TRUE(chip.in_read_mode());
    EXPECT_TRUE(log.empty()) << log.summary();
}

TEST_F(SimParallelNorChip, BufferProgramWritesWordsLittleEndianAndOnlyClearsBits) {
    erased_sector();
    run(chip, buffer_cycles(kSector + 0x100, {0x1234, 0xFF00, 0x00FF}));
    wait_ready(chip);
    EXPECT_EQ(word(chip, kSector + 0x100), 0x1234);
    EXPECT_EQ(chip.storage().read(kSector * 2 + 0x200), 0x34) << "low byte first";
    EXPECT_EQ(word(chip, kSector + 0x102), 0x00FF);
    EXPECT_EQ(word(chip, kSector + 0x103), 0xFFFF) << "a word past the count was programmed";
    EXPECT_EQ(chip.read_cycle(kSector + 0x101), 0xFF00);
    EXPECT_TRUE(log.empty()) << log.summary();
    // Over programmed words the result is the AND, and the missing erase is noticed.
    run(chip, buffer_cycles(kSector + 0x100, {0x0FF0}));
    wait_ready(chip);
    EXPECT_EQ(word(chip, kSector + 0x100), 0x0230);
    EXPECT_EQ(log.count(ViolationKind::ProgramOverUnerasedBits), 1u);
}

TEST_F(SimParallelNorChip, FullBufferOf256Words) {
    erased_sector();
    std::vector<std::uint16_t> words(256);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint16_t>(i * 3);
    run(chip, buffer_cycles(kSector + 0x200, words));
    wait_ready(chip);
    for (std::uint32_t i = 0; i < 256; ++i) ASSERT_EQ(word(chip, kSector + 0x200 + i), words[i]);
    EXPECT_TRUE(log.empty()) << log.summary();
}

TEST_F(SimParallelNorChip, ResetReturnsToReadModeFromEveryCommandState) {
    const Cycles prefixes[] = {
        {kUnlock1},
        {kUnlock1, kUnlock2},
        {kUnlock1, kUnlock2, {0x555, 0x80}},
        {kUnlock1, kUnlock2, {0x555, 0x80}, kUnlock1},
        {kUnlock1, kUnlock2, {0x555, 0x80}, kUnlock1, kUnlock2},
    };
    for (const Cycles& prefix : prefixes) {
        run(chip, prefix);
        chip.write_cycle(0x555, 0xF0);
        EXPECT_TRUE(chip.in_read_mode()) << prefix.size();
    }
    EXPECT_EQ(chip.storage().pages_in_use(), 0u);
    EXPECT_TRUE(log.empty()) << log.summary();
}

TEST_F(SimParallelNorChip, BusyForTheConfiguredPollsAndDeafMeanwhile) {
    ParallelNorChip::Options options;
    options.erase_time.polls = 2;
    ParallelNorChip slow(options, log);
    run(slow, erase_cycles(kSector));
    EXPECT_TRUE(slow.poll_busy());
    slow.write_cycle(0x555, 0xF0);  // even a reset is ignored during the erase
    EXPECT_EQ(log.count(ViolationKind::CommandWhileBusy), 1u);
    // Reads during the operation give toggling status, not data.
    EXPECT_NE(slow.read_cycle(kSector), slow.read_cycle(kSector));
    EXPECT_TRUE(slow.poll_busy());
    EXPECT_FALSE(slow.poll_busy());
    EXPECT_EQ(slow.read_cycle(kSector), 0xFFFF);
}

// With a data sheet's typical times (in simulated time, so the test takes none): busy until
// the time has passed, however often it is polled, and ready from that moment on.
TEST_F(SimParallelNorChip, TypicalTimesKeepTheChipBusyForExactlyThatLong) {
    using namespace std::chrono_literals;
    struct Case {
        Cycles cycles;
        std::chrono::nanoseconds typical;
    };
    const Case cases[] = {
        {erase_cycles(kSector), ParallelNorChip::kTypicalSectorErase},
        {buffer_cycles(kSector, {0x1234, 0x5678}), ParallelNorChip::kTypicalBufferProgram}};
    for (const double scale : {1.0, 0.01}) {
        ParallelNorChip timed(ParallelNorChip::Options::typical_times(scale), log);
        sim::SimulatedClock clock;
        for (const Case& c : cases) {
            const auto busy_time =
                std::chrono::duration_cast<std::chrono::nanoseconds>(c.typical * scale);
            run(timed, c.cycles);
            EXPECT_TRUE(timed.poll_busy());
            wait_for(busy_time - 1ns);
            EXPECT_TRUE(timed.poll_busy()) << c.typical.count() << " x " << scale;
            wait_for(1ns);
            EXPECT_FALSE(timed.poll_busy()) << c.typical.count() << " x " << scale;
        }
        EXPECT_EQ(word(timed, kSector + 1), 0x5678);
    }
    EXPECT_TRUE(log.empty()) << log.summary();
}

TEST_F(SimParallelNorChip, CorruptedProgramAndReadBackLastTheirPassesOnly) {
    chip.faults().corrupt_program(kSector * 2 + 1, 1);  // the high byte of the first word
    for (int pass = 0; pass < 2; ++pass) {
        run(chip, erase_cycles(kSector));
        wait_ready(chip);
        run(chip, buffer_cycles(kSector, {0x1234}));
        wait_ready(chip);
        EXPECT_EQ(word(chip, kSector), pass == 0 ? 0x1334 : 0x1234) << pass;
    }
    chip.faults().corrupt_read(kSector * 2, 2);
    EXPECT_EQ(chip.read_cycle(kSector), 0x1235);
    EXPECT_EQ(chip.read_cycle(kSector), 0x1235);
    EXPECT_EQ(chip.read_cycle(kSector), 0x1234);
}

// Malformed sequences: refused, the flash unchanged, the fault logged.
struct Malformed {
    const char* name;
    Cycles cycles;
    ViolationKind expected;
    bool aborts_buffer;  // leaves the part in the write-to-buffer abort state
};

class SimParallelNorChipRefuses : public ::testing::TestWithParam<Malformed> {};

TEST_P(SimParallelNorChipRefuses, LeavesFlashUnchanged) {
    ViolationLog log;
    ParallelNorChip chip(ParallelNorChip::Options{}, log);
    run(chip, GetParam().cycles);
    EXPECT_EQ(chip.programs_done() + chip.erases_done(), 0u);
    EXPECT_EQ(chip.storage().pages_in_use(), 0u);
    ASSERT_GE(log.total(), 1u);
    EXPECT_EQ(log.entries()[0].kind, GetParam().expected) << log.summary();
    EXPECT_EQ(chip.aborted(), GetParam().aborts_buffer);
    if (GetParam().aborts_buffer) {
        // Status instead of data until the abort reset; a plain reset is not enough.
        EXPECT_EQ(chip.read_cycle(0), ParallelNorChip::kAbortStatus);
        chip.write_cycle(0x555, 0xF0);
        EXPECT_TRUE(chip.aborted());
        run(chip, {kUnlock1, kUnlock2, {0x555, 0xF0}});
    }
    EXPECT_TRUE(chip.in_read_mode());
    EXPECT_EQ(chip.read_cycle(0x10), chip.storage().read_le16(0x20));
}

Cycles with(Cycles c, std::size_t index, Cycle replacement) {
    c[index] = replacement;
    return c;
}
Cycles without(Cycles c, std::size_t index) {
    c.erase(c.begin() + static_cast<std::ptrdiff_t>(index));
    return c;
}
Cycles plus(Cycles c, std::size_t index, Cycle extra) {
    c.insert(c.begin() + static_cast<std::ptrdiff_t>(index), extra);
    return c;
}

const Cycles kErase = erase_cycles(kSector);
// Unlock, unlock, 0x25, count 1 (two words), two words at 0x810110, confirm. Not in the
// sector's first buffer page, so that a confirm at the sector address is outside the page.
const Cycles kBuffer = buffer_cycles(kSector + 0x110, {0x1111, 0x2222});

INSTANTIATE_TEST_SUITE_P(
    Table, SimParallelNorChipRefuses,
    ::testing::Values(
        Malformed{"FirstUnlockWrongData", with(kErase, 0, {0x555, 0xA0}),
                  ViolationKind::BadUnlockCycle, false},
        Malformed{"FirstUnlockInByteModeAddress", with(kErase, 0, {0xAAA, 0xAA}),
                  ViolationKind::BadUnlockCycle, false},
        Malformed{"SecondUnlockWrongAddress", with(kErase, 1, {0x2AB, 0x55}),
                  ViolationKind::BadUnlockCycle, false},
        Malformed{"SecondUnlockWrongData", with(kBuffer, 1, {0x2AA, 0x5A}),
                  ViolationKind::BadUnlockCycle, false},
        Malformed{"EraseSkipsSecondUnlockPair", without(without(kErase, 3), 3),
                  ViolationKind::BadUnlockCycle, false},
        Malformed{"EraseWrongConfirm", with(kErase, 5, {kSector, 0x10}),
                  ViolationKind::UnknownCommand, false},
        Malformed{"UnknownCommandAfterUnlock", with(kErase, 2, {0x555, 0x90}),
                  ViolationKind::UnknownCommand, false},
        Malformed{
            "StrayWriteInReadMode", {{kSector, 0x1234}}, ViolationKind::UnknownCommand, false},
        Malformed{"CountAboveBuffer", with(kBuffer, 3, {kSector, 256}),
                  ViolationKind::BufferWordCountMismatch, true},
        Malformed{"CountAtOtherSector", with(kBuffer, 3, {kSector + 0x10000, 1}),
                  ViolationKind::BufferOutsideSector, true},
        Malformed{"WordOutsideBufferPage", with(kBuffer, 5, {kSector + 0x210, 0x2222}),
                  ViolationKind::BufferOutsidePage, true},
        Malformed{"WordOutsideSector", with(kBuffer, 4, {kSector - 1, 0x1111}),
                  ViolationKind::BufferOutsideSector, true},
        Malformed{"FewerWordsThanCount", without(kBuffer, 5),
                  ViolationKind::BufferWordCountMismatch, true},
        Malformed{"MoreWordsThanCount", plus(kBuffer, 6, {kSector + 0x112, 0x3333}),
                  ViolationKind::BufferWordCountMismatch, true},
        Malformed{"ConfirmAtOtherSector", with(kBuffer, 6, {kSector + 0x10000, 0x29}),
                  ViolationKind::MissingConfirm, true},
        Malformed{"NextCommandInsteadOfConfirm", with(kBuffer, 6, kUnlock1),
                  ViolationKind::MissingConfirm, true}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(SimParallelNorChipReads, ReadBetweenUnlockCyclesDropsTheSequence) {
    ViolationLog log;
    ParallelNorChip chip(ParallelNorChip::Options{}, log);
    run(chip, {kUnlock1, kUnlock2});
    EXPECT_EQ(chip.read_cycle(kSector), chip.storage().read_le16(kSector * 2));
    EXPECT_TRUE(chip.in_read_mode());
    EXPECT_EQ(log.count(ViolationKind::ReadDuringCommandSequence), 1u);
}

TEST(SimParallelNorChipReads, ReadInsideBufferSequenceAbortsIt) {
    ViolationLog log;
    ParallelNorChip chip(ParallelNorChip::Options{}, log);
    run(chip, {kUnlock1, kUnlock2, {kSector, 0x25}, {kSector, 0}});
    EXPECT_EQ(chip.read_cycle(kSector), ParallelNorChip::kAbortStatus);
    run(chip, {{kSector, 0x1111}, {kSector, 0x29}});
    EXPECT_EQ(chip.programs_done(), 0u);
    EXPECT_EQ(log.count(ViolationKind::ReadDuringCommandSequence), 1u);
}

}  // namespace
}  // namespace tarnvel::sim
