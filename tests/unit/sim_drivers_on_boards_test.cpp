// The program's own flash drivers, built by attach_flash as for a real board, running on the
// simulated boards: every controller class and flash type erases, writes and reads back
// through its real engine or bus, and the chips check what the drivers did.
#include <sys/prctl.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "programming/board_flash.hpp"
#include "programming/programming.hpp"
#include "programming/readback.hpp"
#include "sim/in_process.hpp"
#include "sim/model/register_faults.hpp"
#include "sim/model/sim_board.hpp"
#include "simulated_board.hpp"

namespace tarnvel::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Counts the blocks the programming run writes again.
struct RetryCount final : ProgrammingObserver {
    void pass_started(const BlockPass&) override {}
    void retrying(const BlockPass&) override { ++retries; }
    unsigned retries = 0;
};

// The drivers here run outside program_firmware, which holds the fine timer slack: without
// this the sleep before each status poll's spin often wakes up to 50 µs after the poll's time.
class FineTimerSlack : public ::testing::Environment {
  public:
    void SetUp() override { ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }
};
[[maybe_unused]] const auto* const kFineTimerSlack =
    ::testing::AddGlobalTestEnvironment(new FineTimerSlack);

// Every kind whose board carries a flash for the program; the QX1800 is never updated, but
// its controller class and driver are built like the others'.
const BoardKind kWithFlash[] = {BoardKind::Qx410,    BoardKind::Qx480Bpi, BoardKind::Qx480Spi,
                                BoardKind::Qx400,    BoardKind::Qx610Bpi, BoardKind::Qx630,
                                BoardKind::Qx610Spi, BoardKind::Qx1800};
const BoardKind kUpdated[] = {BoardKind::Qx410,   BoardKind::Qx480Bpi, BoardKind::Qx480Spi,
                              BoardKind::Qx400,   BoardKind::Qx610Bpi, BoardKind::Qx630,
                              BoardKind::Qx610Spi};

std::string kind_name(const ::testing::TestParamInfo<BoardKind>& info) {
    return std::string(board_info(info.param).model_name) + "_kind" +
           std::to_string(static_cast<int>(info.param));
}

struct DataSet {
    const char* name;
    std::uint32_t offset;      // from the kind's base address
    std::uint32_t spi_length;  // any length for the serial flash
    std::uint32_t bpi_length;  // whole words for the parallel flash
};

constexpr std::uint32_t kSpiBlock = 0x10000;
constexpr std::uint32_t kBpiBlock = 0x20000;

const DataSet kDataSets[] = {
    {"WholeBlock", 0, kSpiBlock, kBpiBlock},
    {"BlockAndShortTail", 0, kSpiBlock + 1, kBpiBlock + 2},
    {"UnalignedLength", 0, 777, 1002},
    {"SecondBlock", 0, 3, 2},
};

class SimDriversOnBoards : public ::testing::TestWithParam<BoardKind> {};

