#include "spi/sfdp.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>

namespace tarnvel {
namespace {

// The SFDP header: the signature "SFDP", minor and major revision, the number of parameter
// headers less one, and a byte of 0xFF. Parameter headers of 8 bytes each follow it.
constexpr std::array<std::uint8_t, 4> kSignature{'S', 'F', 'D', 'P'};
constexpr std::uint32_t kHeaderBytes = 8;
constexpr std::uint32_t kParameterHeaderBytes = 8;
// Real parts carry a handful of tables; the basic and the 4-byte one come first. Reading no
// more than this many headers bounds what a part with a corrupt count makes us read.
constexpr std::uint32_t kMaxParameterHeaders = 16;

// Parameter table IDs: least significant byte, most significant byte.
constexpr std::uint8_t kBasicTableId = 0x00;
constexpr std::uint8_t kFourByteTableId = 0x84;
constexpr std::uint8_t kJedecTableIdMsb = 0xFF;
// JESD216 tables of major revision 1 are all laid out alike; a later major revision may not be.
constexpr std::uint8_t kTableMajorRevision = 1;

// The basic table has nine DWORDs since the first revision of the standard; the page size is
// in DWORD 11, which later revisions added. Nothing after DWORD 11 is needed.
constexpr std::uint32_t kBasicTableMinDwords = 9;
constexpr std::uint32_t kPageSizeDword = 11;
constexpr std::uint32_t kFourByteTableDwords = 2;

// Basic table, DWORD 1 bits 17-18: the address bytes the part takes.
constexpr unsigned kAddressBytesShift = 17;
// DWORD 2: the density in bits, as the count less one, or with bit 31 set as a power of two.
constexpr std::uint32_t kDensityIsPowerOfTwo = 0x80000000;
// 4-byte table, DWORD 1: Read Data 0x13 (bit 0), Page Program 0x12 (bit 6), erase types 1 to 4
// (bits 9-12); DWORD 2 holds the 4-byte erase opcodes, one byte per erase type.
constexpr std::uint32_t kRead4ByteBit = 1u << 0;
constexpr std::uint32_t kProgram4ByteBit = 1u << 6;
constexpr unsigned kErase4ByteFirstBit = 9;

struct ParameterHeader {
    std::uint8_t id_lsb = 0;
    std::uint8_t major = 0;
    std::uint32_t dwords = 0;
    std::uint32_t pointer = 0;
    std::uint8_t id_msb = 0;
};

std::uint32_t dword_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) | std::uint32_t{bytes[offset + 1]} << 8 |
           std::uint32_t{bytes[offset + 2]} << 16 | std::uint32_t{bytes[offset + 3]} << 24;
}

// DWORD n (counted from 1, as the standard counts them) of a table.
std::uint32_t dword(std::span<const std::uint8_t> table, std::uint32_t n) {
    return dword_at(table, 4 * (n - 1));
}

Error bad_sfdp(std::string_view what) {
    return Error::message(ErrorKind::InvalidData, fmt::format("the flash's SFDP {}", what));
}

Result<std::vector<std::uint8_t>> read_exactly(const SfdpReader& read, std::uint32_t address,
                                               std::uint32_t length) {
    auto bytes = read(address, length);
    if (bytes && bytes->size() != length) {
        return std::unexpected(bad_sfdp("read returned a short piece"));
    }
    return bytes;
}

const ParameterHeader* find_table(const std::vector<ParameterHeader>& headers, std::uint8_t id) {
    auto it = std::ranges::find_if(headers, [id](const ParameterHeader& h) {
        return h.id_lsb == id && h.id_msb == kJedecTableIdMsb && h.major == kTableMajorRevision;
    });
    return it == headers.end() ? nullptr : &*it;
}

