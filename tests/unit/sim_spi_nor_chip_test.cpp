#include "sim/model/spi_nor_chip.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "flash/wait.hpp"
#include "sim/in_process.hpp"

namespace tarnvel::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kMiB = 1u << 20;

// One frame with chip select held for `tx` and then `extra` zero bytes; the bytes received.
Bytes frame(SpiNorChip& chip, const Bytes& tx, std::size_t extra = 0) {
    Bytes rx;
    chip.begin_frame();
    for (std::uint8_t b : tx) rx.push_back(chip.exchange(b));
    for (std::size_t i = 0; i < extra; ++i) rx.push_back(chip.exchange(0));
    chip.end_frame();
    return rx;
}

Bytes address_bytes(std::uint8_t opcode, std::uint32_t address, bool four_byte) {
    Bytes b{opcode};
    if (four_byte) b.push_back(static_cast<std::uint8_t>(address >> 24));
    b.push_back(static_cast<std::uint8_t>(address >> 16));
    b.push_back(static_cast<std::uint8_t>(address >> 8));
    b.push_back(static_cast<std::uint8_t>(address));
    return b;
}

std::uint8_t status(SpiNorChip& chip) {
    return frame(chip, {0x05}, 1)[1];
}

// Polls until ready, as a driver would; fails the test if the chip never gets there.
void wait_ready(SpiNorChip& chip) {
    for (int i = 0; i < 1000; ++i) {
        if ((status(chip) & SpiNorChip::kStatusBusy) == 0) return;
    }
    FAIL() << "chip stays busy";
}

void program(SpiNorChip& chip, std::uint32_t address, const Bytes& data, bool four_byte) {
    frame(chip, {0x06});
    Bytes tx = address_bytes(four_byte ? 0x12 : 0x02, address, four_byte);
    tx.insert(tx.end(), data.begin(), data.end());
    frame(chip, tx);
    wait_ready(chip);
}

void erase(SpiNorChip& chip, std::uint32_t address, bool four_byte) {
    frame(chip, {0x06});
    frame(chip, address_bytes(four_byte ? 0xDC : 0xD8, address, four_byte));
    wait_ready(chip);
}

Bytes read(SpiNorChip& chip, std::uint32_t address, std::size_t n, bool four_byte) {
    Bytes tx = address_bytes(four_byte ? 0x13 : 0x03, address, four_byte);
    Bytes rx = frame(chip, tx, n);
    return Bytes(rx.begin() + static_cast<std::ptrdiff_t>(tx.size()), rx.end());
}

class SimSpiNorChip : public ::testing::Test {
  protected:
    ViolationLog log;
    SpiNorChip chip{SpiNorChip::Options{}, log};
    FlashStorage& cells = chip.storage();
};

TEST_F(SimSpiNorChip, ReadIdentificationGivesTheConfiguredId) {
    SpiNorChip::Options options;
    options.jedec_id = {0x11, 0x22, 0x33};
    SpiNorChip other(options, log);
    EXPECT_EQ(frame(other, {0x9F}, 3), (Bytes{0xFF, 0x11, 0x22, 0x33}));
    EXPECT_TRUE(log.empty());
}

TEST_F(SimSpiNorChip, ProgrammingOnlyClearsBits) {
    erase(chip, 0, false);
    program(chip, 0x10, {0xF0}, false);
    program(chip, 0x10, {0x3C}, false);
    EXPECT_EQ(cells.read(0x10), 0x30);
    // 0x3C over 0xF0 asked two bits to rise: the block was not erased for it.
    EXPECT_EQ(log.count(ViolationKind::ProgramOverUnerasedBits), 1u);
}

TEST_F(SimSpiNorChip, ProgramWrapsInsideItsPage) {
    erase(chip, 0, false);
    Bytes data(32);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    program(chip, 0x2F0, data, false);
    EXPECT_EQ(cells.dump(0x2F0, 16), Bytes(data.begin(), data.begin() + 16));
    EXPECT_EQ(cells.dump(0x200, 16), Bytes(data.begin() + 16, data.end()));
    EXPECT_TRUE(cells.is_filled(0x300, 0x10, 0xFF)) << "the next page was programmed";
}

