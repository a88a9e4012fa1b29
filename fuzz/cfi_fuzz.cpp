// A parallel part's CFI query (the input: one byte per word from word address 0x10, 0 past its
// end and in bits 8-15) through cfi_primary_table, parse_cfi_query and the fit check of every
// parallel board kind. The primary vendor table asked for must lie within the query's space;
// and a part the check lets the update write must not contradict that by its own bytes, read
// here independently: the AMD command set, a write buffer of 512 bytes or more, regions that
// cover the part, and 128 KiB blocks wherever the update erases, with the regions in the order
// the boot flag gives (or in both orders when it gives none).

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bpi/cfi.hpp"
#include "device/board_table.hpp"
#include "fuzz_check.hpp"
#include "programming/flash_fit.hpp"

namespace {

using tarnvel::fuzz::check;

constexpr std::uint32_t kFirst = 0x10;
constexpr std::uint64_t kSector = 0x20000;

struct Query {
    std::span<const std::uint8_t> data;

    std::uint32_t at(std::uint32_t word) const {
        return word >= kFirst && word - kFirst < data.size() ? data[word - kFirst] : 0;
    }
    std::uint32_t half(std::uint32_t word) const { return at(word) | at(word + 1) << 8; }
    std::vector<std::uint16_t> words(std::uint32_t word, std::uint32_t count) const {
        std::vector<std::uint16_t> words(count);
        for (std::uint32_t i = 0; i < count; ++i)
            words[i] = static_cast<std::uint16_t>(at(word + i));
        return words;
    }
};

struct Region {
    std::uint64_t block;
    std::uint64_t count;
};

// Whether every region that the update's sectors touch has 128 KiB blocks, the regions laid
// from 0 in this order.
bool sectors_fit(const std::vector<Region>& regions, std::uint64_t begin, std::uint64_t end) {
    std::uint64_t start = 0;
    for (const Region& r : regions) {
        const std::uint64_t stop = start + r.block * r.count;
        if (start < end && begin < stop && r.block != kSector) return false;
        start = stop;
    }
    return true;
}

void check_accepted(const Query& q, tarnvel::BoardKind kind, std::uint64_t length) {
    check(q.half(0x13) == 0x0002, "a write accepted without the AMD command set");
    check(q.half(0x2A) >= 9 && q.half(0x2A) <= 16, "a write accepted with a small write buffer");
    const std::uint64_t size = std::uint64_t{1} << q.at(0x27);
    std::vector<Region> regions;
    std::uint64_t covered = 0;
    for (std::uint32_t r = 0; r < q.at(0x2C); ++r) {
        const std::uint32_t units = q.half(0x2F + 4 * r);
        regions.push_back({units == 0 ? 128u : units * 256ull, q.half(0x2D + 4 * r) + 1ull});
        covered += regions.back().block * regions.back().count;
    }
    check(covered == size, "a write accepted from regions that do not cover the part");
    const std::uint64_t base = tarnvel::board_info(kind).base_address;
    const std::uint64_t begin = base / kSector * kSector;
    const std::uint64_t end = (base + length + kSector - 1) / kSector * kSector;
    check(end <= size, "a write accepted past the part's end");

    // The boot flag of a primary table "PRI" of version 1.1 or later.
    const std::uint32_t p = q.half(0x15);
    std::optional<std::uint32_t> flag;
    if (q.at(p) == 'P' && q.at(p + 1) == 'R' && q.at(p + 2) == 'I' && q.at(p + 3) == '1' &&
        q.at(p + 4) >= '1' && q.at(p + 4) <= '9' && p + 16 <= 0x100) {
        flag = q.at(p + 15);
    }
    std::vector<Region> reversed(regions.rbegin(), regions.rend());
    const bool top = flag == 3u;
    const bool known = flag && (*flag <= 5);
    if (!known || !top) check(sectors_fit(regions, begin, end), "128 KiB sectors not where listed");
    if (!known || top) check(sectors_fit(reversed, begin, end), "128 KiB sectors not at the top");
}

constexpr std::array<tarnvel::BoardKind, 3> kParallelKinds{
    tarnvel::BoardKind::Qx480Bpi, tarnvel::BoardKind::Qx400, tarnvel::BoardKind::Qx610Bpi};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Query q{{data, size}};
    const std::vector<std::uint16_t> words = q.words(kFirst, tarnvel::kCfiWords);
    std::vector<std::uint16_t> primary;
    if (const auto table = tarnvel::cfi_primary_table(words)) {
        check(table->address >= kFirst && table->address + table->words <= tarnvel::kCfiSpaceWords,
              "a primary table asked for outside the query's space");
        primary = q.words(table->address, table->words);
    }
    auto geometry = tarnvel::parse_cfi_query(words, primary);
    if (!geometry) return 0;
    for (tarnvel::BoardKind kind : kParallelKinds) {
        for (std::uint64_t length :
             {std::uint64_t{4096}, std::uint64_t{0xFC0000}, std::uint64_t{0xFC0001}}) {
            if (tarnvel::check_flash_fits(*geometry, kind, length, tarnvel::FlashUse::Write)) {
                check_accepted(q, kind, length);
            }
        }
    }
    return 0;
}
