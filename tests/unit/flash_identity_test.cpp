// The flash parts identified through the program's own drivers on simulated boards, the
// refusal of every part or length the programming sequence does not fit, and the wait for a
// flash that a killed run left busy.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include "bpi/cfi.hpp"
#include "flash/word_mirror.hpp"
#include "programming/board_flash.hpp"
#include "programming/flash_fit.hpp"
#include "programming/programming.hpp"
#include "programming/readback.hpp"
#include "simulated_board.hpp"
#include "spi/sfdp.hpp"

namespace tarnvel::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using enum BoardKind;
constexpr std::uint32_t kMiB = 1u << 20;

std::string outcome(const Status& status) {
    return status ? "" : error_text(status.error());
}

// Identifies the board's flash and checks `length` bytes for `use`: "" when it fits, else
// the reason.
std::string identify_and_check(SimulatedBoard& board, std::uint64_t length, FlashUse use) {
    auto geometry = attach_identified_flash(board.device);
    if (!geometry) return error_text(geometry.error());
    return outcome(check_flash_fits(*geometry, board.device.kind, length, use));
}

TEST(FlashIdentity, TheBoardsOwnPartsFitEveryKindAndAreLeftAsFound) {
    const BoardKind kinds[] = {Qx410, Qx480Bpi, Qx480Spi, Qx400, Qx610Bpi, Qx630, Qx610Spi};
    for (BoardKind kind : kinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        SimulatedBoard board(kind);
        auto geometry = attach_identified_flash(board.device);
        ASSERT_TRUE(geometry) << error_text(geometry.error());
        EXPECT_EQ(geometry->size, board.flash().size());
        EXPECT_EQ(geometry->source, board.is_spi() ? GeometrySource::Sfdp : GeometrySource::Cfi);
        EXPECT_TRUE(check_flash_fits(*geometry, kind, 8 * kMiB, FlashUse::Write));
        EXPECT_FALSE(board.flash().changed());
        EXPECT_TRUE(board.violations().empty()) << board.violations().summary();
        if (!board.is_spi()) {
            EXPECT_TRUE(board.model->parallel_chip()->in_read_mode());
        }
    }
}

struct PartCase {
    const char* name;
    BoardKind kind;
    std::function<void(BoardOptions&)> part;
    std::uint64_t length;
    FlashUse use;
    const char* reason;  // "" when the part fits
};

const PartCase kParts[] = {
    {"ImageBeyondTheChip", Qx480Spi, [](BoardOptions& o) { o.spi.size_bytes = 32 * kMiB; },
     16 * kMiB + 1, FlashUse::Write,
     "16777217 bytes from 0x1000000 reach past the end of the 32 MiB flash (from its SFDP "
     "tables)"},
    {"DumpBeyondTheParallelChip", Qx400, [](BoardOptions& o) { o.parallel.size_bytes = 16 * kMiB; },
     2, FlashUse::Read, "2 bytes from 0x1020000 reach past the end of the 16 MiB flash"},
    {"UniformSectorsOf256KiB", Qx610Spi,
     [](BoardOptions& o) { o.spi.block_erase_bytes = 256 << 10; }, 4096, FlashUse::Write,
     "the flash's block erase 0xDC erases 256 KiB, not the 64 KiB blocks the update writes"},
    {"WriteBufferOf32Words", Qx400, [](BoardOptions& o) { o.parallel.buffer_bytes = 64; }, 4096,
     FlashUse::Write,
     "the flash's write buffer holds 64 bytes, not the 512 bytes the update programs at once "
     "(from its CFI query)"},
    {"ParallelSectorsOf64KiB", Qx610Bpi,
     [](BoardOptions& o) { o.parallel.sector_bytes = 64 << 10; }, 4096, FlashUse::Write,
     "the flash erases blocks of 64 KiB at 0x1020000, not the 128 KiB sectors"},
    {"No4ByteCommandsToWrite", Qx630, [](BoardOptions& o) { o.spi.four_byte_commands = false; },
     4096, FlashUse::Write, "the flash lacks the 4-byte-address commands 0x13, 0x12, 0xDC"},
    {"No4ByteReadToRead", Qx630, [](BoardOptions& o) { o.spi.four_byte_commands = false; }, 4096,
     FlashUse::Read, "the flash lacks the 4-byte-address command 0x13, which this board sends"},
    {"No4ByteCommandsOnA3ByteBoard", Qx410,
     [](BoardOptions& o) { o.spi.four_byte_commands = false; }, 4096, FlashUse::Write, ""},
    {"NoSfdpKnownPart", Qx410,
     [](BoardOptions& o) {
         o.spi.sfdp = false;
         o.spi.jedec_id = {0x3D, 0x71, 0x18};
         o.spi.size_bytes = 16 * kMiB;
     },
     4096, FlashUse::Write, ""},
    {"NoSfdpKnownPartWithout4ByteCommands", Qx480Spi,
     [](BoardOptions& o) {
         o.spi.sfdp = false;
         o.spi.jedec_id = {0x3D, 0x71, 0x19};
     },
     4096, FlashUse::Write, "(as the known part of JEDEC ID 3d 71 19)"},
    {"NoSfdpUnknownPart", Qx410,
     [](BoardOptions& o) {
         o.spi.sfdp = false;
         o.spi.jedec_id = {0xEF, 0x40, 0x18};
     },
     4096, FlashUse::Read,
     "the flash has no SFDP tables, and its JEDEC ID ef 40 18 is not a known part"},
};

