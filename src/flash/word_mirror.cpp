#include "flash/word_mirror.hpp"

#include <array>

namespace tarnvel {
namespace {

constexpr std::array<std::uint8_t, 256> kBitReversed = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        unsigned reversed = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if ((value & (1u << bit)) != 0) reversed |= 0x80u >> bit;
        }
        table[value] = static_cast<std::uint8_t>(reversed);
    }
    return table;
}();

}  // namespace

void mirror_words(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& mirrored) {
    mirrored.resize(bytes.size());
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        mirrored[i] = kBitReversed[bytes[i + 1]];
        mirrored[i + 1] = kBitReversed[bytes[i]];
    }
}

}  // namespace tarnvel
