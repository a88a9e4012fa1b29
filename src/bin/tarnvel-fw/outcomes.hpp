#pragma once
// How each board ended under `update` and `verify`: the values behind both the readable text
// and the JSON document, in the words of the outcome table (update/outcome.hpp).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "journal/journal.hpp"
#include "update/board_update.hpp"
#include "update/outcome.hpp"

namespace tarnvel::fw {

// What `verify` found of a board: Match, Mismatch, Failed (the board could not be opened or
// read), NoArchive, NoImage, Unsupported, DynamicFirmware, or Missing (the journal knows the
// board, discovery no longer finds it). Its words and exit classes are the outcome table's.
using VerifyResult = Outcome;

// An update's result in the outcome table's words.
inline std::string_view result_word(UpdateResult result) {
    return outcome_word(outcome_of(result));
}
// Whether the board ended as asked; the exit status is 0 only when every board did.
inline bool ended_as_asked(UpdateResult result) {
    return ended_as_asked(outcome_of(result));
}

struct UpdateOutcome {
    explicit UpdateOutcome(BoardUpdateReport of) : report(std::move(of)) {}

    BoardUpdateReport report;
    // Why it failed, why it got no image or why it was not attempted, in words.
    std::optional<std::string> error;
    std::optional<std::string> note;  // why a board was left as it is, for the text
    // A canary that undid itself: the write of its backup back, and the reboot after it.
    std::optional<BoardUpdateReport> rollback;
};

// The board's update with its texts: why it failed, was refused or was not attempted, what the
// journal could not record of it, and why a board was left as it is.
UpdateOutcome outcome_of(const BoardUpdateReport& report);

struct VerifyOutcome {
    explicit VerifyOutcome(const BoardDevice& of) : board(identity_of(of)) {}
    explicit VerifyOutcome(BoardIdentity of) : board(std::move(of)) {}

    BoardIdentity board;
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
