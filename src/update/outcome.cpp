#include "update/outcome.hpp"

#include <algorithm>
#include <array>

namespace tarnvel {
namespace {

using enum Outcome;
using Why = PassedOver::Why;
constexpr ExitClass kOk = ExitClass::Ok;
constexpr ExitClass kFailed = ExitClass::BoardFailed;

// In the order of Outcome, each row: the outcome, its word, its exit class, its text, and the
// update result, board status, record's write state and reason for passing over that are it.
// The words already in JSON documents are an interface: a word is added, never renamed.
constexpr std::array kOutcomes{
    OutcomeRow{UpdateAvailable, "update-available", kFailed, "update available", std::nullopt,
               BoardStatus::UpdateAvailable},
    OutcomeRow{Updated, "updated", kOk, "updated", UpdateResult::Updated},
    OutcomeRow{Unchanged, "unchanged", kOk, "unchanged", UpdateResult::Unchanged},
    OutcomeRow{UpToDate, "up-to-date", kOk, "up to date", UpdateResult::UpToDate,
               BoardStatus::UpToDate},
    OutcomeRow{BoardNewer, "board-newer", kOk, "board newer", UpdateResult::BoardNewer,
               BoardStatus::BoardNewer},
    OutcomeRow{PendingPowerCycle, "pending-power-cycle", kOk, "awaits a power cycle",
               UpdateResult::PendingPowerCycle, BoardStatus::PendingPowerCycle},
    OutcomeRow{DynamicFirmware, "dynamic-firmware", kOk, "loads its firmware dynamically",
               UpdateResult::DynamicFirmware, BoardStatus::DynamicFirmware, std::nullopt,
               Why::DynamicFirmware},
    OutcomeRow{Declined, "declined", kOk, "not written, as answered", UpdateResult::Declined},
    // An update that failed, a journal record of a write that failed, a verify that could not
    // read the board.
    OutcomeRow{Failed, "failed", kFailed, "FAILED", UpdateResult::Failed, std::nullopt,
               WriteState::Failed},
    // A board whose last write failed part-way, as `list` says it.
    OutcomeRow{WriteFailed, "write-failed", kFailed, "the last write failed", std::nullopt,
               BoardStatus::WriteFailed},
    OutcomeRow{NoArchive, "no-archive", kFailed, "no archive", UpdateResult::NoArchive,
               BoardStatus::NoArchive, std::nullopt, Why::NoArchive},
    OutcomeRow{NoImage, "no-image", kFailed, "no image", UpdateResult::NoImage,
               BoardStatus::NoImage, std::nullopt, Why::NoImage},
    OutcomeRow{Unsupported, "unsupported", kFailed, "not a supported board",
               UpdateResult::Unsupported, BoardStatus::Unsupported, std::nullopt, Why::Unsupported},
    OutcomeRow{NotAttempted, "not-attempted", kFailed, "not attempted", UpdateResult::NotAttempted},
    // Another process's write of the board is no failure of this run.
    OutcomeRow{Writing, "writing", kOk, "being written", UpdateResult::Writing,
               BoardStatus::Writing, WriteState::Writing},
    OutcomeRow{Missing, "missing", ExitClass::Lost, "MISSING", UpdateResult::Missing,
               BoardStatus::Missing},
    OutcomeRow{Blocked, "blocked", kFailed, "NOT WRITTEN", UpdateResult::Blocked,
               BoardStatus::Blocked},
    OutcomeRow{NotApproved, "not-approved", kFailed, "NOT WRITTEN", UpdateResult::NotApproved,
               BoardStatus::NotApproved},
    // A write a stop signal ended part-way; also a WriteFailed decision that was stopped.
    OutcomeRow{Stopped, "stopped", kFailed, "STOPPED", UpdateResult::Stopped},
    OutcomeRow{Unsigned, "unsigned", kFailed, "NOT WRITTEN", UpdateResult::Unsigned,
               BoardStatus::Unsigned},
    OutcomeRow{UntrustedSignature, "untrusted-signature", kFailed, "NOT WRITTEN",
               UpdateResult::UntrustedSignature, BoardStatus::UntrustedSignature},
    OutcomeRow{BadSignature, "bad-signature", kFailed, "NOT WRITTEN", UpdateResult::BadSignature,
               BoardStatus::BadSignature},
    OutcomeRow{HeldBack, "held-back", kOk, "held back", UpdateResult::HeldBack,
               BoardStatus::HeldBack},
    // The board is back on the firmware it ran, and the image it was given is not on it.
    OutcomeRow{RolledBack, "rolled-back", kFailed, "ROLLED BACK", UpdateResult::RolledBack},
    OutcomeRow{Interrupted, "interrupted", kFailed, "INTERRUPTED", std::nullopt,
               BoardStatus::Interrupted, WriteState::Interrupted},
    OutcomeRow{Undecided, "undecided", kFailed, "undecided", std::nullopt, BoardStatus::Undecided},
    // What `verify` found.
    OutcomeRow{Match, "match", kOk, "flash holds"},
    OutcomeRow{Mismatch, "mismatch", kFailed, "MISMATCH"},
    OutcomeRow{Verified, "verified", kOk, "verified", std::nullopt, std::nullopt,
               WriteState::Verified},
};

static_assert(std::ranges::all_of(kOutcomes, [](const OutcomeRow& row) {
    return &row - kOutcomes.data() == static_cast<std::ptrdiff_t>(row.outcome);
}));

// The row whose `column` holds `value`; every value of the library's results has one.
template <class T>
Outcome find(std::optional<T> OutcomeRow::*column, T value) {
    const auto* row = std::ranges::find(kOutcomes, std::optional(value), column);
    return row != kOutcomes.end() ? row->outcome : Failed;
}

}  // namespace

std::span<const OutcomeRow> outcome_table() {
    return kOutcomes;
}

const OutcomeRow& outcome_row(Outcome outcome) {
    return kOutcomes.at(static_cast<std::size_t>(outcome));
}

Outcome outcome_of(UpdateResult result) {
    return find(&OutcomeRow::update, result);
}
Outcome outcome_of(BoardStatus status) {
    return find(&OutcomeRow::status, status);
}
Outcome outcome_of(WriteState state) {
    return find(&OutcomeRow::write, state);
}
Outcome outcome_of(PassedOver::Why why) {
    return find(&OutcomeRow::passed_over, why);
}

Outcome outcome_of(const Decision& decision) {
    if (decision.status == BoardStatus::WriteFailed && decision.stopped) return Stopped;
    return outcome_of(decision.status);
}

}  // namespace tarnvel