TEST_F(SimSpiNorChip, MoreThanAPageOfDataKeepsTheLast256Bytes) {
    erase(chip, 0, false);
    Bytes data(300);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    program(chip, 0x100, data, false);
    // Bytes 256..299 overwrote latch positions 0..43.
    EXPECT_EQ(cells.read(0x100), data[256]);
    EXPECT_EQ(cells.read(0x100 + 43), data[299]);
    EXPECT_EQ(cells.read(0x100 + 44), data[44]);
}

TEST_F(SimSpiNorChip, ThreeByteAddressesReachTheLowest16MiBOnly) {
    erase(chip, 0x1000000, true);
    program(chip, 0x1000000, {0x11, 0x22}, true);
    EXPECT_EQ(read(chip, 0x1000000, 2, true), (Bytes{0x11, 0x22}));
    // The same low address bytes in 3-byte form reach address 0, which holds the pattern.
    EXPECT_EQ(read(chip, 0x000000, 2, false), cells.dump(0, 2));
    // A 3-byte read streaming past 16 MiB wraps to 0 instead of going on to 0x1000000.
    EXPECT_EQ(read(chip, 0xFFFFFF, 2, false), (Bytes{cells.read(0xFFFFFF), cells.read(0)}));
}

TEST_F(SimSpiNorChip, WriteEnableLatchIsSetByWrenClearedByWrdiAndByCompletion) {
    frame(chip, {0x06});
    EXPECT_EQ(status(chip), SpiNorChip::kStatusWriteEnabled);
    frame(chip, {0x04});
    EXPECT_EQ(status(chip), 0);
    program(chip, 0, {0x00}, false);  // polls until done
    EXPECT_FALSE(chip.write_enabled());
    erase(chip, 0, false);
    EXPECT_FALSE(chip.write_enabled());
    // Chip select must rise right after the opcode.
    frame(chip, {0x06, 0x00});
    EXPECT_FALSE(chip.write_enabled());
}

// Commands a real part refuses: nothing changes in the flash and the fault is logged once.
struct Refused {
    const char* name;
    std::vector<Bytes> frames;
    ViolationKind expected;
};

class SimSpiNorChipRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(SimSpiNorChipRefuses, LeavesFlashUnchanged) {
    ViolationLog log;
    SpiNorChip chip(SpiNorChip::Options{}, log);
    for (const Bytes& tx : GetParam().frames) frame(chip, tx);
    EXPECT_EQ(chip.storage().pages_in_use(), 0u);
    EXPECT_EQ(chip.programs_done() + chip.erases_done(), 0u);
    ASSERT_EQ(log.total(), 1u) << log.summary();
    EXPECT_EQ(log.entries()[0].kind, GetParam().expected) << log.summary();
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimSpiNorChipRefuses,
    ::testing::Values(
        Refused{"ProgramWithoutWren",
                {{0x02, 0, 0, 0, 0x00}},
                ViolationKind::ProgramWithoutWriteEnable},
        Refused{"ProgramAfterWrdi",
                {{0x06}, {0x04}, {0x12, 0, 0, 0, 0, 0x00}},
                ViolationKind::ProgramWithoutWriteEnable},
        Refused{"EraseWithoutWren", {{0xD8, 0x40, 0, 0}}, ViolationKind::EraseWithoutWriteEnable},
        Refused{"EraseWithTrailingByte",
                {{0x06}, {0xD8, 0x40, 0, 0, 0}},
                ViolationKind::BadCommandLength},
        Refused{
            "EraseWithShortAddress", {{0x06}, {0xDC, 0x01, 0, 0}}, ViolationKind::BadCommandLength},
        Refused{"ProgramWithoutData", {{0x06}, {0x02, 0, 0, 0}}, ViolationKind::BadCommandLength},
        Refused{"WrenWithExtraByte", {{0x06, 0x02}}, ViolationKind::BadCommandLength},
        Refused{"UnknownOpcode", {{0x06}, {0x20, 0, 0, 0}}, ViolationKind::UnknownCommand}),
    [](const auto& param_info) { return param_info.param.name; });

