#pragma once
// tarnvel-fw's exit statuses: part of its interface for scripts, documented in tarnvel-fw(8).

namespace tarnvel::fw {

// Every selected board ended as asked.
inline constexpr int kExitOk = 0;
// At least one board did not: a mismatch, a failed write or reboot check, no image, a board
// locked by another process or that can't be opened. Also: no board was found to update or
// verify, the journal can't be read for `history`, `list` misses a board the journal knows,
// `metrics` can't write its --output file.
inline constexpr int kExitBoardFailed = 1;
// The command line can't be carried out as given: nothing was done to any board.
inline constexpr int kExitUsage = 2;
// An internal fault (shared with tarnvel-flash).
inline constexpr int kExitInternalFault = 101;

}  // namespace tarnvel::fw
