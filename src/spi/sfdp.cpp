#include "spi/sfdp.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <array>

#include "flash/nor_commands.hpp"
#include "spi/sfdp_quirks.hpp"

namespace tarnvel {
namespace {

// The SFDP header: the signature "SFDP", minor and major revision, the number of parameter
// headers less one, and the access protocol. Parameter headers of 8 bytes each follow it: the
// table's ID (least significant byte), its minor and major revision, its length in DWORDs, a
// 3-byte pointer to it and the ID's most significant byte.
constexpr std::array<std::uint8_t, 4> kSignature{'S', 'F', 'D', 'P'};
constexpr std::uint32_t kHeaderBytes = 8;
constexpr std::uint32_t kParameterHeaderBytes = 8;
// SFDP and its tables of major revision 1 are laid out alike; a later one may not be.
constexpr std::uint8_t kMajorRevision = 1;
// Read SFDP takes a 3-byte address: no table lies beyond this.
constexpr std::uint64_t kSfdpSpace = 1u << 24;

constexpr std::uint16_t kBasicTableId = 0xFF00;
constexpr std::uint16_t kSectorMapTableId = 0xFF81;
constexpr std::uint16_t kFourByteTableId = 0xFF84;

// The basic table has nine DWORDs since the first revision of the standard; the page size is
// in DWORD 11, which later revisions added. Nothing after DWORD 11 is needed.
constexpr std::uint32_t kBasicTableMinDwords = 9;
constexpr std::uint32_t kPageSizeDword = 11;
constexpr std::uint32_t kFourByteTableDwords = 2;

// Basic table, DWORD 1 bits 17-18: the address bytes the part takes.
constexpr unsigned kAddressBytesShift = 17;
// DWORD 2: the density in bits, as the count less one, or with bit 31 set as a power of two.
constexpr std::uint32_t kDensityIsPowerOfTwo = 0x80000000;
// DWORDs 8 and 9: erase types 1 to 4, a size exponent (0: no such type) and the opcode each.
constexpr std::uint32_t kEraseTypesDword = 8;
constexpr unsigned kEraseTypes = 4;
// 4-byte table, DWORD 1: Read Data 0x13 (bit 0), Page Program 0x12 (bit 6), erase types 1 to 4
// (bits 9-12); DWORD 2 holds the 4-byte erase opcodes, one byte per erase type.
constexpr std::uint32_t kRead4ByteBit = 1u << 0;
constexpr std::uint32_t kProgram4ByteBit = 1u << 6;
constexpr unsigned kErase4ByteFirstBit = 9;

// Sector map table: a run of descriptors, each with its last-descriptor flag in bit 0 and its
// type in bit 1. A configuration detection command takes two DWORDs; a map, one DWORD with its
// region count less one in bits 16-23, then one per region: the erase types that work there in
// bits 0-3, its size in units of 256 bytes, less one, in bits 8-31.
constexpr std::uint32_t kLastDescriptor = 1u << 0;
constexpr std::uint32_t kMapDescriptor = 1u << 1;
constexpr std::uint32_t kCommandDescriptorDwords = 2;
constexpr std::uint64_t kRegionUnit = 256;

struct ParameterHeader {
    std::uint16_t id = 0;
    std::uint8_t minor = 0;
    std::uint8_t major = 0;
    std::uint32_t dwords = 0;
    std::uint32_t pointer = 0;
};

std::uint32_t dword_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) | std::uint32_t{bytes[offset + 1]} << 8 |
           std::uint32_t{bytes[offset + 2]} << 16 | std::uint32_t{bytes[offset + 3]} << 24;
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

// The latest revision of table `id` (the highest minor revision of major revision 1, the
// longest of equal ones) that holds `min_dwords` and lies within the SFDP space.
const ParameterHeader* latest_table(const std::vector<ParameterHeader>& headers, std::uint16_t id,
                                    std::uint32_t min_dwords) {
    const ParameterHeader* latest = nullptr;
    for (const ParameterHeader& h : headers) {
        if (h.id != id || h.major != kMajorRevision || h.dwords < min_dwords) continue;
        if (h.pointer + 4 * std::uint64_t{h.dwords} > kSfdpSpace) continue;
        if (latest == nullptr || h.minor > latest->minor ||
            (h.minor == latest->minor && h.dwords > latest->dwords)) {
            latest = &h;
        }
    }
    return latest;
}

Result<std::vector<ParameterHeader>> read_parameter_headers(const SfdpReader& read,
                                                            std::uint32_t count) {
    auto raw = read_exactly(read, kHeaderBytes, count * kParameterHeaderBytes);
    if (!raw) return std::unexpected(std::move(raw.error()));
    std::vector<ParameterHeader> headers;
    headers.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::span<const std::uint8_t> h =
            std::span(*raw).subspan(i * kParameterHeaderBytes, kParameterHeaderBytes);
        headers.push_back({.id = static_cast<std::uint16_t>(h[7] << 8 | h[0]),
                           .minor = h[1],
                           .major = h[2],
                           .dwords = h[3],
                           .pointer = dword_at(h, 4) & 0xFFFFFF});
    }
    return headers;
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

// The erase types of the basic table, with their 4-byte twins from the 4-byte table.
Result<std::vector<SerialEraseType>> erase_types(const BasicTable& basic,
                                                 std::uint32_t four_byte_support,
                                                 std::uint32_t four_byte_erase_opcodes) {
    std::vector<SerialEraseType> types;
    for (unsigned type = 0; type < kEraseTypes; ++type) {
        const std::uint32_t half = basic.dword(kEraseTypesDword + type / 2) >> (16 * (type % 2));
        const std::uint32_t exponent = half & 0xFF;
        if (exponent == 0) continue;
        if (exponent > 31) {
            return std::unexpected(bad_sfdp(
                fmt::format("gives erase type {} a size of 2^{} bytes", type + 1, exponent)));
        }
        SerialEraseType erase{.size = 1u << exponent,
                              .opcode = static_cast<std::uint8_t>(half >> 8),
                              .number = static_cast<std::uint8_t>(type + 1)};
        if ((four_byte_support & (1u << (kErase4ByteFirstBit + type))) != 0) {
            erase.opcode_4byte = static_cast<std::uint8_t>(four_byte_erase_opcodes >> (8 * type));
        }
        types.push_back(erase);
    }
    return types;
}

// The maps of a sector map table; the detection commands between them are passed over: which
// map is in force is not asked, since that would send the part commands taken from a table.
Result<std::vector<SectorMap>> sector_maps(std::span<const std::uint8_t> table) {
    const std::uint32_t dwords = static_cast<std::uint32_t>(table.size() / 4);
    std::vector<SectorMap> maps;
    for (std::uint32_t i = 0; i < dwords;) {
        const std::uint32_t descriptor = dword_at(table, 4 * std::size_t{i});
        if ((descriptor & kMapDescriptor) == 0) {
            i += kCommandDescriptorDwords;
            continue;
        }
        const std::uint32_t regions = ((descriptor >> 16) & 0xFF) + 1;
        if (regions > dwords - i - 1) {
            return std::unexpected(bad_sfdp(
                fmt::format("sector map lists {} regions, past the end of its table", regions)));
        }
        SectorMap map;
        for (std::uint32_t r = 1; r <= regions; ++r) {
            const std::uint32_t region = dword_at(table, 4 * std::size_t{i + r});
            map.push_back({.size = (std::uint64_t{region >> 8} + 1) * kRegionUnit,
                           .erase_types = static_cast<std::uint8_t>(region & 0xF)});
        }
        maps.push_back(std::move(map));
        i += 1 + regions;
        if ((descriptor & kLastDescriptor) != 0) break;
    }
    if (maps.empty()) return std::unexpected(bad_sfdp("sector map table holds no map"));
    return maps;
}

Result<std::vector<std::uint8_t>> read_table(const SfdpReader& read, const ParameterHeader& table,
                                             std::uint32_t dwords) {
    return read_exactly(read, table.pointer, 4 * std::min(table.dwords, dwords));
}

}  // namespace

