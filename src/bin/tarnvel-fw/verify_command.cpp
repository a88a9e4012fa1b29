#include "bin/tarnvel-fw/verify_command.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "bin/tarnvel-fw/board_access.hpp"
#include "bin/tarnvel-fw/board_selection.hpp"
#include "bin/tarnvel-fw/console.hpp"
#include "bin/tarnvel-fw/exit_status.hpp"
#include "bin/tarnvel-fw/journal_access.hpp"
#include "bin/tarnvel-fw/progress_bar.hpp"
#include "bin/tarnvel-fw/reports.hpp"
#include "update/board_access.hpp"
#include "update/inventory.hpp"

namespace tarnvel::fw {
namespace {

VerifyOutcome verify(BoardDevice& board, const std::optional<ImageFile>& image_file,
                     const Journal* journal) {
    VerifyOutcome outcome(board);
    outcome.last_write = last_write_of(journal, identity_of(board), false);
    auto chosen = choose_image(board, image_file ? &*image_file : nullptr);
    if (!chosen) {
        outcome.result = outcome_of(chosen.error().why);
        outcome.error = chosen.error().detail();
        return outcome;
    }
    outcome.image_version = chosen->version;
    ProgressScreen screen;
    ProgressBar progress(screen, "verifying", identity_of(board));
    auto comparison = verify_flash(board, chosen->image.data, progress);
    if (!comparison) {
        outcome.error = access_failure_text(comparison.error().stage, comparison.error().error);
        return outcome;
    }
    outcome.bytes = static_cast<std::uint32_t>(chosen->image.data.size());
    outcome.blocks = comparison->block_count;
    outcome.differing_blocks = comparison->differing_blocks;
    outcome.first_difference = comparison->first_difference;
    outcome.result = comparison->matches() ? VerifyResult::Match : VerifyResult::Mismatch;
    return outcome;
}

}  // namespace

int run_verify(std::span<BoardDevice> boards, const VerifyCommand& command) {
    auto targets = resolve_targets(boards, command.boards, command.image);
    if (!targets) {
        notice(fmt::format("tarnvel-fw: {}\n", targets.error()));
        return kExitUsage;
    }

    // The journal tells what was last written into each board, and which boards are gone;
    // verifying needs no journal.
    const std::optional<Journal> journal = read_journal();
    std::vector<VerifyOutcome> outcomes;
    // Every board asked for: a slot the journal knows whose board is gone can't be verified.
    if (journal && command.boards.empty()) {
        for (WriteRecord& record : missing_boards_in(*journal, boards)) {
            VerifyOutcome& row = outcomes.emplace_back(last_known_identity(record));
            row.result = VerifyResult::Missing;
            row.error = missing_reason(record);
            row.last_write = std::move(record);
        }
    }
    bool ok = outcomes.empty();
    // A machine whose driver is not loaded has nothing verified.
    if (auto problem = no_boards_problem(boards, command.boards, *targets)) {
        notice(fmt::format("tarnvel-fw: {}\n", *problem));
        report(command.json ? verify_json(outcomes, false) : verify_text(outcomes));
        return kExitBoardFailed;
    }
    // The boards found first, in discovery order, then the missing ones.
    std::vector<VerifyOutcome> missing = std::exchange(outcomes, {});
    for (BoardDevice* board : targets->boards) {
        outcomes.push_back(verify(*board, targets->image_file, journal ? &*journal : nullptr));
        ok = ok && ended_as_asked(outcomes.back().result);
    }
    std::ranges::move(missing, std::back_inserter(outcomes));
    report(command.json ? verify_json(outcomes, ok) : verify_text(outcomes));
    return ok ? kExitOk : kExitBoardFailed;
}

}  // namespace tarnvel::fw
