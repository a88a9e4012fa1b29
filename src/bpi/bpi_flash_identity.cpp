// How the parallel flash describes itself: its CFI query.

#include <array>
#include <vector>

#include "bpi/bpi_flash.hpp"
#include "bpi/cfi.hpp"

namespace tarnvel {
namespace {

// Any write of 0xF0 ends the query and returns the part to read mode.
constexpr std::uint16_t kReadMode = 0xF0;

}  // namespace

Result<FlashGeometry> BpiFlash::read_geometry() {
    BpiBus& bpi = bus();
    if (auto asked = bpi.write_word(kCfiQueryAddress, kCfiQueryCommand); !asked) {
        return std::unexpected(asked.error());
    }
    std::array<std::uint16_t, kCfiWords> words{};
    if (auto read = bpi.read_words(kCfiFirstWord, words); !read) {
        return std::unexpected(read.error());
    }
    // Only a part with boot sectors has its primary vendor table read, for its boot flag.
    std::vector<std::uint16_t> primary;
    if (const auto table = cfi_primary_table(words)) {
        primary.resize(table->words);
        if (auto read = bpi.read_words(table->address, primary); !read) {
            return std::unexpected(read.error());
        }
    }
    if (auto back = bpi.write_word(0, kReadMode); !back) return std::unexpected(back.error());
    if (auto released = bpi.set_control(0, 0, 0); !released) {
        return std::unexpected(released.error());
    }
    return parse_cfi_query(words, primary);
}

}  // namespace tarnvel
