#include "device/sysfs_parse.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tarnvel {
namespace {

template <class T>
struct ParseCase {
    std::string text;
    std::optional<T> expected;
};

template <class T>
std::string describe(const ParseCase<T>& c) {
    return "input \"" + c.text + "\"";
}

TEST(DeviceIdText, ParsesLikeTheKernelWritesItAndRefusesTheRest) {
    const ParseCase<std::uint16_t> cases[] = {
        {"0x0022", 0x22},         {"0022", 0x22},
        {"0x0x22", 0x22},                                  // every leading "0x" goes
        {"0x+22", 0x22},                                   // the sign may follow the prefixes
        {"0x001d", 0x1d},                                  // known to nobody: still a number
        {"0xFFFF", 0xFFFF},                                // largest
        {"0x000000000019", 0x19}, {"0X22", std::nullopt},  // only the lower-case prefix is dropped
        {"0x", std::nullopt},     {"", std::nullopt},
        {"+", std::nullopt},      {"0x10022", std::nullopt},  // beyond 16 bits
        {"10000", std::nullopt},  {"+0x22", std::nullopt},
        {"-22", std::nullopt},    {"++22", std::nullopt},
        {" 22", std::nullopt},    {"22\n", std::nullopt},
        {"22g", std::nullopt},    {"\xff", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_device_id(c.text), c.expected) << describe(c);
}

TEST(FirmwareVersionText, TakesTheNumberBetweenTheFirstTwoR) {
    const ParseCase<std::uint16_t> cases[] = {
        {"4.1r123", 123},
        {"5.0r12r9", 12},
        {"5.0r+12", 12},
        {"5.0r65535", 65535},
        {"5.0r0", 0},
        {"r7", 7},
        {"5.0", std::nullopt},  // no firmware part at all
        {"5.0r", std::nullopt},
        {"5.0r-1", std::nullopt},
        {"5.0r70000", std::nullopt},
        {"5.0r65536", std::nullopt},
        {"5.0rx", std::nullopt},
        {"5.0r++1", std::nullopt},
        {"5.0r 1", std::nullopt},
        {"5.0r1 ", std::nullopt},
        {"5.0rr1", std::nullopt},
        {"\xff.0r1", std::nullopt},  // not UTF-8 anywhere in the value
    };
    for (const auto& c : cases) EXPECT_EQ(parse_fw_version(c.text), c.expected) << describe(c);
}

TEST(SoftwareIdText, IsASigned64BitDecimal) {
    const ParseCase<std::int64_t> cases[] = {
        {"-5", -5},
        {"+5", 5},
        {"0", 0},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"5a", std::nullopt},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"+-5", std::nullopt},
        {"-+5", std::nullopt},
        {" 5", std::nullopt},
        {"0x5", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_software_id(c.text), c.expected) << describe(c);
}

struct HwCase {
    std::string version;
    BoardKind kind;
    std::optional<std::pair<std::uint8_t, std::uint8_t>> expected;
};

TEST(HardwareVersionText, MapsThroughTheKindsTableAndFailsOnlyOnBadUtf8) {
    using P = std::pair<std::uint8_t, std::uint8_t>;
    const HwCase cases[] = {
        {"5.0r123", BoardKind::Qx410Bp, P{5, 0}},
        {"5.0r123", BoardKind::Qx410M2, P{1, 0}},  // the pair, not the text, names the archive
        {"5.0r123", BoardKind::Qx410, P{5, 0}},
        {"4.1r1", BoardKind::Qx410, P{4, 1}},
        {"2.0r7", BoardKind::Qx410, P{0, 0}},   // unknown to the kind: listed as 0.0
        {"5.0", BoardKind::Qx410Bp, P{5, 0}},   // no firmware part: the hardware part still maps
        {"5.00r1", BoardKind::Qx410, P{0, 0}},  // exactly three bytes
        {"r5", BoardKind::Qx410, P{0, 0}},
        {"5.0r1", BoardKind::Unsupported, P{0, 0}},
        {"1.1r2", BoardKind::Qx630, P{1, 1}},
        {"5.0r\xff", BoardKind::Qx410, std::nullopt},
        {"\xc3\xa9r1", BoardKind::Qx410, P{0, 0}},  // UTF-8, just not a version
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_hw_version(c.version, c.kind), c.expected)
            << "version \"" << c.version << "\" kind " << static_cast<int>(c.kind);
    }
}

}  // namespace
}  // namespace tarnvel
