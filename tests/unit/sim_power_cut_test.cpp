// A power cut on simulated boards: what a chip leaves of an operation it was carrying out,
// how the supply counts register accesses over its boards and fails them from the cut on, and
// the whole round of a cut update in a child process, its flash saved at the cut, then a
// power-on of the saved boards.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <ostream>
#include <vector>

#include "flash/board_flash.hpp"
#include "flash/programming.hpp"
#include "sim/firmware/firmware_archive_writer.hpp"
#include "sim/in_process.hpp"
#include "sim/model/firmware_load.hpp"
#include "sim/model/flash_file.hpp"
#include "sim/model/operation_in_progress.hpp"
#include "sim/model/power_supply.hpp"
#include "sim/model/register_file.hpp"
#include "sim/model/sim_board.hpp"

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

struct CampaignCase {
    const char* name;
    BoardKind kind;
    double cut_at;  // fraction of the update's register accesses; above 1: no cut
    LoadSource started;
};

void PrintTo(const CampaignCase& c, std::ostream* os) {
    *os << c.name;
}

class PowerCutCampaign : public ::testing::TestWithParam<CampaignCase> {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("tarnvel-power-cut." + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // The library's update of `image` on `board`, powered by `supply`.
    Status update(SimBoard& board, PowerSupply& supply, const FirmwareImage& image) {
        auto powered = supply.connect(board);
        InProcessNode node(*powered);
        BoardDevice device;
        device.kind = board.kind();
        device.fd = node.release();
        auto attached = attach_flash(device);
        SilentProgress silent;
        Status done = attached ? program_firmware(device, image, silent) : attached;
        device.close();
        return done;
    }

    std::filesystem::path dir_;
};

// The way a campaign uses the in-process cut: the update runs in a child process whose power
// goes at access N; the cut saves the boards' flash and kills the child at once. Then the
// saved boards are powered on and looked at.
TEST_P(PowerCutCampaign, SavedBoardsStartWhatTheCutLeft) {
    const CampaignCase& c = GetParam();
    const FirmwareImage image{.version = 8, .data = firmware_bytes(0x30000, 3)};
    std::uint64_t total = 0;
    {
        auto board = make_board_model(c.kind);
        PowerSupply counter;
        ASSERT_TRUE(update(*board, counter, image));
        total = counter.accesses();
    }
    const auto n = static_cast<std::uint64_t>(static_cast<double>(total) * c.cut_at) + 1;

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto board = make_board_model(c.kind);
        PowerSupply supply({.access = n, .seed = n}, [&] {
            (void)save_board_flash(*board, dir_);
            ::kill(::getpid(), SIGKILL);
        });
        const bool updated = update(*board, supply, image).has_value();
        ::_exit(updated && save_board_flash(*board, dir_) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (c.cut_at > 1) {
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    } else {
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    }

    auto board = make_board_model(c.kind);
    ASSERT_TRUE(restore_board_flash(*board, dir_));
    const FirmwareSetup setup{.shipped_version = "1.0r7", .factory_version = "1.0r0", .images = {}};
    const std::vector<KnownImage> archives{{image.data, image.version}};
    EXPECT_EQ(load_firmware(board->firmware_flash(), c.kind, setup, "1.0r7", archives).source,
              c.started);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, PowerCutCampaign,
    ::testing::Values(
        CampaignCase{"SerialBeforeTheFirstErase", BoardKind::Qx630, 0.0, LoadSource::Shipped},
        CampaignCase{"SerialHalfWritten", BoardKind::Qx630, 0.5, LoadSource::Factory},
        CampaignCase{"SerialNoCut", BoardKind::Qx630, 2.0, LoadSource::Image},
        CampaignCase{"ParallelHalfWritten", BoardKind::Qx400, 0.5, LoadSource::Factory},
        CampaignCase{"ParallelNoCut", BoardKind::Qx400, 2.0, LoadSource::Image}),
    [](const ::testing::TestParamInfo<CampaignCase>& param) {
        return std::string(param.param.name);
    });

}  // namespace
}  // namespace tarnvel::sim
