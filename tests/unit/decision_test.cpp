// What a board needs, from what it reports, the image it is offered and the journal's last
// record of a write to it; and which boards the journal misses.

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "update/decision.hpp"
#include "update/inventory.hpp"

namespace tarnvel {
namespace {

constexpr std::uint16_t kRunning = 40;

enum class Last : std::uint8_t { None, Interrupted, FailedPartway, Verified };

struct DecisionCase {
    const char* name;
    Last last;
    std::optional<std::int32_t> written_version;  // the last write's image version
    std::uint16_t running;                        // what the board reports now
    ImageOffer offer;
    BoardStatus status;
    bool writes;         // update --yes writes it
    bool forced_writes;  // update --yes --force writes it
    // The machine now: whether the last record's writer still runs, and whether the machine
    // has booted since the record was made.
    bool writer_runs = false;
    bool booted_since = false;
    const char* reason_says = "";  // a part of the reason
};

void PrintTo(const DecisionCase& c, std::ostream* os) {
    *os << c.name;
}

ImageOffer image(std::optional<std::int32_t> version) {
    return version;
}

ImageOffer no_image(PassedOver::Why why) {
    return std::unexpected(PassedOver{why, "/lib/firmware/tarnvel/qx480v2_0.zip", "missing", {}});
}

WriteRecord record(Last last, std::optional<std::int32_t> version) {
    WriteRecord r;
    r.id = 7;
    r.start.pci_address = "0000:03:00.0";
    r.start.kind = static_cast<std::int64_t>(BoardKind::Qx480Spi);
    r.start.program = "tarnvel-fw";
    r.start.firmware_before = kRunning;
    r.start.image_version = version;
    r.started = "2024-05-01T12:00:00Z";
    r.start.boot_id = "boot-of-the-write";
    r.start.writer = ProcessStamp{.pid = 4321, .start_ticks = 99};
    if (last != Last::Interrupted) {
        r.ended = "2024-05-01T12:01:00Z";
        r.end = WriteEnd{
            .verified = last == Last::Verified,
            .error = last == Last::Verified ? std::nullopt : std::optional<std::string>("gone"),
            .flash_changed = true};
    }
    return r;
}

class Decide : public ::testing::TestWithParam<DecisionCase> {};

TEST_P(Decide, TellsWhatTheBoardNeeds) {
    const DecisionCase& c = GetParam();
    const BoardIdentity board{.devnode = "/dev/tarnvel0",
                              .pci_address = "0000:03:00.0",
                              .kind = BoardKind::Qx480Spi,
                              .hw_major = 2,
                              .fw_version = c.running};
    const std::optional<WriteRecord> last =
        c.last == Last::None ? std::nullopt : std::optional(record(c.last, c.written_version));
    const HostNow host{.boot_id = c.booted_since ? "a-later-boot" : "boot-of-the-write",
                       .running = [&](const ProcessStamp& process) {
                           return c.writer_runs && process == ProcessStamp{4321, 99};
                       }};
    const Decision decision = decide(board, c.offer, last ? &*last : nullptr, host);
    EXPECT_EQ(status_word(decision.status), status_word(c.status));
    EXPECT_NE(decision.reason.value_or("").find(c.reason_says), std::string::npos)
        << decision.reason.value_or("");
    EXPECT_EQ(decision.writes_unattended(false), c.writes);
    EXPECT_EQ(decision.writes_unattended(true), c.forced_writes);
}

using Why = PassedOver::Why;
using S = BoardStatus;

INSTANTIATE_TEST_SUITE_P(
    Cases, Decide,
    ::testing::Values(
        // Without a record, versions decide.
        DecisionCase{"Newer", Last::None, {}, kRunning, image(41), S::UpdateAvailable, true, true},
        DecisionCase{"Equal", Last::None, {}, kRunning, image(40), S::UpToDate, false, true},
        // A downgrade says so.
        DecisionCase{"Older", Last::None, {}, kRunning, image(39), S::BoardNewer, false, true,
                     false, false, "the board runs firmware 40, newer than the archive's 39"},
        DecisionCase{"AboveAnyFirmware",
                     Last::None,
                     {},
                     65535,
                     image(65536),
                     S::UpdateAvailable,
                     true,
                     true},
        DecisionCase{"ImageFile",
                     Last::None,
                     {},
                     kRunning,
                     image(std::nullopt),
                     S::UpdateAvailable,
                     true,
                     true},
        DecisionCase{"NoArchive",
                     Last::None,
                     {},
                     kRunning,
                     no_image(Why::NoArchive),
                     S::NoArchive,
                     false,
                     false},
        DecisionCase{"Unsupported", Last::Interrupted, 41, kRunning, no_image(Why::Unsupported),
                     S::Unsupported, false, false},
        DecisionCase{"Dynamic",
                     Last::None,
                     {},
                     kRunning,
                     no_image(Why::DynamicFirmware),
                     S::DynamicFirmware,
                     false,
                     false},
        // A partial image in the flash is written again, whatever the versions say.
        DecisionCase{"Interrupted", Last::Interrupted, 41, kRunning, image(40), S::Interrupted,
                     true, true},
        DecisionCase{"InterruptedNoArchive", Last::Interrupted, 41, kRunning,
                     no_image(Why::NoArchive), S::Interrupted, true, true},
        // A record that never ended whose writer still runs on this boot is a write going on:
        // not written beside it, not even with --force.
        DecisionCase{"WritingNow", Last::Interrupted, 41, kRunning, image(41), S::Writing, false,
                     false, true, false, "tarnvel-fw (process 4321) has been writing it since"},
        // The same process id on a later boot is another process: the write was cut short.
        DecisionCase{"WriterIdOnALaterBoot", Last::Interrupted, 41, kRunning, image(41),
                     S::Interrupted, true, true, true, true},
        // A write that ended is no longer going on, whatever runs under its writer's id.
        DecisionCase{"WriterRunsOnAfterItsWrite", Last::FailedPartway, 41, kRunning, image(41),
                     S::WriteFailed, true, true, true},
        // Unless the board has started the image since (a cut after its last block was
        // complete): then the versions decide again.
        DecisionCase{"InterruptedButStartedSince", Last::Interrupted, 41, 41, image(41),
                     S::UpToDate, false, true},
        DecisionCase{"InterruptedStartedArchiveMovedOn", Last::Interrupted, 41, 41, image(42),
                     S::UpdateAvailable, true, true},
        // A version the board already ran tells nothing of the flash.
        DecisionCase{"InterruptedRewriteOfTheRunningVersion", Last::Interrupted, kRunning, kRunning,
                     image(kRunning), S::Interrupted, true, true},
        DecisionCase{"FailedPartway", Last::FailedPartway, 41, 41, image(41), S::WriteFailed, true,
                     true},
        // A verified image not yet running waits for the power cycle.
        DecisionCase{"Pending", Last::Verified, 41, kRunning, image(41), S::PendingPowerCycle,
                     false, true, false, false, "runs firmware 40 until it is power-cycled"},
        // A reboot of the machine is no power cycle: the board still waits for one.
        DecisionCase{"PendingAfterAWarmReboot", Last::Verified, 41, kRunning, image(41),
                     S::PendingPowerCycle, false, true, false, true,
                     "the machine has been rebooted since, but not power-cycled"},
        DecisionCase{"PendingArchiveGone", Last::Verified, 41, kRunning, no_image(Why::NoArchive),
                     S::PendingPowerCycle, false, true},
        // Once the board runs it, the write is loaded: versions decide again.
        DecisionCase{"Loaded", Last::Verified, 41, 41, image(41), S::UpToDate, false, true},
        // The archive now offers another image than the one waiting: versions decide.
        DecisionCase{"ArchiveMovedOn", Last::Verified, 41, kRunning, image(42), S::UpdateAvailable,
                     true, true},
        DecisionCase{"ArchiveRolledBack", Last::Verified, 41, kRunning, image(39), S::BoardNewer,
                     false, true},
        // An image file's version is unknown: nothing can be said to wait for a power cycle.
        DecisionCase{"ImageFileWritten", Last::Verified, std::nullopt, kRunning, image(41),
                     S::UpdateAvailable, true, true},
        DecisionCase{"ImageFileOffered", Last::Verified, 41, kRunning, image(std::nullopt),
                     S::UpdateAvailable, true, true}),
    [](const ::testing::TestParamInfo<DecisionCase>& param) { return param.param.name; });

// After a rollback to firmware 40 that took image 41 off the board, ended or cut short.
TEST(Decide, AfterARollback) {
    struct Case {
        const char* what;
        Last last;
        std::uint16_t running;
        ImageOffer offer;
        BoardStatus status;
        const char* reason_says;
    };
    const Case cases[] = {
        {"the board runs what was rolled back until its power cycle", Last::Verified, 41,
         image(41), S::PendingPowerCycle, "record 7 rolled the board back to firmware 40"},
        {"the image it took off is held back", Last::Verified, kRunning, image(41), S::HeldBack,
         "record 7 rolled image 41 back"},
        {"another image is not", Last::Verified, kRunning, image(42), S::UpdateAvailable, ""},
        {"an image file is the operator's choice", Last::Verified, kRunning, image(std::nullopt),
         S::UpdateAvailable, ""},
        // The flash is partial, and the image the rollback took off is not what repairs it.
        {"a cut rollback holds its image back too", Last::Interrupted, 41, image(41),
         S::HeldBack, "the flash holds a partial image; record 7 was a rollback of image 41"},
        {"a failed rollback likewise", Last::FailedPartway, 41, image(41), S::HeldBack,
         "tarnvel-fw rollback completes it"},
        {"another image repairs a cut rollback", Last::Interrupted, 41, image(42),
         S::Interrupted, "the flash holds a partial image"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteRecord rolled = record(c.last, kRunning);
        rolled.start.backup_of = 3;
        rolled.undone =
            WriteRecord::Undone{.image_version = 41, .image_sha256 = std::string(64, 'a')};
        const BoardIdentity board{.devnode = "/dev/tarnvel0",
                                  .pci_address = "0000:03:00.0",
                                  .kind = BoardKind::Qx480Spi,
                                  .hw_major = 2,
                                  .fw_version = c.running};
        const Decision decision = decide(board, c.offer, &rolled, HostNow{});
        EXPECT_EQ(status_word(decision.status), status_word(c.status));
        EXPECT_NE(decision.reason.value_or("").find(c.reason_says), std::string::npos)
            << decision.reason.value_or("");
    }
    EXPECT_FALSE(Decision(S::HeldBack).writes_unattended(false));
    EXPECT_TRUE(Decision(S::HeldBack).writes_unattended(true));
}

TEST(MissingBoards, AreTheSlotsInDoubtThatDiscoveryNoLongerFinds) {
    const auto in_slot = [](const char* pci, Last last) {
        WriteRecord r = record(last, 41);
        r.start.pci_address = pci;
        return r;
    };
    WriteRecord started = in_slot("0000:05:00.0", Last::Verified);
    started.reboot = RebootNote{.requested = true, .version_after = "2.0r41"};
    WriteRecord other_firmware = in_slot("0000:06:00.0", Last::Verified);
    other_firmware.reboot = RebootNote{.requested = true, .version_after = "2.0r40"};
    WriteRecord other_kind = in_slot("0000:07:00.0", Last::Verified);
    other_kind.start.kind = static_cast<std::int64_t>(BoardKind::Qx630);
    WriteRecord forgotten = in_slot("0000:09:00.0", Last::Interrupted);
    forgotten.retired = "2024-06-01T08:00:00Z";
    const std::vector<WriteRecord> last_writes{
        in_slot("0000:03:00.0", Last::Interrupted),  // present
        in_slot("0000:04:00.0", Last::Interrupted),  // gone after a partial write
        started,                                     // gone, but it ran the image
        other_firmware,                              // gone, came back on other firmware
        in_slot("0000:08:00.0", Last::Verified),     // gone before its power cycle
        other_kind,                                  // its slot now holds another kind
        forgotten,                                   // gone, and forgotten since
    };
    const std::vector<BoardIdentity> present{
        {.devnode = "/dev/tarnvel0", .pci_address = "0000:03:00.0", .kind = BoardKind::Qx480Spi},
        {.devnode = "/dev/tarnvel1", .pci_address = "0000:07:00.0", .kind = BoardKind::Qx480Spi},
    };
    std::vector<std::string> missing;
    for (const WriteRecord& r : missing_boards(last_writes, present)) {
        missing.push_back(r.start.pci_address);
    }
    EXPECT_EQ(missing, (std::vector<std::string>{"0000:04:00.0", "0000:06:00.0", "0000:08:00.0",
                                                 "0000:07:00.0"}));
}

// A missing board's reason speaks of a flash its board can't start only where its last write
// did not end verified, and names the command that takes a board taken out off the journal.
TEST(MissingBoards, SayWhatTheLastWriteLeftAndHowToForgetThem) {
    struct Case {
        Last last;
        const char* says;
        const char* never_says;
    };
    for (const Case& c : {Case{Last::Verified, "its last write (#7) was verified", "can't start"},
                          Case{Last::FailedPartway,
                               "its last write (#7) did not end verified, so the slot may hold a "
                               "board that can't start what its flash holds",
                               "was verified"}}) {
        const std::string reason = missing_reason(record(c.last, 41));
        EXPECT_NE(reason.find(c.says), std::string::npos) << reason;
        EXPECT_EQ(reason.find(c.never_says), std::string::npos) << reason;
        EXPECT_NE(reason.find("tarnvel-fw forget --pci 0000:03:00.0"), std::string::npos) << reason;
    }
}

}  // namespace
}  // namespace tarnvel
