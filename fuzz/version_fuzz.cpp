// The board attribute "version" ("4.1r123": hardware part, "r", firmware version) through
// parse_hw_version for every board kind and through parse_fw_version, each held against a
// reading of the format written out here from the board table.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "device/sysfs_parse.hpp"
#include "fuzz_check.hpp"
#include "utf8_oracle.hpp"

namespace {

using tarnvel::BoardKind;
using tarnvel::fuzz::check;
using HwPair = std::pair<std::uint8_t, std::uint8_t>;

struct HwRow {
    unsigned kind;
    std::string_view text;
    HwPair pair;
};

// The hardware versions each kind accepts. Kind 2 names "5.0" as (1, 0): the pair, not the
// text, names its archive.
constexpr HwRow kHwRows[] = {
    {1, "3.0", {3, 0}},  {1, "4.0", {4, 0}}, {1, "4.1", {4, 1}}, {1, "5.0", {5, 0}},
    {1, "6.0", {6, 0}},  {2, "5.0", {1, 0}}, {3, "5.0", {5, 0}}, {4, "1.0", {1, 0}},
    {5, "2.0", {2, 0}},  {5, "3.0", {3, 0}}, {6, "1.1", {1, 1}}, {7, "3.0", {3, 0}},
    {8, "1.0", {1, 0}},  {8, "1.1", {1, 1}}, {8, "2.0", {2, 0}}, {9, "4.0", {4, 0}},
    {10, "3.0", {3, 0}},
};

HwPair expected_hw(unsigned kind, std::string_view version) {
    const std::string_view hw_part = version.substr(0, version.find('r'));
    for (const auto& row : kHwRows) {
        if (row.kind == kind && row.text == hw_part) return row.pair;
    }
    return {0, 0};
}

// The piece between the first and the second "r" (or the end): one optional "+", then ASCII
// digits only, at most 65535.
std::optional<std::uint16_t> expected_fw(std::string_view version) {
    const auto first_r = version.find('r');
    if (first_r == std::string_view::npos) return std::nullopt;
    std::string_view piece = version.substr(first_r + 1);
    piece = piece.substr(0, piece.find('r'));
    if (piece.starts_with('+')) piece.remove_prefix(1);
    if (piece.empty()) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : piece) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 0xFFFF) return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view version(reinterpret_cast<const char*>(data), size);
    const bool utf8 = tarnvel::fuzz::is_well_formed_utf8(version);

    for (unsigned kind = 0; kind < tarnvel::kBoardKindCount; ++kind) {
        const auto hw = tarnvel::parse_hw_version(version, static_cast<BoardKind>(kind));
        if (!utf8) {
            check(!hw, "a hardware version is read from text that is not UTF-8");
            continue;
        }
        check(hw.has_value(), "a UTF-8 version text fails as a hardware version");
        check(*hw == expected_hw(kind, version), "hardware pair differs from the kind's row");
    }

    const auto fw = tarnvel::parse_fw_version(version);
    check(fw == (utf8 ? expected_fw(version) : std::nullopt),
          "firmware version differs from the digits after the first r");
    if (fw) {
        // What was read must read back the same, with or without a second "r" after it.
        const std::string plain = "1.0r" + std::to_string(*fw);
        check(tarnvel::parse_fw_version(plain) == fw, "firmware version does not read back");
        check(tarnvel::parse_fw_version(plain + "r9") == fw,
              "a second r changes the firmware version");
    }
    return 0;
}