Result<std::uint64_t> density_bytes(std::uint32_t density) {
    std::uint64_t bits = 0;
    if ((density & kDensityIsPowerOfTwo) != 0) {
        const std::uint32_t exponent = density & ~kDensityIsPowerOfTwo;
        // 2^3 bits is one byte; 2^40 bits (128 GiB) is far beyond any serial NOR part.
        if (exponent < 3 || exponent > 40) {
            return std::unexpected(bad_sfdp(fmt::format("gives a density of 2^{} bits", exponent)));
        }
        bits = std::uint64_t{1} << exponent;
    } else {
        bits = std::uint64_t{density} + 1;
    }
    if (bits % 8 != 0) {
        return std::unexpected(bad_sfdp(fmt::format("gives a density of {} bits", bits)));
    }
    return bits / 8;
}

Result<AddressBytes> address_bytes(std::uint32_t dword1) {
    switch ((dword1 >> kAddressBytesShift) & 3) {
        case 0: return AddressBytes::ThreeOnly;
        case 1: return AddressBytes::ThreeOrFour;
        case 2: return AddressBytes::FourOnly;
        default: break;
    }
    return std::unexpected(bad_sfdp("gives a reserved address-bytes value"));
}

}  // namespace

Result<std::optional<FlashGeometry>> read_sfdp_geometry(const SfdpReader& read,
                                                        std::span<const std::uint8_t> jedec_id) {
    auto header = read_exactly(read, 0, kHeaderBytes);
    if (!header) return std::unexpected(std::move(header.error()));
    if (!std::ranges::equal(std::span(*header).first(kSignature.size()), kSignature)) {
        return std::nullopt;
    }
    const std::uint32_t header_count =
        std::min<std::uint32_t>((*header)[6] + 1u, kMaxParameterHeaders);
    auto raw = read_exactly(read, kHeaderBytes, header_count * kParameterHeaderBytes);
    if (!raw) return std::unexpected(std::move(raw.error()));
    std::vector<ParameterHeader> headers;
    for (std::uint32_t i = 0; i < header_count; ++i) {
        const std::span<const std::uint8_t> h =
            std::span(*raw).subspan(i * kParameterHeaderBytes, kParameterHeaderBytes);
        headers.push_back({.id_lsb = h[0],
                           .major = h[2],
                           .dwords = h[3],
                           .pointer = dword_at(h, 4) & 0xFFFFFF,
                           .id_msb = h[7]});
    }

    const ParameterHeader* basic = find_table(headers, kBasicTableId);
    if (basic == nullptr) return std::unexpected(bad_sfdp("has no basic flash parameter table"));
    if (basic->dwords < kBasicTableMinDwords) {
        return std::unexpected(bad_sfdp(fmt::format("basic table has {} DWORDs, fewer than {}",
                                                    basic->dwords, kBasicTableMinDwords)));
    }
    auto table = read_exactly(read, basic->pointer, 4 * std::min(basic->dwords, kPageSizeDword));
    if (!table) return std::unexpected(std::move(table.error()));

    FlashGeometry geometry{.type = FlashType::Spi, .source = GeometrySource::Sfdp};
    geometry.jedec_id.assign(jedec_id.begin(), jedec_id.end());
    auto size = density_bytes(dword(*table, 2));
    if (!size) return std::unexpected(std::move(size.error()));
    geometry.size = *size;
    auto addressing = address_bytes(dword(*table, 1));
    if (!addressing) return std::unexpected(std::move(addressing.error()));
    geometry.address_bytes = *addressing;
    if (basic->dwords >= kPageSizeDword) {
        geometry.page_size = 1u << ((dword(*table, kPageSizeDword) >> 4) & 0xF);
    }

    // The 4-byte Address Instruction Table, when the part has one: without it no command is
    // known to take a 4-byte address.
    std::uint32_t four_byte_support = 0;
    std::uint32_t four_byte_erase_opcodes = 0;
    if (const ParameterHeader* four = find_table(headers, kFourByteTableId);
        four != nullptr && four->dwords >= kFourByteTableDwords) {
        auto four_table = read_exactly(read, four->pointer, 4 * kFourByteTableDwords);
        if (!four_table) return std::unexpected(std::move(four_table.error()));
        four_byte_support = dword(*four_table, 1);
        four_byte_erase_opcodes = dword(*four_table, 2);
    }
    geometry.read_4byte = (four_byte_support & kRead4ByteBit) != 0;
    geometry.program_4byte = (four_byte_support & kProgram4ByteBit) != 0;

    // Erase types 1 and 2 in DWORD 8, 3 and 4 in DWORD 9: a size exponent (0: no such erase
    // type) and the opcode, one 16-bit half each.
    for (unsigned type = 0; type < 4; ++type) {
        const std::uint32_t half = dword(*table, 8 + type / 2) >> (16 * (type % 2));
        const std::uint32_t exponent = half & 0xFF;
        if (exponent == 0) continue;
        if (exponent > 31) {
            return std::unexpected(bad_sfdp(
                fmt::format("gives erase type {} a size of 2^{} bytes", type + 1, exponent)));
        }
        SerialEraseType erase{.size = 1u << exponent,
                              .opcode = static_cast<std::uint8_t>(half >> 8)};
        if ((four_byte_support & (1u << (kErase4ByteFirstBit + type))) != 0) {
            erase.opcode_4byte = static_cast<std::uint8_t>(four_byte_erase_opcodes >> (8 * type));
        }
        geometry.erase_types.push_back(erase);
    }
    return geometry;
}

