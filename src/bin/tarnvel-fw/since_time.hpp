#pragma once
// A time as an operator types it for history --since: as history shows times, in the local
// time of the machine, a day, or a while ago.

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnvel::fw {

// `text` in seconds since the epoch, `now` being the time it is:
// - a time with its offset: 2026-12-08T08:40:00+01:00, 2026-12-08T07:40:00Z, 2026-12-08 07:40Z;
// - a local time of the machine (TZ): 2026-12-08 07:40:00, 2026-12-08T07:40;
// - a day, from its local midnight: 2026-12-08, today, yesterday; or now;
// - a while before now: -1h, -1h30min, 1 hour ago, 2 days 3 hours ago (s, min, h, d, w and
//   their words, as journalctl takes them).
// Nothing for any other text.
std::optional<std::int64_t> parse_since(std::string_view text, std::int64_t now);

}  // namespace tarnvel::fw
