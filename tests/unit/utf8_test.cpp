#include "base/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarnvel {
namespace {

TEST(Utf8, AcceptsEveryWellFormedLength) {
    const std::string valid[] = {"",
                                 "abc",
                                 "\xc3\xa9",
                                 "\xe2\x82\xac",
                                 "\xf0\x9f\x98\x80",
                                 "\xf4\x8f\xbf\xbf",
                                 std::string("a\0b", 3)};
    for (const auto& text : valid) EXPECT_TRUE(is_valid_utf8(text)) << testing::PrintToString(text);
}

TEST(Utf8, RefusesMalformedOverlongSurrogateAndOutOfRange) {
    const std::string invalid[] = {
        "\x80",              // continuation without a lead
        "\xc3",              // truncated
        "\xe2\x82",          // truncated
        "\xc3\x28",          // lead without continuation
        "\xc0\xaf",          // overlong '/'
        "\xe0\x80\xaf",      // overlong '/'
        "\xf0\x80\x80\xaf",  // overlong '/'
        "\xed\xa0\x80",      // surrogate U+D800
        "\xf4\x90\x80\x80",  // U+110000
        "\xf8\x88\x80\x80\x80",
        "\xff",
        "ok\xfe",
    };
    for (const auto& text : invalid) {
        EXPECT_FALSE(is_valid_utf8(text)) << testing::PrintToString(text);
        EXPECT_FALSE(decode_utf8(text).has_value()) << testing::PrintToString(text);
    }
}

// What reaches a terminal: no control character of either set, no byte that is not text; all
// else as it is.
TEST(Utf8, PrintableEscapesControlsAndStrayBytesOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"2.0r41 \xc3\xa9 /dev/tarnvel0", "2.0r41 \xc3\xa9 /dev/tarnvel0"},
        {"\x1b]0;x\x07\x1b[2J", "\\x1b]0;x\\x07\\x1b[2J"},
        {"a\nb\rc\td", "a\\x0ab\\x0dc\\x09d"},
        {std::string("\0\x7f", 2), "\\x00\\x7f"},
        {"\xc2\x80\xc2\x9b\xc2\x9f\xc2\xa0", "\\u0080\\u009b\\u009f\xc2\xa0"},
        {"ok\x9b\xff", "ok\\x9b\\xff"},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(printable(text), shown) << testing::PrintToString(text);
    }
}

}  // namespace
}  // namespace tarnvel
