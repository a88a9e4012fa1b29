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

}  // namespace
}  // namespace tarnvel
