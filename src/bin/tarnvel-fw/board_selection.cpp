#include "bin/tarnvel-fw/board_selection.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>

#include "base/utf8.hpp"

namespace tarnvel::fw {

std::expected<std::vector<BoardDevice*>, std::string> select_boards(
    std::span<BoardDevice> boards, const std::vector<std::string>& nodes) {
    for (const std::string& node : nodes) {
        const bool found = std::ranges::any_of(
            boards, [&](const BoardDevice& board) { return board.devnode == node; });
        if (found) continue;
        std::vector<std::string_view> known;
        for (const BoardDevice& board : boards) known.push_back(board.devnode);
        return std::unexpected(
            known.empty() ? fmt::format("no board at {}: no boards were found", printable(node))
                          : fmt::format("no board at {}; the boards are {}", printable(node),
                                        fmt::join(known, ", ")));
    }
    std::vector<BoardDevice*> selected;
    for (BoardDevice& board : boards) {
        const bool wanted = nodes.empty() ? board.kind != BoardKind::Unsupported
                                          : std::ranges::find(nodes, board.devnode) != nodes.end();
        if (wanted) selected.push_back(&board);
    }
    return selected;
}

std::expected<Targets, std::string> resolve_targets(std::span<BoardDevice> boards,
                                                    const std::vector<std::string>& nodes,
                                                    const std::optional<std::string>& image_file) {
    auto selected = select_boards(boards, nodes);
    if (!selected) return std::unexpected(std::move(selected.error()));
    Targets targets{.boards = std::move(*selected), .image_file = std::nullopt};
    if (image_file) {
        auto read = read_hashed_image_file(*image_file);
        if (!read) {
            return std::unexpected(fmt::format("can't read the image file {}: {}",
                                               printable(*image_file),
                                               error_text(read.error())));
        }
        targets.image_file = std::move(*read);
    }
    return targets;
}

std::optional<std::string> no_boards_problem(std::span<const BoardDevice> boards,
                                             const std::vector<std::string>& nodes,
                                             const Targets& targets) {
    if (!nodes.empty() || !targets.boards.empty()) return std::nullopt;
    return boards.empty() ? "no board was found" : "no supported board was found";
}

std::string board_title(const BoardDevice& board) {
    return identity_of(board).title();
}

std::string board_line(const BoardIdentity& board, std::string_view what) {
    return fmt::format("{} ({}): {}\n", printable(board.devnode), board.title(), printable(what));
}

}  // namespace tarnvel::fw
