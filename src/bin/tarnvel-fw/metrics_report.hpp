#pragma once
// The boards as metrics in the Prometheus text exposition format, for the node exporter's
// textfile collector. Every series is a gauge with HELP and TYPE lines; times are seconds
// since the epoch. A board's series carry the labels that tell it apart (node, pci, kind);
// tarnvel_board_info carries the rest of what `list` says of it as labels, value 1. The names
// and labels are an interface (tarnvel-fw(8)): series may be added, none renamed.

#include <cstdint>
#include <span>
#include <string>

#include "bin/tarnvel-fw/reports.hpp"

namespace tarnvel::fw {

// `journal_read`: whether the journal could be read for the statuses; `scraped_at`: when the
// boards and the journal were read.
std::string metrics_text(std::span<const BoardListing> rows, bool journal_read, std::int64_t scraped_at);

}  // namespace tarnvel::fw
