// A serial part's SFDP space (the input, from address 0; 0xFF past its end, as a part answers)
// through read_sfdp_geometry and the fit check of every serial board kind. Every read must lie
// within the SFDP header, the parameter headers or a table one of them declares; and a part the
// check lets the update write must not contradict that by its own bytes, read here
// independently: the latest basic table's density, its 0xD8 erase types on a 3-byte board, the
// 4-byte table's erase type for 0xDC on a 4-byte one, and its page size.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "device/board_table.hpp"
#include "fuzz_check.hpp"
#include "programming/flash_fit.hpp"
#include "spi/sfdp.hpp"

namespace {

using tarnvel::fuzz::check;
using Bytes = std::vector<std::uint8_t>;

struct Range {
    std::uint64_t begin;
    std::uint64_t end;
};

struct Header {
    std::uint16_t id;
    std::uint8_t minor;
    std::uint8_t major;
    std::uint32_t dwords;
    std::uint32_t pointer;
};

class Space {
  public:
    explicit Space(std::span<const std::uint8_t> data) : data_(data) {}

    std::uint8_t at(std::uint64_t address) const {
        return address < data_.size() ? data_[address] : 0xFF;
    }
    std::uint32_t dword(std::uint64_t address) const {
        return static_cast<std::uint32_t>(at(address)) | std::uint32_t{at(address + 1)} << 8 |
               std::uint32_t{at(address + 2)} << 16 | std::uint32_t{at(address + 3)} << 24;
    }
    bool is_sfdp_1() const {
        return at(0) == 'S' && at(1) == 'F' && at(2) == 'D' && at(3) == 'P' && at(5) == 1;
    }
    std::vector<Header> headers() const {
        std::vector<Header> headers;
        for (std::uint32_t i = 0; i <= at(6); ++i) {
            const std::uint64_t h = 8 + 8 * std::uint64_t{i};
            headers.push_back({static_cast<std::uint16_t>(at(h + 7) << 8 | at(h)), at(h + 1),
                               at(h + 2), at(h + 3), dword(h + 4) & 0xFFFFFF});
        }
        return headers;
    }
    // What a reader may ask for: the header, the parameter headers, and declared tables.
    std::vector<Range> readable() const {
        std::vector<Range> ranges{{0, 8}};
        if (!is_sfdp_1()) return ranges;
        ranges.push_back({8, 8 + 8 * (std::uint64_t{at(6)} + 1)});
        for (const Header& h : headers()) ranges.push_back({h.pointer, h.pointer + 4 * h.dwords});
        return ranges;
    }
    // The table a JESD216 reader takes: the highest minor revision of major revision 1, the
    // longest of equal ones, holding `min_dwords` within the 24-bit space.
    std::optional<Header> latest(std::uint16_t id, std::uint32_t min_dwords) const {
        std::optional<Header> latest;
        for (const Header& h : headers()) {
            if (h.id != id || h.major != 1 || h.dwords < min_dwords ||
                h.pointer + 4 * std::uint64_t{h.dwords} > (1u << 24)) {
                continue;
            }
            if (!latest || h.minor > latest->minor ||
                (h.minor == latest->minor && h.dwords > latest->dwords)) {
                latest = h;
            }
        }
        return latest;
    }

  private:
    std::span<const std::uint8_t> data_;
};

std::optional<std::uint64_t> density(std::uint32_t d) {
    if ((d & 0x80000000u) == 0) return (std::uint64_t{d} + 1) / 8;
    const std::uint32_t exponent = d & 0x7FFFFFFF;
    if (exponent < 3 || exponent > 63) return std::nullopt;
    return std::uint64_t{1} << (exponent - 3);
}

// The part's own bytes against an accepted write on `kind`.
void check_accepted(const Space& space, const tarnvel::FlashGeometry& geometry,
                    tarnvel::BoardKind kind) {
    const tarnvel::BoardInfo& info = tarnvel::board_info(kind);
    check(space.is_sfdp_1(), "a write accepted from a space without SFDP 1");
    const auto basic = space.latest(0xFF00, 9);
    check(basic.has_value(), "a write accepted without a basic table");
    check(density(space.dword(basic->pointer + 4)) == geometry.size,
          "the size is not the latest basic table's density");
    check(geometry.size >= info.base_address + 4096ull, "a write accepted past the part's end");
    std::array<std::uint16_t, 4> types{};
    for (unsigned t = 0; t < 4; ++t) {
        types[t] = static_cast<std::uint16_t>(space.dword(basic->pointer + 28 + 4 * (t / 2)) >>
                                              (16 * (t % 2)));
    }
    if (!info.four_byte_address) {
        bool any = false;
        for (std::uint16_t type : types) {
            if ((type >> 8) != 0xD8 || (type & 0xFF) == 0) continue;
            any = true;
            check((type & 0xFF) == 16, "0xD8 accepted for an erase type not of 64 KiB");
        }
        check(any, "a 3-byte write accepted without a 0xD8 erase type");
    } else if (const auto four = space.latest(0xFF84, 2)) {
        const std::uint32_t support = space.dword(four->pointer);
        const std::uint32_t opcodes = space.dword(four->pointer + 4);
        for (unsigned t = 0; t < 4; ++t) {
            const bool dc = (support >> (9 + t) & 1) != 0 && (opcodes >> (8 * t) & 0xFF) == 0xDC;
            if (dc && (types[t] & 0xFF) != 0) {
                check((types[t] & 0xFF) == 16, "0xDC accepted for an erase type not of 64 KiB");
            }
        }
    }
    if (basic->dwords >= 11) {
        check(((space.dword(basic->pointer + 40) >> 4) & 0xF) >= 8,
              "a write accepted with pages under 256 bytes");
    }
}

// JEDEC IDs: the quirk rows' parts, and one whose capacity byte says nothing.
constexpr std::array<std::array<std::uint8_t, 3>, 5> kIds{{{0xC2, 0x20, 0x19},
                                                           {0xEF, 0x40, 0x19},
                                                           {0x9D, 0x70, 0x19},
                                                           {0x3D, 0x71, 0x1B},
                                                           {0xBF, 0x26, 0x43}}};

constexpr std::array<tarnvel::BoardKind, 4> kSerialKinds{
    tarnvel::BoardKind::Qx410, tarnvel::BoardKind::Qx480Spi, tarnvel::BoardKind::Qx630,
    tarnvel::BoardKind::Qx610Spi};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Space space({data, size});
    const std::vector<Range> readable = space.readable();
    const tarnvel::SfdpReader reader = [&](std::uint32_t address,
                                           std::uint32_t length) -> tarnvel::Result<Bytes> {
        const Range asked{address, std::uint64_t{address} + length};
        check(std::ranges::any_of(
                  readable,
                  [&](const Range& r) { return r.begin <= asked.begin && asked.end <= r.end; }),
              "a read past the header, the parameter headers and the declared tables");
        Bytes bytes(length);
        for (std::uint32_t i = 0; i < length; ++i) bytes[i] = space.at(std::uint64_t{address} + i);
        return bytes;
    };
    for (const auto& id : kIds) {
        auto answer = tarnvel::read_sfdp_geometry(reader, id);
        if (!answer || !answer->geometry) continue;
        for (tarnvel::BoardKind kind : kSerialKinds) {
            if (tarnvel::check_flash_fits(*answer->geometry, kind, 4096,
                                          tarnvel::FlashUse::Write)) {
                check_accepted(space, *answer->geometry, kind);
            }
        }
    }
    return 0;
}