TEST_P(SimDriversOnBoards, EraseWriteReadBackLandsExactlyInTheChip) {
    SimulatedBoard board(GetParam());
    ASSERT_TRUE(attach_flash(board.device));
    FlashDevice& flash = *board.device.flash;
    const std::uint32_t block = flash.erase_size();
    unsigned seed = 0;
    std::uint32_t address = board.base();
    for (const DataSet& set : kDataSets) {
        SCOPED_TRACE(set.name);
        const std::uint32_t length = board.is_spi() ? set.spi_length : set.bpi_length;
        const Bytes data = pattern(length, ++seed);
        const std::uint32_t blocks = (length + block - 1) / block;
        ASSERT_TRUE(flash.erase(address, length));
        EXPECT_TRUE(board.flash().is_filled(address, blocks * block, 0xFF));
        ASSERT_TRUE(flash.write(address, length, data));
        auto read_back = flash.read(address, length);
        ASSERT_TRUE(read_back);
        EXPECT_EQ(*read_back, data);
        EXPECT_EQ(board.flash().first_mismatch(address, data), std::nullopt);
        // The rest of the last block stays erased.
        EXPECT_TRUE(board.flash().is_filled(address + length, blocks * block - length, 0xFF));
        address += blocks * block;
    }
    // Nothing outside the blocks the data sets used has changed.
    EXPECT_EQ(board.flash().first_change_outside(board.base(), address), std::nullopt);
    EXPECT_TRUE(board.violations().empty()) << board.violations().summary();
    if (board.is_spi()) {
        EXPECT_FALSE(board.model->spi_chip()->write_enabled());
        EXPECT_FALSE(board.model->spi_chip()->busy());
    } else {
        EXPECT_TRUE(board.model->parallel_chip()->in_read_mode());
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SimDriversOnBoards, ::testing::ValuesIn(kWithFlash), kind_name);

class SimProgrammingOnBoards : public ::testing::TestWithParam<BoardKind> {};

TEST_P(SimProgrammingOnBoards, RetriesAFaultyBlockUntilItVerifies) {
    SimulatedBoard board(GetParam());
    ASSERT_TRUE(attach_flash(board.device));
    const std::uint32_t block = board.device.flash->erase_size();
    FirmwareImage image{.version = 1, .data = pattern(block + 2, 99)};
    // The second (short) block reads back wrong twice, then right.
    ChipFaults& faults =
        board.is_spi() ? board.model->spi_chip()->faults() : board.model->parallel_chip()->faults();
    faults.corrupt_read(board.base() + block, 2);
    RetryCount progress;
    ASSERT_TRUE(program_firmware(board.device, image, progress));
    EXPECT_EQ(faults.read_passes_left(), 0u);
    EXPECT_EQ(progress.retries, 2u);
    // The parallel flash holds the image with every 16-bit word mirrored.
    if (board.is_spi()) {
        EXPECT_EQ(board.flash().first_mismatch(board.base(), image.data), std::nullopt);
    }
    EXPECT_EQ(board.flash().first_change_outside(board.base(), board.base() + 2 * block),
              std::nullopt);
    EXPECT_TRUE(board.violations().empty()) << board.violations().summary();
}

// A register access that fails at any point of the first block: the run says the flash was
// changed whenever it was (never "untouched" over a changed chip), and not changed when the
// failure came before the first erase command went out.
TEST_P(SimProgrammingOnBoards, SaysWhetherAFailedRunChangedTheFlash) {
    constexpr std::uint64_t kFailingAccesses = 60;
    const SimulatedClock clock;  // the erase waits cost nothing
    for (std::uint64_t failing = 1; failing <= kFailingAccesses; ++failing) {
        const auto model = make_board_model(GetParam(), {});
        RegisterFaults faults(*model, {});
        InProcessNode node(faults);
        BoardDevice device;
        device.kind = GetParam();
        device.fd = node.release();
        ASSERT_TRUE(attach_flash(device));
        faults.set_fault({.access = faults.access_count() + failing});
        SilentProgress silent;
        ProgrammingReport report;
        const FirmwareImage image{.version = 1, .data = pattern(4096, 5)};
        ASSERT_FALSE(program_firmware(device, image, silent, &report)) << "access " << failing;
        // Claiming a change that did not happen is safe; the reverse is not.
        EXPECT_TRUE(report.flash_changed || !model->firmware_flash()->changed()) << failing;
        EXPECT_TRUE(failing > 1 || !report.flash_changed);
        device.close();
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SimProgrammingOnBoards, ::testing::ValuesIn(kUpdated), kind_name);

// A run that writes only what differs, after a whole update and after one byte of a block was
// changed: the chip is erased only where its content differs from the image (the parallel
// flash's words compared as they are written, mirrored).
TEST_P(SimProgrammingOnBoards, DifferingRunErasesOnlyTheBlocksThatDiffer) {
    SimulatedBoard board(GetParam());
    ASSERT_TRUE(attach_flash(board.device));
    const std::uint32_t block = board.device.flash->erase_size();
    const FirmwareImage image{.version = 1, .data = pattern(2 * block + 6, 3)};
    SilentProgress silent;
    ASSERT_TRUE(program_firmware(board.device, image, silent));
    const std::uint64_t erases = board.erases_done();

    ProgrammingReport report;
    ASSERT_TRUE(program_firmware(board.device, image, silent, &report, ProgrammingMode::Differing));
    EXPECT_EQ(board.erases_done(), erases);
    EXPECT_EQ(report.blocks_unchanged, 3u);
    EXPECT_EQ(report.blocks_written, 0u);
    EXPECT_FALSE(report.flash_changed);

    const std::uint32_t changed = board.base() + block + 5;
    board.flash().write(changed, ~board.flash().read(changed));
    ASSERT_TRUE(program_firmware(board.device, image, silent, &report, ProgrammingMode::Differing));
    EXPECT_EQ(board.erases_done(), erases + 1);
    EXPECT_EQ(report.blocks_unchanged, 2u);
    EXPECT_EQ(report.blocks_written, 1u);
    auto comparison = compare_firmware(board.device, image.data, silent);
    ASSERT_TRUE(comparison);
    EXPECT_TRUE(comparison->matches());
    EXPECT_TRUE(board.violations().empty()) << board.violations().summary();
}

class SimReadbackOnBoards : public ::testing::TestWithParam<BoardKind> {};

// What programming wrote reads back in image byte order (the parallel flash's mirrored words
// turned back, an odd length included), a changed byte is found at its image offset with its
// block counted, and reading changes nothing on the chip.
TEST_P(SimReadbackOnBoards, ReadsTheImageRegionBackInImageOrder) {
    SimulatedBoard board(GetParam());
    ASSERT_TRUE(attach_flash(board.device));
    const std::uint32_t block = board.device.flash->erase_size();
    const FirmwareImage image{.version = 1, .data = pattern(block + 6, 7)};
    SilentProgress silent;
    ASSERT_TRUE(program_firmware(board.device, image, silent));

    auto same = compare_firmware(board.device, image.data, silent);
    ASSERT_TRUE(same) << error_text(same.error());
    EXPECT_TRUE(same->matches());
    EXPECT_EQ(same->block_count, 2u);

    const std::uint32_t length = block + 3;  // odd: ends inside a parallel-flash word
    Bytes region;
    ASSERT_TRUE(read_firmware_region(board.device, length, silent,
                                     [&](std::span<const std::uint8_t> bytes) -> Status {
                                         region.insert(region.end(), bytes.begin(), bytes.end());
                                         return {};
                                     }));
    EXPECT_EQ(region, Bytes(image.data.begin(), image.data.begin() + length));

    // The image's byte block + 5, wherever the chip keeps it.
    const std::uint32_t changed = board.is_spi() ? block + 5 : block + 4;
    board.flash().write(board.base() + changed, ~board.flash().read(board.base() + changed));
    auto differs = compare_firmware(board.device, image.data, silent);
    ASSERT_TRUE(differs);
    EXPECT_EQ(differs->first_difference, block + 5);
    EXPECT_EQ(differs->differing_blocks, 1u);
    EXPECT_TRUE(board.violations().empty()) << board.violations().summary();
}

INSTANTIATE_TEST_SUITE_P(Kinds, SimReadbackOnBoards, ::testing::ValuesIn(kUpdated), kind_name);

TEST(SimReadbackOnBoards, RefusesWhatNoImageCouldOccupy) {
    SimulatedBoard board(BoardKind::Qx410);
    ASSERT_TRUE(attach_flash(board.device));
    SilentProgress silent;
    const auto keep = [](std::span<const std::uint8_t>) -> Status { return {}; };
    EXPECT_FALSE(read_firmware_region(board.device, 0, silent, keep));
    // 3-byte addresses: 12 MiB from the QX410's base at 4 MiB to the end of 16 MiB.
    EXPECT_TRUE(read_firmware_region(board.device, 16, silent, keep));
    EXPECT_FALSE(read_firmware_region(board.device, 0xC00001, silent, keep));
    EXPECT_FALSE(compare_firmware(board.device, Bytes(), silent));
    EXPECT_FALSE(board.flash().changed());
}

// On chips that are busy for their data sheets' typical times, the update waits each program
// and erase out and never commands a busy chip. In simulated time: the chips keep the
// program's clock, and the test takes no real time.
TEST_P(SimProgrammingOnBoards, WaitsOutChipsWithTypicalTimes) {
    SimulatedBoard board(GetParam(), BoardOptions::typical_chip_times());
    ASSERT_TRUE(attach_flash(board.device));
    const std::uint32_t block = board.device.flash->erase_size();
    const FirmwareImage image{.version = 1, .data = pattern(block + 1000, 5)};
    SimulatedClock clock;
    SilentProgress silent;
    ASSERT_TRUE(program_firmware(board.device, image, silent));
    EXPECT_TRUE(board.violations().empty()) << board.violations().summary();
    if (board.is_spi()) {
        EXPECT_EQ(board.flash().first_mismatch(board.base(), image.data), std::nullopt);
    }
    // Two erases and one program per page or buffer, each waited out in full.
    const auto busy =
        board.is_spi() ? 2 * SpiNorChip::kTypicalBlockErase +
                             ((block + 1000 + 255) / 256) * SpiNorChip::kTypicalPageProgram
                       : 2 * ParallelNorChip::kTypicalSectorErase +
                             ((block + 1000 + 511) / 512) * ParallelNorChip::kTypicalBufferProgram;
    EXPECT_GE(clock.elapsed(), busy);
}

TEST(SimDriversOnBoards, ProgramFaultThatOutlastsTheRetriesFailsTheUpdate) {
    SimulatedBoard board(BoardKind::Qx630);
    ASSERT_TRUE(attach_flash(board.device));
    board.model->spi_chip()->faults().corrupt_program(board.base(), 6);
    SilentProgress silent;
    auto result = program_firmware(board.device, FirmwareImage{.data = pattern(100, 1)}, silent);
    ASSERT_FALSE(result);
    EXPECT_EQ(error_text(result.error()), "can't write to flash");
}

TEST(SimDriversOnBoards, StuckFlashTimesOut) {
    for (BoardKind kind : {BoardKind::Qx480Spi, BoardKind::Qx400}) {
        SimulatedBoard board(kind);
        ASSERT_TRUE(attach_flash(board.device));
        if (board.is_spi()) {
            board.model->spi_chip()->set_stuck_busy(true);
            auto written = board.device.flash->write(board.base(), 4, Bytes(4));
            ASSERT_FALSE(written);
            EXPECT_EQ(error_text(written.error()), "flash write timeout");
        } else {
            // The parallel flash's limit is seconds per sector erase: a stuck buffer program
            // is the quick one to wait for.
            board.model->parallel_chip()->set_stuck_busy(true);
            auto written = board.device.flash->write(board.base(), 4, Bytes(4));
            EXPECT_FALSE(written);
        }
    }
}

// Driver faults made by hand through the program's own buses: each must leave its trace.
struct SpiFault {
    const char* name;
    std::function<void(SpiBus&, std::uint8_t cs, std::uint32_t address)> send;
    ViolationKind expected;
    bool refused;  // the chip carried out nothing; else only the faulty command was refused
};

Bytes command(std::uint8_t opcode, std::uint32_t address) {
    return {opcode, static_cast<std::uint8_t>(address >> 24),
            static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address)};
}

void frame(SpiBus& bus, std::uint8_t cs, const Bytes& tx) {
    ASSERT_TRUE(bus.transfer(cs, tx, {}, static_cast<std::uint32_t>(tx.size() * 8)));
}

const SpiFault kSpiFaults[] = {
    {"ProgramWithoutWriteEnable",
     [](SpiBus& bus, std::uint8_t cs, std::uint32_t a) {
         Bytes tx = command(0x12, a);
         tx.push_back(0x00);
         frame(bus, cs, tx);
     },
     ViolationKind::ProgramWithoutWriteEnable, true},
    {"NextCommandWithoutPolling",
     [](SpiBus& bus, std::uint8_t cs, std::uint32_t a) {
         frame(bus, cs, {0x06});
         frame(bus, cs, command(0xDC, a));
         frame(bus, cs, {0x06});
     },
     ViolationKind::CommandWhileBusy, false},
};

// The QX410's engine drives a single chip select: there is none to get wrong there.
const SpiFault kChipSelectFaults[] = {
    {"WrongChipSelect",
     [](SpiBus& bus, std::uint8_t cs, std::uint32_t) {
         frame(bus, static_cast<std::uint8_t>(cs == 1 ? 2 : 1), {0x06});
     },
     ViolationKind::NoChipAtChipSelect, true},
};

class SimSpiDriverFaults : public ::testing::TestWithParam<std::tuple<BoardKind, SpiFault>> {};

TEST_P(SimSpiDriverFaults, AreCaught) {
    const auto& [kind, fault] = GetParam();
    SimulatedBoard board(kind);
    ASSERT_TRUE(attach_flash(board.device));
    SpiBus* bus = board.device.controller->spi_bus();
    ASSERT_NE(bus, nullptr);
    fault.send(*bus, board_info(kind).chip_select, 0x1000000);
    SpiNorChip& chip = *board.model->spi_chip();
    if (fault.refused) {
        EXPECT_EQ(chip.programs_done() + chip.erases_done(), 0u);
        EXPECT_FALSE(chip.write_enabled());
    }
    EXPECT_EQ(board.violations().count(fault.expected), 1u) << board.violations().summary();
}

std::string spi_fault_name(
    const ::testing::TestParamInfo<std::tuple<BoardKind, SpiFault>>& param_info) {
    return std::string(board_info(std::get<0>(param_info.param)).model_name) +
           std::to_string(static_cast<int>(std::get<0>(param_info.param))) + "_" +
           std::get<1>(param_info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Commands, SimSpiDriverFaults,
                         ::testing::Combine(::testing::Values(BoardKind::Qx410, BoardKind::Qx480Spi,
                                                              BoardKind::Qx630, BoardKind::Qx610Spi,
                                                              BoardKind::Qx1800),
                                            ::testing::ValuesIn(kSpiFaults)),
                         spi_fault_name);
INSTANTIATE_TEST_SUITE_P(ChipSelects, SimSpiDriverFaults,
                         ::testing::Combine(::testing::Values(BoardKind::Qx480Spi, BoardKind::Qx630,
                                                              BoardKind::Qx610Spi,
                                                              BoardKind::Qx1800),
                                            ::testing::ValuesIn(kChipSelectFaults)),
                         spi_fault_name);

struct BpiFault {
    const char* name;
    std::function<void(BpiBus&)> send;
    ViolationKind expected;
};

constexpr std::uint32_t kSector = 0x810000;

void cycle(BpiBus& bus, std::uint32_t address, std::uint16_t value) {
    ASSERT_TRUE(bus.write_word(address, value));
}

const BpiFault kBpiFaults[] = {
    {"SkippedSecondUnlock",
     [](BpiBus& bus) {
         cycle(bus, 0x555, 0xAA);
         cycle(bus, 0x555, 0x80);
     },
     ViolationKind::BadUnlockCycle},
    {"WordCountTooHigh",
     [](BpiBus& bus) {
         cycle(bus, 0x555, 0xAA);
         cycle(bus, 0x2AA, 0x55);
         cycle(bus, kSector, 0x25);
         cycle(bus, kSector, 3);
         const std::uint16_t words[] = {1, 2};
         ASSERT_TRUE(bus.write_words(kSector + 0x100, words));
         cycle(bus, kSector, 0x29);
     },
     ViolationKind::BufferWordCountMismatch},
};

class SimBpiDriverFaults : public ::testing::TestWithParam<std::tuple<BoardKind, BpiFault>> {};

TEST_P(SimBpiDriverFaults, AreCaughtAndTheBusResetRecovers) {
    const auto& [kind, fault] = GetParam();
    SimulatedBoard board(kind);
    ASSERT_TRUE(attach_flash(board.device));
    BpiBus* bus = board.device.controller->bpi_bus();
    ASSERT_NE(bus, nullptr);
    fault.send(*bus);
    EXPECT_EQ(board.model->parallel_chip()->programs_done(), 0u);
    EXPECT_EQ(board.violations().count(fault.expected), 1u) << board.violations().summary();
    // The bus reset leaves any state, the write-to-buffer abort included.
    ASSERT_TRUE(bus->reset());
    EXPECT_TRUE(board.model->parallel_chip()->in_read_mode());
    const Bytes data = pattern(512, 7);
    ASSERT_TRUE(board.device.flash->erase(board.base(), 512));
    ASSERT_TRUE(board.device.flash->write(board.base(), 512, data));
    EXPECT_EQ(board.flash().first_mismatch(board.base(), data), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Table, SimBpiDriverFaults,
                         ::testing::Combine(::testing::Values(BoardKind::Qx480Bpi, BoardKind::Qx400,
                                                              BoardKind::Qx610Bpi),
                                            ::testing::ValuesIn(kBpiFaults)),
                         [](const auto& param_info) {
                             return std::string(
                                        board_info(std::get<0>(param_info.param)).model_name) +
                                    std::to_string(
                                        static_cast<int>(std::get<0>(param_info.param))) +
                                    "_" + std::get<1>(param_info.param).name;
                         });

}  // namespace
}  // namespace tarnvel::sim
