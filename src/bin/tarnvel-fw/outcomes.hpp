#pragma once
// How each board ended under `update` and `verify`: the values behind both the readable text
// and the JSON document.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "device/board_device.hpp"
#include "update/image_choice.hpp"
#include "update/journal.hpp"

namespace tarnvel::fw {

enum class UpdateResult : std::uint8_t {
    Updated,   // written and verified (and rebooted into it when `rebooted`)
    UpToDate,  // not written: the image is not newer and --force was not given
    // Not written: the image was written and verified before and starts at the next power
    // cycle; --force was not given.
    PendingPowerCycle,
    DynamicFirmware,  // a QX1800: nothing to write
    Declined,         // the operator answered no
    Failed,           // opening, programming, the reboot or the reboot check failed
    NoImage,          // no archive, or no usable image in it
    Unsupported,      // an unknown board named with --board
    NotAttempted,     // the run ended at an earlier board
};

enum class VerifyResult : std::uint8_t {
    Match,
    Mismatch,
    Failed,  // the board could not be opened or read
    NoImage,
    Unsupported,
    DynamicFirmware,
};

std::string_view result_word(UpdateResult result);
std::string_view result_word(VerifyResult result);
// The result of a board that gets no image.
UpdateResult update_result(const PassedOver& passed_over);
VerifyResult verify_result(const PassedOver& passed_over);
// Whether the board ended as asked; the exit status is 0 only when every board did.
bool ended_as_asked(UpdateResult result);
bool ended_as_asked(VerifyResult result);

struct UpdateOutcome {
    explicit UpdateOutcome(const BoardDevice& of) : board(&of), firmware_before(of.fw_version) {}

    const BoardDevice* board;
    UpdateResult result = UpdateResult::NotAttempted;
    std::uint16_t firmware_before;
    std::optional<std::uint16_t> firmware_after;  // reported after the reboot
    std::optional<std::int32_t> image_version;    // none for a raw image file
    std::optional<std::string> image_sha256;      // of the image meant for the board
    bool rebooted = false;
    // What the board reported after the reboot: its "version" text, and its hardware version
    // where the kind knows it.
    std::optional<std::string> version_after;
    std::optional<std::string> hardware_after;
    unsigned retries = 0;  // blocks written again after a read-back mismatch
    // Once the programming ran: the blocks it erased, wrote and verified, and those it found
    // holding the image and left as they were (also for a run that failed part-way).
    std::optional<std::uint32_t> blocks_written;
    std::optional<std::uint32_t> blocks_unchanged;
    std::optional<std::string> error;
    std::optional<std::string> note;  // why a board was left as it is, for the text
};

struct VerifyOutcome {
    explicit VerifyOutcome(const BoardDevice& of) : board(&of) {}

    const BoardDevice* board;
    VerifyResult result = VerifyResult::Failed;
    std::optional<std::int32_t> image_version;
    std::optional<std::uint32_t> bytes;  // compared
    std::optional<std::uint32_t> first_difference;
    std::optional<std::uint32_t> differing_blocks;
    std::optional<std::uint32_t> blocks;
    std::optional<std::string> error;
    std::optional<WriteRecord> last_write;  // the journal's last record of the board
};

}  // namespace tarnvel::fw