TEST(FlashIdentity, EachPartIsRefusedForWhatItLacksNamingWhatItSays) {
    for (const PartCase& c : kParts) {
        SCOPED_TRACE(c.name);
        BoardOptions options;
        c.part(options);
        SimulatedBoard board(c.kind, options);
        const std::string why = identify_and_check(board, c.length, c.use);
        if (std::string(c.reason).empty()) {
            EXPECT_EQ(why, "");
        } else {
            EXPECT_NE(why.find(c.reason), std::string::npos) << why;
        }
        EXPECT_FALSE(board.flash().changed());
    }
}

// What the refusals prevent: on these parts the programming sequence fails, or worse, reports
// success over a flash that no longer holds the image.
TEST(FlashIdentity, OnPartsThatDoNotFitTheSequenceGoesWrong) {
    struct Case {
        const char* name;
        BoardKind kind;
        std::function<void(BoardOptions&)> part;
        bool reported_success;
        std::optional<ViolationKind> seen;  // what the chip saw go wrong, if it saw anything
    };
    const Case cases[] = {
        // Erasing the second block wipes the first, which had been verified.
        {"UniformSectorsOf256KiB", Qx630,
         [](BoardOptions& o) { o.spi.block_erase_bytes = 256 << 10; }, true, std::nullopt},
        {"WriteBufferOf32Words", Qx400, [](BoardOptions& o) { o.parallel.buffer_bytes = 64; },
         false, ViolationKind::BufferWordCountMismatch},
        {"ParallelSectorsOf64KiB", Qx610Bpi,
         [](BoardOptions& o) { o.parallel.sector_bytes = 64 << 10; }, false,
         ViolationKind::BufferOutsideSector},
        {"No4ByteCommands", Qx480Spi, [](BoardOptions& o) { o.spi.four_byte_commands = false; },
         false, ViolationKind::UnknownCommand},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SimulatedClock clock;
        BoardOptions options;
        c.part(options);
        SimulatedBoard board(c.kind, options);
        ASSERT_TRUE(attach_flash(board.device));
        const FirmwareImage image{.version = 2, .data = pattern(0x40000, 3)};
        SilentProgress silent;
        const bool succeeded = program_firmware(board.device, image, silent).has_value();
        EXPECT_EQ(succeeded, c.reported_success);
        if (board.is_spi()) {
            EXPECT_NE(board.flash().first_mismatch(board.base(), image.data), std::nullopt);
        }
        if (c.seen) {
            EXPECT_GT(board.violations().count(*c.seen), 0u) << board.violations().summary();
        }
    }
}

