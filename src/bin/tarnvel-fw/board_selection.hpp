#pragma once
// The boards a command works on.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/board_device.hpp"

namespace tarnvel::fw {

// The boards whose device nodes are named, each once and in discovery order, or, when none is
// named, every supported board. A name that is no discovered board's node is a usage error,
// whose message comes back.
std::expected<std::vector<BoardDevice*>, std::string> select_boards(
    std::span<BoardDevice> boards, const std::vector<std::string>& nodes);

// What `verify` and `update` work on: the selected boards and, when an image file is named,
// its bytes.
struct Targets {
    std::vector<BoardDevice*> boards;
    std::optional<std::vector<std::uint8_t>> image_file;
};

// The boards as select_boards chooses them and the image file read whole; a usage error's
// message (an unknown board, an image file that can't be read) otherwise.
std::expected<Targets, std::string> resolve_targets(std::span<BoardDevice> boards,
                                                    const std::vector<std::string>& nodes,
                                                    const std::optional<std::string>& image_file);

// "QX480 v2.0", or "unsupported board".
std::string board_title(const BoardDevice& board);

}  // namespace tarnvel::fw
