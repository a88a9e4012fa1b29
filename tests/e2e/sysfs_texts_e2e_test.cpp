// The sysfs texts that decide whether a device of the subsystem becomes a board: the PCI
// parent's "device", the board's "version" and "software_id". A device whose text does not
// parse is left out without a word; the run goes on with the next one, here always an
// unsupported control device, so every case also shows that the run did not stop.

#include "harness.hpp"

namespace tarnvel::testing {
namespace {

enum class Outcome { Listed, Unsupported, Skipped };

struct TextCase {
    const char* name;
    std::optional<std::string> device;
    std::optional<std::string> version;
    std::optional<std::string> software_id;
    Outcome outcome;
    unsigned fw = 0;  // when listed
};

struct CaseName {
    std::string operator()(const ::testing::TestParamInfo<TextCase>& param) const {
        return param.param.name;
    }
};

class SysfsText : public MachineTestWithParam<TextCase> {};

TEST_P(SysfsText, DecidesWhetherTheDeviceIsListed) {
    const TextCase& c = GetParam();
    add(pci_board(c.device, c.version, c.software_id));
    add(pci_board("0x0010", "1.0r1"));  // the control device

    std::string expected;
    switch (c.outcome) {
        case Outcome::Listed:
            expected = board_without_archive("/dev/tarnvel0", 5, 2, 0, c.fw);
            break;
        case Outcome::Unsupported: expected = unsupported_line("/dev/tarnvel0"); break;
        case Outcome::Skipped: break;
    }
    expected += unsupported_line("/dev/tarnvel1");
    expect_output(run_flash(), expected);
}

// A QX480 with serial flash (0x22), hardware 2.0, unless a case says otherwise.
TextCase device(const char* name, std::optional<std::string> text, Outcome outcome) {
    return {name, std::move(text), "2.0r7", "1", outcome, 7};
}
TextCase version(const char* name, std::optional<std::string> text, Outcome outcome,
                 unsigned fw = 0) {
    return {name, "0x0022", std::move(text), "1", outcome, fw};
}
TextCase software_id(const char* name, std::optional<std::string> text, Outcome outcome) {
    return {name, "0x0022", "2.0r7", std::move(text), outcome, 7};
}

INSTANTIATE_TEST_SUITE_P(Device, SysfsText,
                         ::testing::Values(device("Prefixed", "0x0022", Outcome::Listed),
                                           device("Bare", "0022", Outcome::Listed),
                                           device("PrefixTwice", "0x0x22", Outcome::Listed),
                                           device("PlusSign", "0x+22", Outcome::Listed),
                                           device("UpperCaseDigits", "0x002A",
                                                  Outcome::Unsupported),
                                           device("UpperCasePrefix", "0X22", Outcome::Skipped),
                                           device("PrefixOnly", "0x", Outcome::Skipped),
                                           device("Empty", "", Outcome::Skipped),
                                           device("Above16Bits", "0x10022", Outcome::Skipped),
                                           device("NotHex", "0x22g", Outcome::Skipped),
                                           device("NotUtf8", "0x22\xff", Outcome::Skipped),
                                           device("Absent", std::nullopt, Outcome::Skipped),
                                           device("UnknownId", "0x001d", Outcome::Unsupported)),
                         CaseName{});

INSTANTIATE_TEST_SUITE_P(Version, SysfsText,
                         ::testing::Values(version("Plain", "2.0r5", Outcome::Listed, 5),
                                           version("Zero", "2.0r0", Outcome::Listed, 0),
                                           version("Largest", "2.0r65535", Outcome::Listed, 65535),
                                           version("SecondRCutsOff", "2.0r12r9", Outcome::Listed,
                                                   12),
                                           version("PlusSign", "2.0r+12", Outcome::Listed, 12),
                                           version("LeadingZeros", "2.0r007", Outcome::Listed, 7),
                                           version("NoR", "2.0", Outcome::Skipped),
                                           version("NothingAfterR", "2.0r", Outcome::Skipped),
                                           version("Negative", "2.0r-1", Outcome::Skipped),
                                           version("Above16Bits", "2.0r65536", Outcome::Skipped),
                                           version("WayAbove", "2.0r70000", Outcome::Skipped),
                                           version("Letter", "2.0rx", Outcome::Skipped),
                                           version("Blank", "2.0r 5", Outcome::Skipped),
                                           version("NotUtf8", "2.0r5\xff", Outcome::Skipped),
                                           version("Absent", std::nullopt, Outcome::Skipped)),
                         CaseName{});

INSTANTIATE_TEST_SUITE_P(
    SoftwareId, SysfsText,
    ::testing::Values(software_id("Negative", "-5", Outcome::Listed),
                      software_id("PlusSign", "+5", Outcome::Listed),
                      software_id("Largest", "9223372036854775807", Outcome::Listed),
                      software_id("Smallest", "-9223372036854775808", Outcome::Listed),
                      software_id("Empty", "", Outcome::Skipped),
                      software_id("LonePlus", "+", Outcome::Skipped),
                      software_id("LoneMinus", "-", Outcome::Skipped),
                      software_id("TrailingLetter", "5a", Outcome::Skipped),
                      software_id("Hex", "0x5", Outcome::Skipped),
                      software_id("OneAboveLargest", "9223372036854775808", Outcome::Skipped),
                      software_id("OneBelowSmallest", "-9223372036854775809", Outcome::Skipped),
                      software_id("NotUtf8", "5\xff", Outcome::Skipped),
                      software_id("Absent", std::nullopt, Outcome::Skipped)),
    CaseName{});

// An unsupported device is listed only when its own texts parse too.
TEST_F(MachineTest, UnsupportedDeviceStillNeedsAFirmwareNumber) {
    add(pci_board("0x0010", "1.0"));
    add(pci_board("0x0010", "1.0r1", "x"));
    add(pci_board("0x0010", "anything r3"));
    expect_output(run_flash(), unsupported_line("/dev/tarnvel2"));
}

}  // namespace
}  // namespace tarnvel::testing