namespace {

struct KnownSerialPart {
    std::array<std::uint8_t, 3> jedec_id;
    std::uint64_t size;
    AddressBytes address_bytes;
    bool four_byte_commands;  // 0x13, 0x12 and 0xDC
};

constexpr std::uint64_t kMiB = 1u << 20;

// Serial parts known by their JEDEC ID, for parts that answer no SFDP: the parts of
// manufacturer 0x3D, memory type 0x71, that the board simulator models, whose capacity byte is
// the size's power of two. All erase 64 KiB blocks with 0xD8 and program 256-byte pages; the
// 32 MiB one has no 4-byte commands and reaches its upper half only in a 4-byte address mode,
// which these boards do not use. A JEDEC ID that several variants share (parts that differ in
// sector size or in the 4-byte commands under one ID) does not belong here: only SFDP tells such
// parts apart.
constexpr KnownSerialPart kKnownSerialParts[] = {
    {{0x3D, 0x71, 0x18}, 16 * kMiB, AddressBytes::ThreeOnly, false},
    {{0x3D, 0x71, 0x19}, 32 * kMiB, AddressBytes::ThreeOrFour, false},
    {{0x3D, 0x71, 0x1A}, 64 * kMiB, AddressBytes::ThreeOrFour, true},
    {{0x3D, 0x71, 0x1B}, 128 * kMiB, AddressBytes::ThreeOrFour, true},
};

constexpr std::uint32_t kKnownBlockSize = 0x10000;
constexpr std::uint8_t kBlockErase3 = 0xD8;
constexpr std::uint8_t kBlockErase4 = 0xDC;
constexpr std::uint32_t kKnownPageSize = 0x100;

}  // namespace

std::optional<FlashGeometry> known_serial_part(std::span<const std::uint8_t> jedec_id) {
    for (const KnownSerialPart& part : kKnownSerialParts) {
        if (!std::ranges::equal(part.jedec_id, jedec_id)) continue;
        FlashGeometry geometry{.type = FlashType::Spi,
                               .source = GeometrySource::JedecIdTable,
                               .size = part.size,
                               .jedec_id = {jedec_id.begin(), jedec_id.end()},
                               .address_bytes = part.address_bytes,
                               .read_4byte = part.four_byte_commands,
                               .program_4byte = part.four_byte_commands,
                               .page_size = kKnownPageSize};
        SerialEraseType block{.size = kKnownBlockSize, .opcode = kBlockErase3};
        if (part.four_byte_commands) block.opcode_4byte = kBlockErase4;
        geometry.erase_types.push_back(block);
        return geometry;
    }
    return std::nullopt;
}

}  // namespace tarnvel
