#pragma once
// Which archive entry is a board's firmware image, and which version its name carries.
//
// An image name holds "{prefix}{digits}_{digits}{any character}bin" anywhere in it, for example
// "images/qx480_1_0042.bin" or "qx480_1_2.bin.old"; the second run of digits is the version.
// The prefix is fixed per board kind ("qx410ml_" for all three QX410 variants, "qx480_", ...).

#include <cstdint>
#include <optional>
#include <string_view>

#include "device/board_table.hpp"

namespace tarnvel {

class ImageNamePattern {
  public:
    explicit constexpr ImageNamePattern(std::string_view prefix) : prefix_(prefix) {}

    // The version of the leftmost match in `name`, searched like the regular expression
    // "{prefix}\d+_(\d+).bin": case-sensitive, "\d" an ASCII digit, "+" greedy with
    // backtracking, "." any one character (a UTF-8 sequence counts as one) but a line feed.
    // Nothing when there is no match, or when the captured number does not fit a signed
    // 32-bit version (such an entry is not taken for an image).
    std::optional<std::int32_t> find_version(std::string_view name) const;

    std::string_view prefix() const { return prefix_; }

  private:
    std::string_view prefix_;
};

// The pattern of the kind's images. Kinds that are never programmed (0 and 10) get a pattern
// that matches nothing.
ImageNamePattern image_name_pattern(BoardKind kind);

}  // namespace tarnvel
