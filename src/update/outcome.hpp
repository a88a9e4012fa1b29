#pragma once
// How a board ended, or how it stands, in one vocabulary for every report: one row per outcome
// with its word (the JSON value and the readable column), whether it ended as asked (its exit
// class) and the short text that leads its readable line. The library's results (an update's,
// a decision's, a journal record's, an image passed over) each stand for one row, so the same
// thing has the same word in update, rollback, verify, list, history and the metrics.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "update/board_update.hpp"
#include "update/decision.hpp"
#include "update/image_choice.hpp"

namespace tarnvel {

enum class Outcome : std::uint8_t {
    UpdateAvailable,
    Updated,
    Unchanged,
    UpToDate,
    BoardNewer,
    PendingPowerCycle,
    DynamicFirmware,
    Declined,
    Failed,
    WriteFailed,
    NoArchive,
    NoImage,
    Unsupported,
    NotAttempted,
    Writing,
    Missing,
    Blocked,
    NotApproved,
    Stopped,
    Unsigned,
    UntrustedSignature,
    BadSignature,
    HeldBack,
    RolledBack,
    Interrupted,
    Undecided,
    Match,
    Mismatch,
    Verified,
};

// What an outcome asks of the operator, and so the exit status of a command that ends with it.
enum class ExitClass : std::uint8_t {
    Ok,           // the board ended as asked, or needs nothing of this run
    BoardFailed,  // it did not end as asked: a command that tried the board fails (exit 1)
    // The board is gone from a slot the journal knows, which may need recovery: every command
    // that reports it fails, a listing too.
    Lost,
};

struct OutcomeRow {
    Outcome outcome;
    std::string_view word;  // the JSON value, and the readable column
    ExitClass exit;
    std::string_view text;  // what leads the board's readable line
    // The library's results that are this outcome.
    std::optional<UpdateResult> update = std::nullopt;
    std::optional<BoardStatus> status = std::nullopt;
    std::optional<WriteState> write = std::nullopt;
    std::optional<PassedOver::Why> passed_over = std::nullopt;

    bool ended_as_asked() const { return exit == ExitClass::Ok; }
};

std::span<const OutcomeRow> outcome_table();
const OutcomeRow& outcome_row(Outcome outcome);

Outcome outcome_of(UpdateResult result);
Outcome outcome_of(BoardStatus status);
// A last write a stop signal ended part-way is Stopped, as the update said it.
Outcome outcome_of(const Decision& decision);
Outcome outcome_of(WriteState state);
Outcome outcome_of(PassedOver::Why why);

inline std::string_view outcome_word(Outcome outcome) {
    return outcome_row(outcome).word;
}
inline bool ended_as_asked(Outcome outcome) {
    return outcome_row(outcome).ended_as_asked();
}

}  // namespace tarnvel
