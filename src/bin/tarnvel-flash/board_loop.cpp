#include "bin/tarnvel-flash/board_loop.hpp"

#include <fmt/format.h>

#include "base/dialogue.hpp"
#include "base/utf8.hpp"
#include "bin/tarnvel-flash/update_board.hpp"

namespace tarnvel {

bool announce_board(const BoardDevice& board) {
    // One line composed from two prints: line buffering sends it out whole. The node's name is
    // the kernel's and udev's; a control character in it is shown escaped, never sent to the
    // terminal (for every name without one, the bytes are the name's).
    print(fmt::format("Device {}: ", printable(board.devnode)));
    if (board.kind == BoardKind::Unsupported) {
        print("Unsupported\n");
        return false;
    }
    print(fmt::format("{}v{}.{}\n", board_info(board.kind).model_name, board.hw_major,
                      board.hw_minor));
    return true;
}

void run_board_loop(std::span<BoardDevice> boards) {
    for (auto& board : boards) {
        if (!announce_board(board)) continue;
        if (update_board(board) == BoardOutcome::EndRun) break;
    }
}

}  // namespace tarnvel
