#pragma once
// The boards a command works on.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/board_device.hpp"
#include "update/board_identity.hpp"
#include "update/image_choice.hpp"

namespace tarnvel::fw {

// The boards whose device nodes are named, each once and in discovery order, or, when none is
// named, every supported board. A name that is no discovered board's node is a usage error,
// whose message comes back.
std::expected<std::vector<BoardDevice*>, std::string> select_boards(
    std::span<BoardDevice> boards, const std::vector<std::string>& nodes);

// What `verify` and `update` work on: the selected boards and, when an image file is named,
// the file read whole.
struct Targets {
    std::vector<BoardDevice*> boards;
    std::optional<ImageFile> image_file;
};

// The boards as select_boards chooses them and the image file read whole; a usage error's
// message (an unknown board, an image file that can't be read) otherwise.
std::expected<Targets, std::string> resolve_targets(std::span<BoardDevice> boards,
                                                    const std::vector<std::string>& nodes,
                                                    const std::optional<std::string>& image_file);

// Why `verify` and `update` have nothing to work on, when every supported board was asked
// for and there is none: "no board was found", or "no supported board was found".
std::optional<std::string> no_boards_problem(std::span<const BoardDevice> boards,
                                             const std::vector<std::string>& nodes,
                                             const Targets& targets);

// "QX480 v2.0", or "unsupported board".
std::string board_title(const BoardDevice& board);

// The readable result line of one board: "{node} ({title}): {what}", and a line break. Every
// command's text results name their boards so.
std::string board_line(const BoardIdentity& board, std::string_view what);

}  // namespace tarnvel::fw