TEST_F(SimSpiNorChip, StaysBusyForTheConfiguredPollsAndRefusesCommandsMeanwhile) {
    SpiNorChip::Options options;
    options.program_time.polls = 2;
    SpiNorChip slow(options, log);
    frame(slow, {0x06});
    frame(slow, {0x02, 0, 0, 0, 0x00});
    frame(slow, {0x06});  // too early
    EXPECT_EQ(log.count(ViolationKind::CommandWhileBusy), 1u);
    EXPECT_EQ(status(slow), SpiNorChip::kStatusBusy | SpiNorChip::kStatusWriteEnabled);
    EXPECT_EQ(status(slow), SpiNorChip::kStatusBusy | SpiNorChip::kStatusWriteEnabled);
    EXPECT_EQ(status(slow), 0);
    // A status frame may stream the register: each byte is a poll.
    frame(slow, {0x06});
    frame(slow, {0x02, 0, 0, 1, 0x00});
    EXPECT_EQ(frame(slow, {0x05}, 3), (Bytes{0xFF, 0x03, 0x03, 0x00}));
}

TEST_F(SimSpiNorChip, BusyForAConfiguredTime) {
    using namespace std::chrono_literals;
    SpiNorChip::Options options;
    options.erase_time = {.polls = 0, .duration = 20ms};
    SpiNorChip slow(options, log);
    frame(slow, {0x06});
    frame(slow, {0xD8, 0, 0, 0});
    EXPECT_EQ(status(slow) & SpiNorChip::kStatusBusy, SpiNorChip::kStatusBusy);
    std::this_thread::sleep_for(25ms);
    EXPECT_EQ(status(slow), 0);
}

// With a data sheet's typical times (in simulated time, so the test takes none): busy until
// the time has passed, however often it is polled, and ready from that moment on.
TEST_F(SimSpiNorChip, TypicalTimesKeepTheChipBusyForExactlyThatLong) {
    using namespace std::chrono_literals;
    struct Case {
        Bytes command;
        std::chrono::nanoseconds typical;
    };
    const Case cases[] = {{{0xD8, 0, 0, 0}, SpiNorChip::kTypicalBlockErase},
                          {{0x02, 0, 0, 0, 0x5A}, SpiNorChip::kTypicalPageProgram}};
    for (const double scale : {1.0, 0.01}) {
        SpiNorChip timed(SpiNorChip::Options::typical_times(scale), log);
        sim::SimulatedClock clock;
        for (const Case& c : cases) {
            const auto busy_time =
                std::chrono::duration_cast<std::chrono::nanoseconds>(c.typical * scale);
            frame(timed, {0x06});
            frame(timed, c.command);
            EXPECT_EQ(status(timed) & SpiNorChip::kStatusBusy, SpiNorChip::kStatusBusy);
            wait_for(busy_time - 1ns);
            EXPECT_EQ(status(timed) & SpiNorChip::kStatusBusy, SpiNorChip::kStatusBusy)
                << c.typical.count() << " x " << scale;
            wait_for(1ns);
            EXPECT_EQ(status(timed), 0) << c.typical.count() << " x " << scale;
        }
    }
    EXPECT_TRUE(log.empty()) << log.summary();
}

TEST_F(SimSpiNorChip, StuckBusyNeverCompletes) {
    chip.set_stuck_busy(true);
    frame(chip, {0x06});
    frame(chip, {0x02, 0, 0, 0, 0x00});
    for (int i = 0; i < 100; ++i) ASSERT_EQ(status(chip) & SpiNorChip::kStatusBusy, 1);
    chip.set_stuck_busy(false);
    EXPECT_EQ(status(chip), 0);
}

TEST_F(SimSpiNorChip, CorruptedProgramAndReadBackLastTheirPassesOnly) {
    constexpr std::uint32_t kBlock = 0x20000;
    chip.faults().corrupt_program(kBlock, 2);
    for (int pass = 0; pass < 3; ++pass) {
        erase(chip, kBlock, false);
        program(chip, kBlock, {0x3C}, false);
        EXPECT_EQ(cells.read(kBlock) != 0x3C, pass < 2) << pass;
    }
    chip.faults().corrupt_read(kBlock, 1);
    EXPECT_EQ(read(chip, kBlock, 1, false), Bytes{0x3D});
    EXPECT_EQ(read(chip, kBlock, 1, false), Bytes{0x3C});
}

}  // namespace
}  // namespace tarnvel::sim
