// A board with an archive, up to the update question: the image's version and how it compares
// with the board's firmware. With standard input closed the question is answered no, so the
// flash is never touched.

#include "harness.hpp"

namespace tarnvel::testing {
namespace {

struct ReportCase {
    int image_version;
    const char* remark;
};

class ArchiveReport : public MachineTestWithParam<ReportCase> {};

TEST_P(ArchiveReport, ShowsTheImageVersionThenAsks) {
    add_hardware(BoardKind::Qx480Spi, pci_board("0x0022", "2.0r41"));
    add(pci_board("0x0010", "1.0r1"));
    ASSERT_TRUE(firmware().add_board_image(BoardKind::Qx480Spi, 2, 0, GetParam().image_version,
                                           sim::firmware_bytes(4096)));

    expect_output(run_flash(),
                  device_line("/dev/tarnvel0", 5, 2, 0) + current_firmware_line(41) +
                      "\tFirmware available: " + std::to_string(GetParam().image_version) + ", \n" +
                      GetParam().remark +
                      "\tUpdate firmware? (y/N): " + unsupported_line("/dev/tarnvel1"));
    // Declined: the board still reports its old firmware.
    EXPECT_EQ(testbed().attribute(0, "version"), "2.0r41");
}

INSTANTIATE_TEST_SUITE_P(
    Versions, ArchiveReport,
    ::testing::Values(ReportCase{42, ""}, ReportCase{41, "\tNo firmware upgrade required\n"},
                      ReportCase{40, "\tNo firmware upgrade required - firmware is newer\n"},
                      ReportCase{65536, ""}));  // compared in 32 bits: newer than any u16

}  // namespace
}  // namespace tarnvel::testing
