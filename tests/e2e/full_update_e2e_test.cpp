// A whole update of one board of every programmable kind, as an operator runs it: the image is
// found in the archive named for the board, the operator types "y" to the update and to the
// reboot ahead of time, the image lands at the kind's base address of the right chip (bit-
// mirrored on the 16-bit parallel flash), and the board reports its new firmware after the
// reboot. Archive and entry names are spelled out here, not taken from the program's tables.

#include <fmt/format.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "harness.hpp"

namespace tarnvel::testing {
namespace {

struct KindCase {
    BoardKind kind;
    const char* device;  // a PCI device ID of the kind
    const char* hw;      // a hardware text of the kind's table
    unsigned major, minor;
    const char* archive;       // the archive such a board looks for
    const char* entry_prefix;  // the start of its images' names
    std::size_t image_size;    // one block, cut short; sizes that end inside a page or buffer
};

void PrintTo(const KindCase& c, std::ostream* os) {
    *os << "kind " << static_cast<unsigned>(c.kind);
}

constexpr unsigned kBoardFirmware = 27;
constexpr int kImageVersion = 28;

class FullUpdate : public MachineTestWithParam<KindCase> {};

TEST_P(FullUpdate, WritesTheImageAndRebootsIntoIt) {
    const KindCase& c = GetParam();
    add_hardware(c.kind, pci_board(c.device, fmt::format("{}r{}", c.hw, kBoardFirmware)));
    const std::vector<std::uint8_t> image =
        sim::firmware_bytes(c.image_size, static_cast<std::uint32_t>(c.kind));
    ASSERT_TRUE(firmware().add_archive(
        c.archive,
        {{.name = fmt::format("{}3_{}.bin", c.entry_prefix, kImageVersion), .data = image}}));

    expect_output(run_flash("y\ny\n"),
                  board_up_to_question("/dev/tarnvel0", static_cast<unsigned>(c.kind), c.major,
                                       c.minor, kBoardFirmware, kImageVersion) +
                      progress_lines(1) + update_done_line() + reboot_question() +
                      rebooting_line() + firmware_after_reboot_line(kImageVersion));

    sim::SimBoard& board = hardware(0);
    EXPECT_TRUE(flash_holds_image(board, image));
    EXPECT_TRUE(no_violations(board));
    EXPECT_EQ(testbed().reboot_written(0), "1");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FullUpdate,
    ::testing::Values(
        KindCase{BoardKind::Qx410, "0x0019", "4.1", 4, 1, "qx410v4_1.zip", "qx410ml_", 2049},
        KindCase{BoardKind::Qx410M2, "0x0023", "5.0", 1, 0, "qx410m2v1_0.zip", "qx410ml_", 1500},
        KindCase{BoardKind::Qx410Bp, "0x0024", "5.0", 5, 0, "qx410v5_0_bp.zip", "qx410ml_", 1024},
        KindCase{BoardKind::Qx480Bpi, "0x001a", "1.0", 1, 0, "qx480v1_0.zip", "qx480_", 3000},
        KindCase{BoardKind::Qx480Spi, "0x0022", "2.0", 2, 0, "qx480v2_0.zip", "qx480_", 2500},
        KindCase{BoardKind::Qx400, "0x001b", "1.1", 1, 1, "qx400v1_1.zip", "qx400_", 1538},
        KindCase{BoardKind::Qx610Bpi, "0x001c", "3.0", 3, 0, "qx610v3_0.zip", "qx610_", 2050},
        KindCase{BoardKind::Qx630, "0x001f", "1.0", 1, 0, "qx630v1_0.zip", "qx630_", 3333},
        KindCase{BoardKind::Qx610Spi, "0x0025", "4.0", 4, 0, "qx610v4_0.zip", "qx610_", 2304}),
    [](const ::testing::TestParamInfo<KindCase>& param) {
        return "Kind" + std::to_string(static_cast<unsigned>(param.param.kind));
    });

// The QX1800 loads its firmware itself: whatever lies in the firmware directory and whatever
// the operator typed ahead, it gets its dynamic-loading line and nothing else, and the run goes
// on with the next board.
TEST_F(MachineTest, Qx1800IsNeverProgrammed) {
    add_hardware(BoardKind::Qx1800, pci_board("0x0020", "3.0r4"));
    add(pci_board("0x0010", "1.0r1"));
    ASSERT_TRUE(firmware().add_archive(
        "qx1800v3_0.zip", {{.name = "qx1800_1_5.bin", .data = sim::firmware_bytes(1024)}}));

    expect_output(run_flash("y\ny\n"), device_line("/dev/tarnvel0", 10, 3, 0) +
                                           current_firmware_line(4) + dynamic_loading_line() +
                                           unsupported_line("/dev/tarnvel1"));
    EXPECT_TRUE(flash_untouched(hardware(0)));
    EXPECT_EQ(testbed().reboot_written(0), "");
}

}  // namespace
}  // namespace tarnvel::testing