// Parts no simulated chip stands in for: boot sectors at the top of a parallel part, and a
// serial part that takes 4-byte addresses only.
TEST(FlashIdentity, RegionsAndAddressFormsAreCheckedWhereTheBytesLie) {
    FlashGeometry top_boot{.type = FlashType::Bpi,
                           .source = GeometrySource::Cfi,
                           .size = 32 * kMiB,
                           .command_set = 0x0002,
                           .erase_regions = {{0x20000, 255}, {0x4000, 8}},
                           .write_buffer = 512};
    EXPECT_TRUE(check_flash_fits(top_boot, Qx400, 0xFC0000, FlashUse::Write));
    EXPECT_EQ(outcome(check_flash_fits(top_boot, Qx400, 0xFC0001, FlashUse::Write)),
              "the flash erases blocks of 16 KiB at 0x1fe0000, not the 128 KiB sectors the "
              "update writes (from its CFI query)");
    EXPECT_TRUE(check_flash_fits(top_boot, Qx400, 0xFE0000, FlashUse::Read));

    FlashGeometry four_only{.type = FlashType::Spi,
                            .size = 32 * kMiB,
                            .address_bytes = AddressBytes::FourOnly,
                            .read_4byte = true,
                            .program_4byte = true,
                            .erase_types = {{0x10000, 0xD8, 0xDC}}};
    EXPECT_TRUE(check_flash_fits(four_only, Qx630, 4096, FlashUse::Write));
    EXPECT_EQ(outcome(check_flash_fits(four_only, Qx410, 4096, FlashUse::Read)),
              "the flash takes 4-byte addresses only, and this board sends 3-byte ones (from its "
              "SFDP tables)");
}

// Descriptions that are cut short or contradict themselves are refused, never guessed at.
TEST(FlashIdentity, BrokenDescriptionsAreErrors) {
    Bytes sfdp(0x40, 0xFF);
    const Bytes header{'S', 'F', 'D', 'P', 6, 1, 0, 0xFF, 0x00, 6, 1, 8, 0x20, 0, 0, 0xFF};
    std::ranges::copy(header, sfdp.begin());
    auto reader = [&](std::uint32_t address, std::uint32_t length) -> Result<Bytes> {
        return Bytes(sfdp.begin() + address, sfdp.begin() + address + length);
    };
    const Bytes id{0x3D, 0x71, 0x1B};
    auto short_table = read_sfdp_geometry(reader, id);
    ASSERT_FALSE(short_table);
    EXPECT_EQ(error_text(short_table.error()),
              "the flash's SFDP basic table has 8 DWORDs, fewer than 9");
    sfdp[8] = 0x84;  // the only table is not the basic one
    auto no_basic = read_sfdp_geometry(reader, id);
    ASSERT_FALSE(no_basic);
    EXPECT_EQ(error_text(no_basic.error()), "the flash's SFDP has no basic flash parameter table");

    std::vector<std::uint16_t> cfi(kCfiWords, 0);
    auto silent = parse_cfi_query(cfi);
    ASSERT_FALSE(silent);
    EXPECT_EQ(error_text(silent.error()),
              "the parallel flash does not answer the CFI query (read 0000 0000 0000 where "
              "\"QRY\" belongs)");
    const std::uint16_t query[] = {'Q', 'R', 'Y', 2, 0};
    std::ranges::copy(query, cfi.begin());
    cfi[0x27 - kCfiFirstWord] = 25;  // 32 MiB
    cfi[0x2C - kCfiFirstWord] = 1;   // one region of 128 x 128 KiB: 16 MiB
    cfi[0x2D - kCfiFirstWord] = 127;
    cfi[0x30 - kCfiFirstWord] = 2;
    auto half = parse_cfi_query(cfi);
    ASSERT_FALSE(half);
    EXPECT_EQ(error_text(half.error()),
              "the flash's CFI query lists erase blocks over 16 MiB of a 32 MiB part");
}

