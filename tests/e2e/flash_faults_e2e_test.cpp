// Flash that fails while the image is written: a block whose read-back differs is erased,
// written and read again up to five more times, each retry announced on a line of its own; a
// sixth mismatch, or a register access the driver refuses, ends the whole run with the error
// banner, leaving the flash as it stands and the next board untouched.

#include <fmt/format.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "harness.hpp"

namespace tarnvel::testing {
namespace {

struct BoardSetup {
    BoardKind kind;
    const char* device;
    const char* hw;
    unsigned major, minor;
    std::size_t image_size;
};

constexpr unsigned kBoardFirmware = 41;
constexpr int kImageVersion = 42;

std::string up_to_question(const BoardSetup& board) {
    return board_up_to_question("/dev/tarnvel0", static_cast<unsigned>(board.kind), board.major,
                                board.minor, kBoardFirmware, kImageVersion);
}

sim::ChipFaults& chip_faults(sim::SimBoard& board) {
    return parallel_flash(board.kind()) ? board.parallel_chip()->faults()
                                        : board.spi_chip()->faults();
}

std::uint64_t erases_done(sim::SimBoard& board) {
    return parallel_flash(board.kind()) ? board.parallel_chip()->erases_done()
                                        : board.spi_chip()->erases_done();
}

// A board with an archive holding a newer image, followed by a board the run reaches only
// if this one does not end it.
template <class Base>
class FlashFaultFixture : public MachineFixture<Base> {
  protected:
    std::vector<std::uint8_t> add_board(const BoardSetup& board,
                                        std::optional<sim::RegisterFault> fault = std::nullopt) {
        this->add_hardware(board.kind,
                           pci_board(board.device, fmt::format("{}r{}", board.hw, kBoardFirmware)),
                           fault);
        this->add(pci_board("0x0010", "1.0r1"));
        std::vector<std::uint8_t> image = sim::firmware_bytes(board.image_size, 7);
        EXPECT_TRUE(this->firmware().add_board_image(
            board.kind, static_cast<std::uint8_t>(board.major),
            static_cast<std::uint8_t>(board.minor), kImageVersion, image));
        return image;
    }
};

enum class Corrupted : std::uint8_t { Program, ReadBack };

struct MismatchCase {
    const char* name;
    BoardSetup board;
    Corrupted what;
    std::uint32_t offset;  // of the bad byte in the image
    std::uint32_t passes;  // how many passes in a row it is bad
};

void PrintTo(const MismatchCase& c, std::ostream* os) {
    *os << c.name;
}

class VerifyMismatch : public FlashFaultFixture<::testing::TestWithParam<MismatchCase>> {};

TEST_P(VerifyMismatch, IsRetriedFiveTimesAtMost) {
    const MismatchCase& c = GetParam();
    const auto image = add_board(c.board);
    const std::uint32_t bad_address = firmware_base_address(c.board.kind) + c.offset;
    if (c.what == Corrupted::Program) {
        chip_faults(hardware(0)).corrupt_program(bad_address, c.passes);
    } else {
        chip_faults(hardware(0)).corrupt_read(bad_address, c.passes);
    }
    const bool succeeds = c.passes <= 5;
    const unsigned retries = succeeds ? c.passes : 5;

    std::string expected = up_to_question(c.board) + progress_lines(1, {retries});
    if (succeeds) {
        expected += update_done_line() + reboot_question() + manual_power_cycle_line() +
                    unsupported_line("/dev/tarnvel1");
    } else {
        expected += update_error_line("can't write to flash");
    }
    expect_output(run_flash("y\nn\n"), expected);

    sim::SimBoard& board = hardware(0);
    EXPECT_TRUE(no_violations(board));
    // Every retry is a whole pass: the block is erased again before it is written again.
    EXPECT_EQ(erases_done(board), retries + 1);
    EXPECT_EQ(chip_faults(board).program_passes_left() + chip_faults(board).read_passes_left(), 0u);
    if (succeeds || c.what == Corrupted::ReadBack) {
        // Only the read-back lied: the flash holds the image all the same.
        EXPECT_TRUE(flash_holds_image(board, image));
    } else {
        // Left as the last pass wrote it: nothing is rolled back.
        EXPECT_EQ(firmware_storage(board).first_mismatch(firmware_base_address(c.board.kind),
                                                         flash_form(c.board.kind, image)),
                  bad_address);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, VerifyMismatch,
    ::testing::Values(MismatchCase{"OnceOnSerialFlash",
                                   {BoardKind::Qx630, "0x001f", "1.0", 1, 0, 2000},
                                   Corrupted::Program,
                                   0,
                                   1},
                      MismatchCase{"OnceOnParallelFlash",
                                   {BoardKind::Qx400, "0x001b", "1.1", 1, 1, 2000},
                                   Corrupted::ReadBack,
                                   1001,
                                   1},
                      // The last byte of a block cut short; a sixth pass that matches is a success.
                      MismatchCase{"FiveTimesThenGood",
                                   {BoardKind::Qx410, "0x0019", "4.1", 4, 1, 600},
                                   Corrupted::ReadBack,
                                   599,
                                   5},
                      MismatchCase{"SixTimesOnSerialFlash",
                                   {BoardKind::Qx480Spi, "0x0022", "2.0", 2, 0, 1500},
                                   Corrupted::Program,
                                   300,
                                   6},
                      MismatchCase{"SixTimesOnParallelFlash",
                                   {BoardKind::Qx610Bpi, "0x001c", "3.0", 3, 0, 1500},
                                   Corrupted::ReadBack,
                                   2,
                                   6}),
    [](const ::testing::TestParamInfo<MismatchCase>& param) {
        return std::string(param.param.name);
    });

struct RegisterFailureCase {
    const char* name;
    BoardSetup board;
    // The register access that fails first, counted from the board's first; 0: the first
    // access after the chip has carried out the erase, while the driver waits for it.
    std::uint64_t access;
    int error;
};

void PrintTo(const RegisterFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class RegisterFailureDuringErase
    : public FlashFaultFixture<::testing::TestWithParam<RegisterFailureCase>> {};

TEST_P(RegisterFailureDuringErase, EndsTheRunWithTheErrorBanner) {
    const RegisterFailureCase& c = GetParam();
    // Once the board fails an access it fails every one after it, as a board that dropped off
    // the bus does: any access the program made after the first failure would count.
    add_board(c.board,
              sim::RegisterFault{.access = c.access, .error = c.error, .persistent = true});
    ASSERT_NE(this->faults(0), nullptr);
    sim::RegisterFaults& faults = *this->faults(0);
    auto erase_done_at = std::make_shared<std::atomic<std::uint64_t>>(0);
    if (c.access == 0) {
        hardware(0).set_flash_changed_observer([&faults, erase_done_at, error = c.error] {
            erase_done_at->store(faults.access_count());
            faults.set_fault(
                {.access = faults.access_count() + 1, .error = error, .persistent = true});
        });
    }

    expect_output(run_flash("y\ny\n"), up_to_question(c.board) + progress_line(0) +
                                           update_error_line(os_error_text(c.error)));

    sim::SimBoard& board = hardware(0);
    EXPECT_TRUE(no_violations(board));
    EXPECT_EQ(faults.failed_count(), 1u) << "accesses after the failed one";
    if (c.access != 0) {
        EXPECT_EQ(faults.access_count(), c.access);
        EXPECT_TRUE(flash_untouched(board));
    } else {
        EXPECT_EQ(faults.access_count(), erase_done_at->load() + 1);
        // The block is erased and nothing is written into it.
        const std::uint32_t base = firmware_base_address(c.board.kind);
        const std::uint32_t block = erase_block_size(c.board.kind);
        EXPECT_TRUE(firmware_storage(board).is_filled(base, block, 0xFF));
        EXPECT_EQ(firmware_storage(board).first_change_outside(base, base + block), std::nullopt);
    }
    EXPECT_EQ(testbed().reboot_written(0), "");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RegisterFailureDuringErase,
    ::testing::Values(
        // A serial-flash board's first register access is the erase's write enable.
        RegisterFailureCase{
            "FirstAccessOnSerialFlash", {BoardKind::Qx630, "0x001f", "1.0", 1, 0, 1024}, 1, EIO},
        // The parallel-flash bus reset takes 13 register writes; the erase comes next.
        RegisterFailureCase{"FirstEraseAccessOnParallelFlash",
                            {BoardKind::Qx400, "0x001b", "1.1", 1, 1, 1024},
                            14,
                            EBUSY},
        RegisterFailureCase{"WaitForTheEraseOnSerialFlash",
                            {BoardKind::Qx410, "0x0019", "4.1", 4, 1, 1024},
                            0,
                            ETIMEDOUT},
        RegisterFailureCase{"WaitForTheEraseOnParallelFlash",
                            {BoardKind::Qx480Bpi, "0x001a", "1.0", 1, 0, 1024},
                            0,
                            ENODEV},
        // The driver's number comes through whole, also one the C library has no name for.
        RegisterFailureCase{
            "NumberLinuxLeavesUnassigned", {BoardKind::Qx630, "0x001f", "1.0", 1, 0, 1024}, 1, 41},
        RegisterFailureCase{
            "NumberOutsideTheKindTable", {BoardKind::Qx630, "0x001f", "1.0", 1, 0, 1024}, 1, 75},
        RegisterFailureCase{
            "NumberPastLinuxsLast", {BoardKind::Qx630, "0x001f", "1.0", 1, 0, 1024}, 1, 200},
        RegisterFailureCase{
            "KernelInternalNumber", {BoardKind::Qx630, "0x001f", "1.0", 1, 0, 1024}, 1, 512}),
    [](const ::testing::TestParamInfo<RegisterFailureCase>& param) {
        return std::string(param.param.name);
    });

}  // namespace
}  // namespace tarnvel::testing
