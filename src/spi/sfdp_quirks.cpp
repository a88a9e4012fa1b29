#include "spi/sfdp_quirks.hpp"

#include <algorithm>
#include <array>

#include "flash/nor_commands.hpp"

namespace tarnvel {
namespace {

// Basic table, DWORD 1 bits 17-18: the address bytes; 0 is "3 only".
constexpr unsigned kAddressBytesShift = 17;
// Basic table, DWORD 5 bit 4: Fast Read 4-4-4 supported.
constexpr std::uint32_t kFastRead444 = 1u << 4;

// The 4-byte-address twins of the common erase commands: 4 KiB, 32 KiB and 64 KiB.
constexpr std::array<std::array<std::uint8_t, 2>, 3> kErase4ByteTwins{
    {{0x20, 0x21}, {0x52, 0x5C}, {serial_nor::kBlockErase3, serial_nor::kBlockErase4}}};

bool fast_read_444(const BasicTable& basic) {
    return (basic.dword(5) & kFastRead444) != 0;
}

bool jesd216a_basic_table(const BasicTable& basic) {
    return basic.minor_revision == 5;
}

bool claims_3_byte_addresses_only(const BasicTable& basic) {
    return ((basic.dword(1) >> kAddressBytesShift) & 3) == 0;
}

// Read Data, Page Program and the erase commands with a 4-byte address, which the part has but
// its tables (it has no 4-byte address instruction table) do not list.
void four_byte_commands(FlashGeometry& geometry) {
    geometry.read_4byte = true;
    geometry.program_4byte = true;
    for (SerialEraseType& erase : geometry.erase_types) {
        const auto twin = std::ranges::find(kErase4ByteTwins, erase.opcode,
                                            [](const auto& pair) { return pair[0]; });
        if (twin != kErase4ByteTwins.end()) erase.opcode_4byte = (*twin)[1];
    }
}

// A 256 Mbit part that takes 3- and 4-byte addresses and the 4-byte commands, whose basic table
// says it takes 3-byte addresses only.
void four_byte_part(FlashGeometry& geometry) {
    geometry.address_bytes = AddressBytes::ThreeOrFour;
    four_byte_commands(geometry);
}

struct PartQuirk {
    std::array<std::uint8_t, 3> jedec_id;
    bool (*variant)(const BasicTable&);  // what tells this part from others of its ID
    void (*apply)(FlashGeometry&);
};

// Each row: the part, its namesake, and where the difference is documented.
constexpr PartQuirk kPartQuirks[] = {
    // MX25L25635F has the 4-byte commands (0x13, 0x12, 0x21, 0x5C, 0xDC: its data sheet's
    // command table); MX25L25635E, of the same ID, has not. Only the F advertises Fast Read
    // 4-4-4 in its basic table (Linux, drivers/mtd/spi-nor/macronix.c,
    // mx25l25635_post_bfpt_fixups).
    {{0xC2, 0x20, 0x19}, fast_read_444, four_byte_commands},
    // W25Q256JV has the 4-byte commands (its data sheet's instruction set table); W25Q256FV, of
    // the same ID, has not. Only the JV's basic table is of JESD216A, minor revision 5 (Linux,
    // drivers/mtd/spi-nor/winbond.c, w25q256_post_bfpt_fixups).
    {{0xEF, 0x40, 0x19}, jesd216a_basic_table, four_byte_commands},
    // IS25LP256 (3 V) and IS25WP256 (1.8 V) take 4-byte addresses and have the 4-byte commands
    // (their data sheet's instruction set table, 4NORD 0x13, 4PP 0x12, 4BER64K 0xDC), while
    // their basic table says "3-byte addresses only" (Linux, drivers/mtd/spi-nor/issi.c,
    // is25lp256_post_bfpt_fixups and SPI_NOR_4B_OPCODES).
    {{0x9D, 0x60, 0x19}, claims_3_byte_addresses_only, four_byte_part},
    {{0x9D, 0x70, 0x19}, claims_3_byte_addresses_only, four_byte_part},
};

}  // namespace

std::uint32_t BasicTable::dword(std::uint32_t n) const {
    const std::size_t offset = 4 * std::size_t{n - 1};
    if (n == 0 || offset + 4 > bytes.size()) return 0;
    return static_cast<std::uint32_t>(bytes[offset]) | std::uint32_t{bytes[offset + 1]} << 8 |
           std::uint32_t{bytes[offset + 2]} << 16 | std::uint32_t{bytes[offset + 3]} << 24;
}

void apply_part_quirks(std::span<const std::uint8_t> jedec_id, const BasicTable& basic,
                       FlashGeometry& geometry) {
    for (const PartQuirk& quirk : kPartQuirks) {
        if (std::ranges::equal(quirk.jedec_id, jedec_id) && quirk.variant(basic)) {
            quirk.apply(geometry);
        }
    }
}

}  // namespace tarnvel
