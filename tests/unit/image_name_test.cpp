#include "firmware/image_name.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace tarnvel {
namespace {

using K = BoardKind;
constexpr std::nullopt_t kNone = std::nullopt;

struct NameCase {
    BoardKind kind;
    std::string name;
    std::optional<std::int32_t> version;
};

class ImageNameSearch : public ::testing::TestWithParam<NameCase> {};

TEST_P(ImageNameSearch, CapturesVersionOrRejects) {
    const auto& c = GetParam();
    EXPECT_EQ(image_name_pattern(c.kind).find_version(c.name), c.version) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, ImageNameSearch,
    ::testing::Values(
        NameCase{K::Qx480Bpi, "qx480_12_345.bin", 345},
        NameCase{K::Qx480Spi, "qx480_1_0042.bin", 42},
        NameCase{K::Qx480Bpi, "images/qx480_1_2.bin", 2},
        NameCase{K::Qx480Bpi, "qx480_1_2.bin.old", 2},
        // "." is any one character: it takes the underscore, or a digit given back by the group.
        NameCase{K::Qx480Bpi, "qx480_1_2_bin", 2}, NameCase{K::Qx480Bpi, "qx480_1_23bin", 2},
        NameCase{K::Qx480Bpi,
                 "qx480_1_2\xC3\xA9"
                 "bin",
                 2},
        NameCase{K::Qx480Bpi, "qx480_1_2\nbin", kNone},
        NameCase{K::Qx480Bpi, "QX480_1_2.bin", kNone},
        NameCase{K::Qx480Bpi, "qx480_x_2.bin", kNone}, NameCase{K::Qx480Bpi, "qx480_12.bin", kNone},
        NameCase{K::Qx480Bpi, "qx480_1_2bin", kNone},
        // The leftmost place where the whole pattern fits decides.
        NameCase{K::Qx480Bpi, "qx480_qx480_3_4.bin", 4},
        NameCase{K::Qx480Bpi, "qx480_1_5.bin/qx480_1_6.bin", 5},
        // Versions are signed 32-bit; leading zeros do not count against that.
        NameCase{K::Qx480Bpi, "qx480_1_00000000002147483647.bin", 2147483647},
        NameCase{K::Qx480Bpi, "qx480_1_2147483648.bin", kNone},
        NameCase{K::Qx480Bpi, "qx480_1_99999999999999999999.bin", kNone},
        // Each kind has its family; all QX410 variants share "qx410ml_".
        NameCase{K::Qx410M2, "qx410ml_3_17.bin", 17},
        NameCase{K::Qx410M2, "qx410m2_3_17.bin", kNone}, NameCase{K::Qx410Bp, "qx410ml_5_8.bin", 8},
        NameCase{K::Qx400, "qx480_1_9.bin", kNone}, NameCase{K::Qx610Spi, "qx610_2_11.bin", 11},
        NameCase{K::Qx630, "qx610_1_1.bin", kNone},
        NameCase{K::Unsupported, "qx480_1_2.bin", kNone}, NameCase{K::Qx1800, "_1_2.bin", kNone}));

// The pattern's parts with random digits and a random stand-in for ".", then up to two random
// edits: a part dropped, doubled, replaced or preceded by stray text.
std::string near_miss_name(std::mt19937& random) {
    auto pick = [&](const auto& choices) { return choices[random() % choices.size()]; };
    const std::array<const char*, 6> digits = {"0", "7", "42", "007", "2147483647", "2147483648"};
    const std::array<const char*, 8> stray = {"qx480_", "qx48", "_", "1", "23", ".", "b", "in"};
    const std::array<const char*, 6> any = {".", "_", "x", "b", "9", ""};
    std::vector<std::string> parts = {"qx480_", pick(digits), "_", pick(digits), pick(any), "bin"};
    for (auto edits = random() % 3; edits > 0 && !parts.empty(); --edits) {
        const auto at = parts.begin() + static_cast<std::ptrdiff_t>(random() % parts.size());
        switch (random() % 4) {
            case 0: parts.erase(at); break;
            case 1: parts.insert(at, *at); break;
            case 2: *at = pick(stray); break;
            default: parts.insert(at, pick(stray));
        }
    }
    std::string name;
    for (const auto& part : parts) name += part;
    return name;
}

// A regular-expression search of the same pattern is the reference, backtracking included.
TEST(ImageNameSearch, AgreesWithRegexSearchOnNearMisses) {
    const std::regex pattern("qx480_\\d+_(\\d+).bin");
    const ImageNamePattern matcher = image_name_pattern(K::Qx480Bpi);
    std::mt19937 random(12345);
    int matches = 0;
    for (int n = 0; n < 5000; ++n) {
        const std::string name = near_miss_name(random);
        std::optional<std::int32_t> expected;
        if (std::smatch m; std::regex_search(name, m, pattern)) {
            ++matches;
            std::string digits = m[1].str();
            digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
            if (digits.size() <= 10 && std::stoll(digits) <= 2147483647) {
                expected = static_cast<std::int32_t>(std::stoll(digits));
            }
        }
        ASSERT_EQ(matcher.find_version(name), expected) << '"' << name << '"';
    }
    EXPECT_GT(matches, 1000);
    EXPECT_LT(matches, 4000);  // both sides of the pattern are reached
}

}  // namespace
}  // namespace tarnvel
