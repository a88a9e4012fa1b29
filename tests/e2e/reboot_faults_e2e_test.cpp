// A reboot that fails after a good update: the "reboot" attribute refuses the write, or the
// board reports a "version" the program can't read afterwards. The operator is told to power
// cycle by hand, and the run ends there: the next board is not even announced.

#include <cerrno>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "harness.hpp"

namespace tarnvel::testing {
namespace {

struct RebootCase {
    const char* name;
    sim::RebootState reboot;
    std::string version_after_reboot;
    std::string error_text;                     // as the "Error rebooting board" line shows it
    std::optional<std::string> reboot_written;  // what "reboot" holds afterwards
};

void PrintTo(const RebootCase& c, std::ostream* os) {
    *os << c.name;
}

class FailedReboot : public MachineTestWithParam<RebootCase> {};

TEST_P(FailedReboot, EndsTheRunAfterAGoodUpdate) {
    const RebootCase& c = GetParam();
    const std::vector<std::uint8_t> image = sim::firmware_bytes(1024, 3);
    sim::BoardConfig config = pci_board("0x0022", "2.0r41");
    config.reboot = c.reboot;
    // Started, the image makes the board report this.
    config.images.push_back({image, 0, c.version_after_reboot});
    add_hardware(BoardKind::Qx480Spi, std::move(config));
    add(pci_board("0x0010", "1.0r1"));
    ASSERT_TRUE(firmware().add_board_image(BoardKind::Qx480Spi, 2, 0, 42, image));

    expect_output(run_flash("y\ny\n"), board_up_to_question("/dev/tarnvel0", 5, 2, 0, 41, 42) +
                                           progress_lines(1) + update_done_line() +
                                           reboot_question() + rebooting_line() +
                                           reboot_error_line(c.error_text));
    EXPECT_TRUE(flash_holds_image(hardware(0), image));
    EXPECT_EQ(testbed().reboot_written(0), c.reboot_written);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FailedReboot,
    ::testing::Values(
        // A refused write shows the C library's text alone, without the error number.
        RebootCase{"ReadOnlyAttribute", sim::RebootState::PermissionDenied, "2.0r42",
                   std::strerror(EACCES), ""},
        RebootCase{"NoAttribute", sim::RebootState::Missing, "2.0r42", std::strerror(ENOENT),
                   std::nullopt},
        RebootCase{"AttributeIsADirectory", sim::RebootState::IsDirectory, "2.0r42",
                   std::strerror(EISDIR), std::nullopt},
        // The board restarted but reports no firmware, or a text that isn't UTF-8.
        RebootCase{"NoFirmwareAfterReboot", sim::RebootState::Accepts, "2.0", "wrong fw version",
                   "1"},
        RebootCase{"VersionNotUtf8AfterReboot", sim::RebootState::Accepts, "2.0r42\xff",
                   "wrong hw version", "1"}),
    [](const ::testing::TestParamInfo<RebootCase>& param) {
        return std::string(param.param.name);
    });

}  // namespace
}  // namespace tarnvel::testing
