#include "bin/tarnvel-flash/firmware_report.hpp"

#include <gtest/gtest.h>

#include <string>

#include "stdout_capture.hpp"

namespace tarnvel {
namespace {

struct ReportCase {
    std::int32_t image_version;
    std::uint16_t fw_version;
    const char* verdict;
};
class FirmwareReport : public ::testing::TestWithParam<ReportCase> {};

TEST_P(FirmwareReport, PrintsVersionAndVerdict) {
    const auto& c = GetParam();
    BoardIdentity board;
    board.kind = BoardKind::Qx480Spi;
    board.fw_version = c.fw_version;
    testing::StdoutCapture out;
    report_firmware_image(c.image_version, decide(board, c.image_version, nullptr, HostNow{}).versions);
    EXPECT_EQ(out.text(),
              "\tFirmware available: " + std::to_string(c.image_version) + ", \n" + c.verdict);
}

constexpr const char* kSame = "\tNo firmware upgrade required\n";
constexpr const char* kBoardNewer = "\tNo firmware upgrade required - firmware is newer\n";
INSTANTIATE_TEST_SUITE_P(Verdicts, FirmwareReport,
                         ::testing::Values(ReportCase{42, 42, kSame},
                                           ReportCase{41, 42, kBoardNewer}, ReportCase{43, 42, ""},
                                           // 32-bit comparison: 65536 is not 0.
                                           ReportCase{65536, 65535, ""},
                                           ReportCase{0, 65535, kBoardNewer}));

}  // namespace
}  // namespace tarnvel