// Fails every register access from the moment `now` first says so, as a killed program makes
// no more accesses: the board keeps whatever its last accesses left going.
class KillWhen final : public RegisterModel {
  public:
    KillWhen(RegisterModel& inner, std::function<bool()> now)
        : inner_(inner), now_(std::move(now)) {}
    int read(std::uint32_t reg, std::uint32_t& value) override {
        return killed() ? EIO : inner_.read(reg, value);
    }
    int write(std::uint32_t reg, std::uint32_t value) override {
        return killed() ? EIO : inner_.write(reg, value);
    }

  private:
    bool killed() { return killed_ = killed_ || now_(); }

    RegisterModel& inner_;
    std::function<bool()> now_;
    bool killed_ = false;
};

struct KillCase {
    const char* name;
    BoardKind kind;
    // When the run is killed, from what the board's chips show.
    std::function<std::function<bool()>(SimBoard&)> kill;
};

const KillCase kKills[] = {
    // Inside the second page's Page Program frame, ten accesses after its Write Enable: chip
    // select stays asserted until the next run's first clearing write ends the frame, and
    // the chip is then busy programming the bytes it got.
    {"InsideAPageProgramFrame", Qx480Spi,
     [](SimBoard& model) -> std::function<bool()> {
         SpiNorChip& chip = *model.spi_chip();
         return [&chip, after = 0]() mutable {
             if (chip.programs_done() == 1 && chip.write_enabled()) ++after;
             return after > 10;
         };
     }},
    // Right after the sector erase command: the chip erases for half a second.
    {"DuringASectorErase", Qx400, [](SimBoard& model) -> std::function<bool()> {
         ParallelNorChip& chip = *model.parallel_chip();
         return [&chip] { return chip.erases_done() == 1; };
     }}};

TEST(FlashIdentity, AFlashLeftBusyByAKilledRunIsWaitedForBeforeItIsRead) {
    for (const KillCase& c : kKills) {
        SCOPED_TRACE(c.name);
        const SimulatedClock clock;
        auto model = make_board_model(c.kind, BoardOptions::typical_chip_times());
        const FirmwareImage image{.version = 2, .data = pattern(0x30000, 5)};
        {
            KillWhen killed(*model, c.kill(*model));
            InProcessNode node(killed);
            BoardDevice run;
            run.kind = c.kind;
            run.fd = node.release();
            ASSERT_TRUE(attach_flash(run));
            SilentProgress silent;
            EXPECT_FALSE(program_firmware(run, image, silent));
            run.close();
        }
        const bool spi = board_info(c.kind).flash == FlashType::Spi;
        ASSERT_TRUE(spi ? model->spi_chip()->busy() || model->spi_chip()->write_enabled()
                        : model->parallel_chip()->busy());

        InProcessNode node(*model);
        BoardDevice next;
        next.kind = c.kind;
        next.fd = node.release();
        auto geometry = attach_identified_flash(next);
        ASSERT_TRUE(geometry) << error_text(geometry.error());
        Bytes read;
        SilentProgress silent;
        ASSERT_TRUE(read_firmware_region(next, 0x30000, silent,
                                         [&](std::span<const std::uint8_t> bytes) -> Status {
                                             read.insert(read.end(), bytes.begin(), bytes.end());
                                             return {};
                                         }));
        // The read shows what the chip holds once the killed run's operation has ended (the
        // parallel flash keeps every word mirrored).
        const Bytes held = model->firmware_flash()->dump(board_info(c.kind).base_address, 0x30000);
        Bytes expected = held;
        if (!spi) mirror_words(held, expected);
        EXPECT_EQ(read, expected);
        EXPECT_EQ(model->violations().count(ViolationKind::CommandWhileBusy), 0u)
            << model->violations().summary();
    }
}

}  // namespace
}  // namespace tarnvel::sim
