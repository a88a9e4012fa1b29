// Which backup a rollback writes back: a firmware the board ran, kept from this very board,
// whole, and let through by the fleet's list of images; and how far a backup reaches.

#include "update/rollback.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "firmware/image_fit.hpp"
#include "sim/support/file_text.hpp"
#include "sim/support/temp_dir.hpp"

namespace tarnvel::testing {
namespace {

constexpr const char* kSlot = "0000:03:00.0";
const std::string kSha40(64, '4');
const std::string kSha41(64, 'a');
const std::string kSha42(64, 'b');

const BoardIdentity kBoard{.devnode = "/dev/tarnvel0",
                           .pci_address = kSlot,
                           .kind = BoardKind::Qx630,
                           .hw_major = 2,
                           .fw_version = 41};

enum class Ended : std::uint8_t { Verified, Interrupted };

// A record of the board: its write and the backup it kept, labelled.
struct Rec {
    std::int64_t id;
    std::int64_t version;
    std::string sha;
    Ended ended = Ended::Verified;
    std::optional<std::string> holds = "running";  // none: no backup kept
    std::optional<std::int64_t> holds_version = 40;
    std::optional<std::string> holds_sha = std::nullopt;
    std::optional<std::int64_t> rollback_of = std::nullopt;
    std::int64_t size = 4096;
    std::string hardware = "2.0";
    bool retired = false;
    bool backup_gone = false;
};

WriteRecord record_of(const Rec& r) {
    WriteRecord record;
    record.id = r.id;
    record.start.pci_address = kSlot;
    record.start.kind = static_cast<std::int64_t>(BoardKind::Qx630);
    record.start.hardware = r.hardware;
    record.start.image_version = r.version;
    record.start.image_sha256 = r.sha;
    record.start.image_size = r.size;
    record.start.backup_of = r.rollback_of;
    if (r.holds) {
        record.start.backup_file = fmt::format("b{}.zst", r.id);
        record.start.backup_sha256 = std::string(64, 'f');
        record.start.backup_size = r.size;
        record.start.backup_holds = *r.holds;
        record.start.backup_version = r.holds_version;
        record.start.backup_image_sha256 = r.holds_sha;
    }
    if (r.ended == Ended::Verified)
        record.end = WriteEnd{.verified = true, .error = std::nullopt, .flash_changed = true};
    if (r.retired) record.retired = "2026-12-01T00:00:00Z";
    return record;
}

struct ChoiceCase {
    const char* what;
    std::vector<Rec> records;  // newest first
    RollbackRequest request;
    ImagePolicy images;
    std::optional<std::int64_t> chosen;                      // none: refused
    const char* says = "";                                   // a part of the refusal
    std::optional<std::int64_t> wrote_image = std::nullopt;  // the write that wrote the image
};

TEST(Rollback, ReturnsTheBoardToAFirmwareItRan) {
    const Rec first{.id = 1, .version = 41, .sha = kSha41};
    const Rec cut{.id = 1, .version = 41, .sha = kSha41, .ended = Ended::Interrupted};
    const Rec completing{
        .id = 2, .version = 41, .sha = kSha41, .holds = "partial", .holds_version = std::nullopt};
    const Rec rolled{.id = 2,
                     .version = 40,
                     .sha = kSha40,
                     .holds = "image",
                     .holds_version = 41,
                     .holds_sha = kSha41,
                     .rollback_of = 1};
    const Rec to42{.id = 3,
                   .version = 42,
                   .sha = kSha42,
                   .holds = "image",
                   .holds_version = 41,
                   .holds_sha = kSha41};
    const ChoiceCase cases[] = {
        {"after one update", {first}, {}, {}, 1},
        {"after a cut that the next update completed", {completing, cut}, {}, {}, 1},
        {"a second time after a rollback: the same backup", {rolled, first}, {}, {}, 1},
        {"a rollback cut short, run again",
         {Rec{.id = 2,
              .version = 40,
              .sha = kSha40,
              .ended = Ended::Interrupted,
              .holds = "image",
              .holds_version = 41,
              .holds_sha = kSha41,
              .rollback_of = 1},
          first},
         {},
         {},
         1},
        {"the image before the last update, and the write that wrote it",
         {to42, Rec{.id = 2, .version = 41, .sha = kSha41}, first},
         {},
         {},
         3,
         "",
         2},
        {"another hardware version in the slot",
         {Rec{.id = 1, .version = 41, .sha = kSha41, .hardware = "3.0"}},
         {},
         {},
         std::nullopt,
         "no backup of this board"},
        {"a forgotten slot",
         {Rec{.id = 1, .version = 41, .sha = kSha41, .retired = true}},
         {},
         {},
         std::nullopt,
         "no backup of this board"},
        {"a forgotten record asked for",
         {Rec{.id = 1, .version = 41, .sha = kSha41, .retired = true}},
         {.to = 1},
         {},
         std::nullopt,
         "forgotten"},
        {"only partial content", {completing}, {}, {}, std::nullopt, "no backup of this board"},
        {"partial content asked for",
         {completing},
         {.to = 2},
         {},
         std::nullopt,
         "only --to 2 --force"},
        {"partial content forced", {completing}, {.to = 2, .force = true}, {}, 2},
        {"a record that does not exist", {first}, {.to = 9}, {}, std::nullopt, "holds no record 9"},
        {"a backup retention removed",
         {Rec{.id = 1, .version = 41, .sha = kSha41, .backup_gone = true}},
         {.to = 1},
         {},
         std::nullopt,
         "is gone"},
        {"a write that kept none",
         {Rec{.id = 1, .version = 41, .sha = kSha41, .holds = {}}},
         {.to = 1},
         {},
         std::nullopt,
         "kept no backup"},
        {"a later write reached past the backup",
         {Rec{.id = 2,
              .version = 42,
              .sha = kSha42,
              .holds = "image",
              .holds_version = 41,
              .holds_sha = kSha41,
              .size = 8192},
          first},
         {.to = 1},
         {},
         std::nullopt,
         "reached 8192 bytes"},
        {"a blocked image",
         {to42, first},
         {},
         {.approved_sha256 = {},
          .blocked_sha256 = {kSha41},
          .require_signature = false,
          .trusted_keys = {}},
         std::nullopt,
         "is on the blocked list"},
        {"an approved image",
         {to42, first},
         {},
         {.approved_sha256 = std::vector{kSha41},
          .blocked_sha256 = {},
          .require_signature = false,
          .trusted_keys = {}},
         3,
         "",
         1},
        {"no known image under an approved list",
         {first},
         {},
         {.approved_sha256 = std::vector{kSha41},
          .blocked_sha256 = {},
          .require_signature = false,
          .trusted_keys = {}},
         std::nullopt,
         "no image known to be on the approved list"},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.what);
        const sim::TempDir state("tarnvel-rollback.");
        const BackupStore store(state.path());
        std::filesystem::create_directories(store.directory());
        std::vector<WriteRecord> records;
        for (const Rec& r : c.records) {
            records.push_back(record_of(r));
            if (r.holds && !r.backup_gone) {
                ASSERT_TRUE(sim::write_whole_file(
                    store.directory() / *records.back().start.backup_file, "frame"));
            }
        }
        const auto target = choose_rollback(kBoard, records, c.request, store, c.images);
        if (!c.chosen) {
            ASSERT_FALSE(target);
            EXPECT_NE(target.error().reason.find(c.says), std::string::npos)
                << target.error().reason;
            continue;
        }
        ASSERT_TRUE(target) << target.error().reason;
        EXPECT_EQ(target->record.id, *c.chosen);
        EXPECT_EQ(target->wrote_image ? std::optional(target->wrote_image->id) : std::nullopt,
                  c.wrote_image);
    }
}

TEST(Rollback, ABackupReachesOverEveryWriteOfThisHardware) {
    const std::vector<WriteRecord> records = {
        record_of({.id = 3, .version = 42, .sha = kSha42, .size = 2048}),
        record_of({.id = 2, .version = 41, .sha = kSha41, .size = 65536, .hardware = "3.0"}),
        record_of({.id = 1, .version = 41, .sha = kSha41, .size = 8192}),
    };
    // To the end of the last erase block the write erases, never past the kind's window.
    const std::uint64_t window = firmware_window(kBoard.kind);
    struct Case {
        std::span<const WriteRecord> records;
        std::uint64_t image;
        std::uint32_t erase_block;
        std::uint64_t reaches;
    } const cases[] = {
        {records, 1024, 0, 8192},   {records, 1024, 4096, 8192},
        {records, 16384, 0, 16384}, {records, 16385, 4096, 20480},
        {{}, 1024, 0, 1024},        {{}, 1024, 65536, 65536},
        {{}, 65536, 65536, 65536},  {{}, window - 2, 131072, window},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(backup_extent(kBoard, c.records, c.image, c.erase_block), c.reaches)
            << c.image << " bytes in blocks of " << c.erase_block;
    }

    // What the flash holds now, as those records tell it.
    EXPECT_EQ(flash_holds(kBoard, {}).holding, Holding::Running);
    EXPECT_EQ(flash_holds(kBoard, records).image_sha256, kSha42);
    const auto cut =
        record_of({.id = 4, .version = 43, .sha = kSha42, .ended = Ended::Interrupted});
    EXPECT_EQ(flash_holds(kBoard, std::vector{cut}).holding, Holding::Partial);
    const auto swapped = record_of({.id = 4, .version = 43, .sha = kSha42, .hardware = "1.0"});
    EXPECT_EQ(flash_holds(kBoard, std::vector{swapped}).holding, Holding::Unknown);
}

}  // namespace
}  // namespace tarnvel::testing
