// Parts judged by the bytes of their tables, read through the program's own drivers from a
// simulated chip that answers with those bytes: SFDP as JESD216 readers read it (the latest
// basic table, every parameter header, sector maps, only major revision 1), the quirks of parts
// whose tables leave out what they can do, the boot flag of a parallel part, the first true
// cause of a refusal, and a part that claims more than it holds.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "programming/board_flash.hpp"
#include "programming/flash_fit.hpp"
#include "simulated_board.hpp"
#include "update/board_access.hpp"

namespace tarnvel::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using enum BoardKind;
constexpr std::uint32_t kMiB = 1u << 20;
constexpr std::uint32_t kKiB = 1u << 10;

Bytes part_file(const std::string& name) {
    std::ifstream file(std::string(TARNVEL_PARTS_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(file) << name;
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

// An SFDP space: the header, then a parameter header for every table added, each table where
// it is put.
class SfdpSpace {
  public:
    explicit SfdpSpace(std::uint8_t major = 1) : bytes(0x800, 0xFF) {
        const std::uint8_t header[8] = {'S', 'F', 'D', 'P', 6, major, 0, 0xFF};
        std::ranges::copy(header, bytes.begin());
    }
    SfdpSpace& table(std::uint16_t id, std::uint8_t minor, const std::vector<std::uint32_t>& dwords,
                     std::uint32_t at) {
        const std::uint32_t h = 8 + 8 * headers_++;
        const std::uint8_t header[8] = {static_cast<std::uint8_t>(id),
                                        minor,
                                        1,
                                        static_cast<std::uint8_t>(dwords.size()),
                                        static_cast<std::uint8_t>(at),
                                        static_cast<std::uint8_t>(at >> 8),
                                        0,
                                        static_cast<std::uint8_t>(id >> 8)};
        std::ranges::copy(header, bytes.begin() + h);
        bytes[6] = static_cast<std::uint8_t>(headers_ - 1);
        for (std::size_t i = 0; i < dwords.size(); ++i) {
            for (unsigned b = 0; b < 4; ++b) {
                bytes[at + 4 * i + b] = static_cast<std::uint8_t>(dwords[i] >> (8 * b));
            }
        }
        return *this;
    }

    Bytes bytes;

  private:
    std::uint32_t headers_ = 0;
};

struct Erase {
    std::uint32_t size;
    std::uint8_t opcode;
};

// A basic table of `dwords` DWORDs: a 32 MiB part taking 3- and 4-byte addresses, with these
// erase types (1 to 4) and, from DWORD 11 on, pages of `page` bytes.
std::vector<std::uint32_t> basic_table(std::vector<Erase> erases, unsigned dwords = 16,
                                       std::uint32_t page = 256) {
    std::vector<std::uint32_t> t(dwords, 0xFFFFFFFF);
    t[0] = 0xFFF320E5;  // 3 or 4 address bytes
    t[1] = 32 * kMiB * 8 - 1;
    t[7] = t[8] = 0;
    for (std::size_t i = 0; i < erases.size(); ++i) {
        const std::uint32_t half = std::uint32_t{erases[i].opcode} << 8 |
                                   static_cast<std::uint32_t>(std::countr_zero(erases[i].size));
        t[7 + i / 2] |= half << (16 * (i % 2));
    }
    if (dwords >= 11) t[10] = static_cast<std::uint32_t>(std::countr_zero(page)) << 4;
    return t;
}

// The 4-byte table: Read 0x13, Page Program 0x12, and these 4-byte erase opcodes for erase
// types 1 to 4 (0: none).
std::vector<std::uint32_t> four_byte_table(std::vector<std::uint8_t> erases) {
    std::uint32_t support = 1u << 0 | 1u << 6;
    std::uint32_t opcodes = 0xFFFFFFFF;
    for (std::size_t i = 0; i < erases.size(); ++i) {
        if (erases[i] == 0) continue;
        support |= 1u << (9 + i);
        opcodes &= ~(0xFFu << (8 * i));
        opcodes |= std::uint32_t{erases[i]} << (8 * i);
    }
    return {support, opcodes};
}

constexpr std::uint16_t kBasic = 0xFF00;
constexpr std::uint16_t kSectorMap = 0xFF81;
constexpr std::uint16_t kFourByte = 0xFF84;

// A part of 32 MiB that erases 4 KiB with 0x20 and 64 KiB with 0xD8/0xDC, with its 4-byte
// table and `extra` tables.
Bytes uniform_part() {
    return SfdpSpace()
        .table(kBasic, 6, basic_table({{4 * kKiB, 0x20}, {64 * kKiB, 0xD8}}), 0x100)
        .table(kFourByte, 0, four_byte_table({0x21, 0xDC}), 0x180)
        .bytes;
}

// A sector map of one configuration: [0, 16 MiB) and [16 MiB + 64 KiB, 32 MiB) in 64 KiB
// sectors (erase type 2), and 64 KiB of 4 KiB sectors (type 1 only) at `small_at`.
std::vector<std::uint32_t> one_map(std::uint32_t small_at) {
    auto region = [](std::uint32_t size, std::uint32_t types) {
        return (size / 256 - 1) << 8 | types;
    };
    std::vector<std::uint32_t> map{0x00020003};  // a map, the last descriptor, 3 regions
    map.push_back(region(small_at, 0b11));
    map.push_back(region(64 * kKiB, 0b01));
    map.push_back(region(32 * kMiB - small_at - 64 * kKiB, 0b11));
    return map;
}

struct TableCase {
    const char* name;
    BoardKind kind;
    Bytes sfdp;  // empty: the chip's own
    // The chip: 32 MiB, JEDEC ID 3d 71 19, unless this says otherwise.
    std::function<void(SpiNorChip::Options&)> part = [](SpiNorChip::Options&) {};
    const char* reason = "";  // "" when the part fits
    // Where a refusal stops: a part that answers but can't take the write is a misfit; one
    // whose answer can't be used is not identified.
    AccessFailure::Stage stage = AccessFailure::Stage::Fit;
};

std::vector<TableCase> table_cases() {
    const Bytes e = part_file("mx25l25635e.sfdp");
    const Bytes f = part_file("mx25l25635f.sfdp");
    auto size = [](std::uint32_t bytes, std::array<std::uint8_t, 3> id) {
        return [bytes, id](SpiNorChip::Options& o) {
            o.size_bytes = bytes;
            o.jedec_id = id;
        };
    };
    std::vector<TableCase> cases;
    // Two basic tables, 1.0 and 1.6: the later one says the pages are 64 bytes.
    cases.push_back({"LatestBasicTableCounts",
                     Qx630,
                     SfdpSpace()
                         .table(kBasic, 0, basic_table({{64 * kKiB, 0xD8}}, 9), 0x100)
                         .table(kBasic, 6, basic_table({{64 * kKiB, 0xD8}}, 16, 64), 0x140)
                         .table(kFourByte, 0, four_byte_table({0xDC}), 0x180)
                         .bytes,
                     {},
                     "the flash programs pages of 64 bytes, not the 256 bytes"});
    // 0xD8 erases 64 KiB or 256 KiB, as the part is configured.
    cases.push_back(
        {"BlockEraseOfTwoSizes",
         Qx410,
         SfdpSpace()
             .table(kBasic, 6, basic_table({{64 * kKiB, 0xD8}, {256 * kKiB, 0xD8}}), 0x100)
             .bytes,
         {},
         "the flash lists its block erase 0xD8 as erasing 64 KiB and 256 KiB"});
    // 4 KiB sectors where the update writes in the sector map, and elsewhere.
    Bytes small_sectors_at_base = uniform_part();
    Bytes small_sectors_at_top = uniform_part();
    for (auto [bytes, at] : {std::pair{&small_sectors_at_base, 16 * kMiB},
                             std::pair{&small_sectors_at_top, 32 * kMiB - 64 * kKiB}}) {
        *bytes = SfdpSpace()
                     .table(kBasic, 6, basic_table({{4 * kKiB, 0x20}, {64 * kKiB, 0xD8}}), 0x100)
                     .table(kFourByte, 0, four_byte_table({0x21, 0xDC}), 0x180)
                     .table(kSectorMap, 6, one_map(at), 0x200)
                     .bytes;
    }
    cases.push_back({"SectorMapWithSmallSectorsWhereTheUpdateWrites",
                     Qx630,
                     small_sectors_at_base,
                     {},
                     "the flash's sector map 1 has sectors at 0x1000000 that its block erase 0xDC "
                     "does not erase 64 KiB at a time"});
    cases.push_back({"SectorMapWithSmallSectorsElsewhere", Qx630, small_sectors_at_top});
    // The first 0xD8 type, of 64 KiB, has no 4-byte twin; 0xDC belongs to a 256 KiB one.
    cases.push_back(
        {"FourByteEraseOfAnotherType",
         Qx630,
         SfdpSpace()
             .table(kBasic, 6, basic_table({{64 * kKiB, 0xD8}, {256 * kKiB, 0xD8}}), 0x100)
             .table(kFourByte, 0, four_byte_table({0, 0xDC}), 0x180)
             .bytes,
         {},
         "the flash's block erase 0xDC erases 256 KiB, not the 64 KiB blocks"});
    // 0xDC listed, for a 32 KiB type: not "lacks 0xDC".
    cases.push_back(
        {"FourByteEraseListedForA32KiBType",
         Qx630,
         SfdpSpace()
             .table(kBasic, 6, basic_table({{32 * kKiB, 0x52}, {64 * kKiB, 0xD8}}), 0x100)
             .table(kFourByte, 0, four_byte_table({0xDC, 0}), 0x180)
             .bytes,
         {},
         "the flash's block erase 0xDC erases 32 KiB, not the 64 KiB blocks"});
    // One JEDEC ID, two parts: only the F has the 4-byte commands, and says Fast Read 4-4-4.
    cases.push_back(
        {"QuirkMx25l25635fHasThe4ByteCommands", Qx630, f, size(32 * kMiB, {0xC2, 0x20, 0x19})});
    cases.push_back({"QuirkMx25l25635eHasNot", Qx630, e, size(32 * kMiB, {0xC2, 0x20, 0x19}),
                     "the flash lacks the 4-byte-address commands 0x13, 0x12, 0xDC"});
    // A 16 MiB part on a board that writes from 16 MiB is too small, whatever else it lacks.
    cases.push_back({"TooSmallBeforeAnythingElse", Qx630, part_file("at25ql128a.sfdp"),
                     size(16 * kMiB, {0x1F, 0x42, 0x18}),
                     "4096 bytes from 0x1000000 reach past the end of the 16 MiB flash"});
    // An SFDP of major revision 2 is not read (its basic table here says 256 KiB erases): the
    // part is taken by its JEDEC ID.
    Bytes revision_2 =
        SfdpSpace(2).table(kBasic, 0, basic_table({{256 * kKiB, 0xD8}}), 0x100).bytes;
    cases.push_back(
        {"SfdpOfMajorRevision2IsNotRead", Qx630, revision_2, size(64 * kMiB, {0x3D, 0x71, 0x1A})});
    cases.push_back({"SfdpOfMajorRevision2AndAnUnknownId", Qx630, revision_2,
                     size(64 * kMiB, {0xEF, 0x40, 0x1A}),
                     "the flash's SFDP is of major revision 2, which this program does not read, "
                     "and its JEDEC ID ef 40 1a is not a known part",
                     AccessFailure::Stage::Identify});
    // Seventeen parameter headers, the 4-byte table last.
    SfdpSpace many;
    many.table(kBasic, 6, basic_table({{64 * kKiB, 0xD8}}), 0x400);
    for (std::uint32_t i = 0; i < 15; ++i)
        many.table(static_cast<std::uint16_t>(0x0100 | i), 0, {0, 0}, 0x480 + 8 * i);
    many.table(kFourByte, 0, four_byte_table({0xDC}), 0x600);
    cases.push_back({"EveryParameterHeaderIsRead", Qx630, many.bytes});
    // SFDP of a 32 MiB part with a JEDEC ID of a 64 MiB one: neither says where addresses wrap.
    cases.push_back({"SfdpAndJedecIdDisagree",
                     Qx630,
                     {},
                     size(32 * kMiB, {0x3D, 0x71, 0x1A}),
                     "the flash's SFDP gives a size of 32 MiB, and the JEDEC ID 3d 71 1a one of "
                     "64 MiB",
                     AccessFailure::Stage::Identify});
    // No SFDP, and an ID that claims 64 MiB of a 16 MiB part: the base reads as offset 0.
    cases.push_back({"ClaimsMoreThanItHolds",
                     Qx630,
                     {},
                     [](SpiNorChip::Options& o) {
                         o.sfdp = false;
                         o.size_bytes = 16 * kMiB;
                         o.jedec_id = {0x3D, 0x71, 0x1A};
                     },
                     "the flash reads at 0x1000000 what it holds at 0x0: it may hold only 16 MiB, "
                     "though its JEDEC ID 3d 71 1a (and no SFDP) gives 64 MiB"});
    cases.push_back({"HoldsWhatItClaims", Qx630, {}, [](SpiNorChip::Options& o) {
                         o.sfdp = false;
                         o.size_bytes = 64 * kMiB;
                     }});
    // SFDP of 32 MiB on a 16 MiB part whose JEDEC ID gives no size to hold it against: the
    // base reads as offset 0, and nothing is erased.
    cases.push_back({"SfdpClaimsMoreThanItHolds", Qx630, uniform_part(),
                     size(16 * kMiB, {0x3D, 0x71, 0x00}),
                     "the flash reads at 0x1000000 what it holds at 0x0: it may hold only 16 MiB, "
                     "though its SFDP (and no size in its JEDEC ID 3d 71 00) gives 32 MiB"});
    cases.push_back(
        {"SfdpHoldsWhatItClaims", Qx630, uniform_part(), size(32 * kMiB, {0x3D, 0x71, 0x00})});
    return cases;
}

TEST(PartTables, EachPartIsJudgedByItsTablesBeforeAnythingIsErased) {
    for (const TableCase& c : table_cases()) {
        SCOPED_TRACE(c.name);
        BoardOptions options;
        options.spi.size_bytes = 32 * kMiB;
        if (c.part) c.part(options.spi);
        options.spi.sfdp_table = c.sfdp;
        SimulatedBoard board(c.kind, options);
        ASSERT_TRUE(build_flash(board.device));
        auto part = identify_flash_part(board.device, 4096, FlashUse::Write);
        if (std::string(c.reason).empty()) {
            EXPECT_TRUE(part) << error_text(part.error().error);
        } else {
            ASSERT_FALSE(part);
            const std::string why = error_text(part.error().error);
            EXPECT_NE(why.find(c.reason), std::string::npos) << why;
            EXPECT_EQ(part.error().stage, c.stage) << why;
        }
        EXPECT_FALSE(board.flash().changed());
        EXPECT_TRUE(board.violations().empty()) << board.violations().summary();
    }
}

// A top-boot query in words from 0x10: AMD command set, its primary table at 0x40, `size` as
// a power of two, a 512-byte buffer, and two regions listed from the boot sectors up; the
// primary table of version 1.`minor` with boot flag `flag`.
Bytes boot_query(std::uint8_t size_exponent, std::array<std::uint16_t, 4> boot,
                 std::array<std::uint16_t, 4> main, char minor, std::uint8_t flag) {
    Bytes q(0x40, 0);
    const std::uint8_t head[] = {'Q', 'R', 'Y', 0x02, 0x00, 0x40, 0x00};
    std::ranges::copy(head, q.begin());
    q[0x27 - 0x10] = size_exponent;
    q[0x2A - 0x10] = 9;
    q[0x2C - 0x10] = 2;
    for (unsigned i = 0; i < 4; ++i) {
        q[0x2D - 0x10 + i] = static_cast<std::uint8_t>(boot[i]);
        q[0x31 - 0x10 + i] = static_cast<std::uint8_t>(main[i]);
    }
    const std::uint8_t primary[16] = {
        'P', 'R',  'I',  '1', static_cast<std::uint8_t>(minor), 0, 2, 1, 0, 4, 0, 0,
        0,   0xB5, 0xC5, flag};
    std::ranges::copy(primary, q.begin() + 0x30);
    return q;
}

TEST(PartTables, BootSectorsOfAParallelPartLieWhereItsBootFlagSays) {
    auto identify = [](Bytes query) {
        BoardOptions options;
        options.parallel.cfi_table = std::move(query);
        SimulatedBoard board(Qx400, options);
        auto geometry = attach_identified_flash(board.device);
        EXPECT_TRUE(board.model->parallel_chip()->in_read_mode());
        return geometry;
    };
    // The real table of a top-boot part lists its 8 KiB boot sectors first.
    Bytes top = part_file("am29dl322d-top.cfi");
    auto real_top = identify(top);
    ASSERT_TRUE(real_top) << error_text(real_top.error());
    EXPECT_EQ(real_top->erase_regions, (std::vector<EraseRegion>{{0x10000, 63}, {0x2000, 8}}));
    EXPECT_FALSE(real_top->regions_may_be_reversed);
    top[0x4F - 0x10] = 0x02;  // the bottom-boot part of the same family
    auto real_bottom = identify(top);
    ASSERT_TRUE(real_bottom);
    EXPECT_EQ(real_bottom->erase_regions, (std::vector<EraseRegion>{{0x2000, 8}, {0x10000, 63}}));

    // 32 MiB, 8 x 16 KiB at the top: the update may write up to them, not into them.
    const std::array<std::uint16_t, 4> boot{7, 0, 0x40, 0};
    const std::array<std::uint16_t, 4> main{254, 0, 0, 2};
    auto top_boot = identify(boot_query(25, boot, main, '3', 0x03));
    ASSERT_TRUE(top_boot);
    EXPECT_TRUE(check_flash_fits(*top_boot, Qx400, 0xFC0000, FlashUse::Write));
    EXPECT_EQ(error_text(check_flash_fits(*top_boot, Qx400, 0xFC0001, FlashUse::Write).error()),
              "the flash erases blocks of 16 KiB at 0x1fe0000, not the 128 KiB sectors the "
              "update writes (from its CFI query)");
    // A primary table of version 1.0 has no boot flag: both places are held against the part.
    auto unknown = identify(boot_query(25, boot, main, '0', 0x03));
    ASSERT_TRUE(unknown);
    EXPECT_TRUE(unknown->regions_may_be_reversed);
    EXPECT_TRUE(check_flash_fits(*unknown, Qx400, 0xFC0000, FlashUse::Write));
    EXPECT_NE(error_text(check_flash_fits(*unknown, Qx400, 0xFC0001, FlashUse::Write).error())
                  .find("at 0x1fe0000 (if its boot sectors are where its query does not say)"),
              std::string::npos);
}

}  // namespace
}  // namespace tarnvel::sim