std::optional<std::uint64_t> jedec_id_capacity(std::span<const std::uint8_t> jedec_id) {
    if (jedec_id.size() < 3) return std::nullopt;
    const std::uint8_t code = jedec_id[2];
    if (code >= 0x10 && code <= 0x1F) return std::uint64_t{1} << code;
    // Past 0x19 (32 MiB), some makers go on with 0x20 for 64 MiB.
    if (code >= 0x20 && code <= 0x22) return std::uint64_t{1} << (code - 0x20 + 26);
    return std::nullopt;
}

Result<SfdpAnswer> read_sfdp_geometry(const SfdpReader& read,
                                      std::span<const std::uint8_t> jedec_id) {
    auto header = read_exactly(read, 0, kHeaderBytes);
    if (!header) return std::unexpected(std::move(header.error()));
    if (!std::ranges::equal(std::span(*header).first(kSignature.size()), kSignature)) {
        return SfdpAnswer{};
    }
    if ((*header)[5] != kMajorRevision) return SfdpAnswer{.unknown_major_revision = (*header)[5]};
    auto headers = read_parameter_headers(read, (*header)[6] + 1u);
    if (!headers) return std::unexpected(std::move(headers.error()));

    const ParameterHeader* basic_header =
        latest_table(*headers, kBasicTableId, kBasicTableMinDwords);
    if (basic_header == nullptr) {
        const auto longest = std::ranges::max_element(*headers, {}, [](const ParameterHeader& h) {
            return h.id == kBasicTableId && h.major == kMajorRevision ? h.dwords + 1 : 0;
        });
        if (longest->id != kBasicTableId || longest->major != kMajorRevision) {
            return std::unexpected(bad_sfdp("has no basic flash parameter table"));
        }
        if (longest->dwords >= kBasicTableMinDwords) {
            return std::unexpected(bad_sfdp("basic table lies past the end of the SFDP space"));
        }
        return std::unexpected(bad_sfdp(fmt::format("basic table has {} DWORDs, fewer than {}",
                                                    longest->dwords, kBasicTableMinDwords)));
    }
    auto basic_bytes = read_table(read, *basic_header, kPageSizeDword);
    if (!basic_bytes) return std::unexpected(std::move(basic_bytes.error()));
    const BasicTable basic{.minor_revision = basic_header->minor, .bytes = *basic_bytes};

    FlashGeometry geometry{.type = FlashType::Spi, .source = GeometrySource::Sfdp};
    geometry.jedec_id.assign(jedec_id.begin(), jedec_id.end());
    auto size = density_bytes(basic.dword(2));
    if (!size) return std::unexpected(std::move(size.error()));
    geometry.size = *size;
    // Parts whose size is beyond what their address lines reach answer their SFDP and their
    // JEDEC ID from the same die; when the two disagree, neither says where addresses wrap.
    if (auto claimed = jedec_id_capacity(jedec_id); claimed && *claimed != geometry.size) {
        return std::unexpected(bad_sfdp(
            fmt::format("gives a size of {}, and the JEDEC ID {:02x} one of {}",
                        size_text(geometry.size), fmt::join(jedec_id, " "), size_text(*claimed))));
    }
    auto addressing = address_bytes(basic.dword(1));
    if (!addressing) return std::unexpected(std::move(addressing.error()));
    geometry.address_bytes = *addressing;
    if (basic_header->dwords >= kPageSizeDword) {
        geometry.page_size = 1u << ((basic.dword(kPageSizeDword) >> 4) & 0xF);
    }

    // The 4-byte Address Instruction Table, when the part has one: without it no command is
    // known to take a 4-byte address.
    std::uint32_t four_byte_support = 0;
    std::uint32_t four_byte_erase_opcodes = 0;
    if (const ParameterHeader* four =
            latest_table(*headers, kFourByteTableId, kFourByteTableDwords)) {
        auto four_table = read_table(read, *four, kFourByteTableDwords);
        if (!four_table) return std::unexpected(std::move(four_table.error()));
        four_byte_support = dword_at(*four_table, 0);
        four_byte_erase_opcodes = dword_at(*four_table, 4);
    }
    geometry.read_4byte = (four_byte_support & kRead4ByteBit) != 0;
    geometry.program_4byte = (four_byte_support & kProgram4ByteBit) != 0;
    auto erases = erase_types(basic, four_byte_support, four_byte_erase_opcodes);
    if (!erases) return std::unexpected(std::move(erases.error()));
    geometry.erase_types = std::move(*erases);

    if (const ParameterHeader* map = latest_table(*headers, kSectorMapTableId, 1)) {
        auto map_table = read_table(read, *map, map->dwords);
        if (!map_table) return std::unexpected(std::move(map_table.error()));
        auto maps = sector_maps(*map_table);
        if (!maps) return std::unexpected(std::move(maps.error()));
        geometry.sector_maps = std::move(*maps);
    }

    apply_part_quirks(jedec_id, basic, geometry);
    return SfdpAnswer{.geometry = std::move(geometry)};
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
                               .page_size = serial_nor::kPageSize};
        SerialEraseType block{.size = serial_nor::kBlockSize, .opcode = serial_nor::kBlockErase3};
        if (part.four_byte_commands) block.opcode_4byte = serial_nor::kBlockErase4;
        geometry.erase_types.push_back(block);
        return geometry;
    }
    return std::nullopt;
}

}  // namespace tarnvel
